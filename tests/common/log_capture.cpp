#include "log_capture.h"

#include "QxLog.h"

namespace fwtest {

LogCapture::LogCapture(bool quiet) {
    QxLog_SetQuiet(quiet);
    QxLog_SetHook(&LogCapture::Hook, this);
}

LogCapture::~LogCapture() {
    QxLog_SetHook(nullptr, nullptr);
    QxLog_SetQuiet(false);
}

void LogCapture::Hook(int, const char* text, size_t len, void* user) {
    LogCapture* self = static_cast<LogCapture*>(user);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->text_.append(text, len);
        self->lines_.emplace_back(sim::BoardClock::now(), std::string(text, len));
    }
    sim::NotifyAll(self->cv_);
}

std::string LogCapture::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

size_t Count(const std::string& hay, const std::string& needle) {
    if (needle.empty()) return 0;
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + needle.size())) n++;
    return n;
}

size_t LogCapture::count(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Count(text_, needle);
}

bool LogCapture::waitFor(const std::string& needle, int timeoutMs, size_t n) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return sim::WaitFor(lock, cv_, std::chrono::milliseconds(timeoutMs), [&] { return Count(text_, needle) >= n; });
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
    lines_.clear();
}

sim::BoardClock::time_point LogCapture::at(const std::string& needle, bool last) const {
    std::lock_guard<std::mutex> lock(mutex_);
    sim::BoardClock::time_point when{};
    for (const auto& l : lines_) {
        if (l.second.find(needle) == std::string::npos) continue;
        when = l.first;
        if (!last) break;
    }
    return when;
}

}  // namespace fwtest
