#include "AgentLog.h"

#include "QxLog.h"

namespace sim {

AgentLog::AgentLog(bool quiet) {
    QxLog_SetQuiet(quiet);
    QxLog_SetHook(&AgentLog::Hook, this);
}

AgentLog::~AgentLog() {
    QxLog_SetHook(nullptr, nullptr);
    QxLog_SetQuiet(false);
}

void AgentLog::Hook(int, const char* text, size_t len, void* user) {
    AgentLog* self = static_cast<AgentLog*>(user);
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->text_.append(text, len);
        self->lines_.emplace_back(std::chrono::steady_clock::now(), std::string(text, len));
    }
    self->cv_.notify_all();
}

std::string AgentLog::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

size_t Count(const std::string& hay, const std::string& needle) {
    if (needle.empty()) return 0;
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + needle.size())) n++;
    return n;
}

size_t AgentLog::count(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return Count(text_, needle);
}

bool AgentLog::waitFor(const std::string& needle, int timeoutMs, size_t n) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Count(text_, needle) >= n; });
}

void AgentLog::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
    lines_.clear();
}

std::chrono::steady_clock::time_point AgentLog::at(const std::string& needle, bool last) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::chrono::steady_clock::time_point when{};
    for (const auto& l : lines_) {
        if (l.second.find(needle) == std::string::npos) continue;
        when = l.first;
        if (!last) break;
    }
    return when;
}

}  // namespace sim
