#include "testing.h"

#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>

#include "QxLog.h"

namespace fwtest {

// ---- LogCapture --------------------------------------------------------------

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
        self->lines_.emplace_back(std::chrono::steady_clock::now(), std::string(text, len));
    }
    self->cv_.notify_all();
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
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return Count(text_, needle) >= n; });
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
    lines_.clear();
}

std::chrono::steady_clock::time_point LogCapture::at(const std::string& needle, bool last) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::chrono::steady_clock::time_point when{};
    for (const auto& l : lines_) {
        if (l.second.find(needle) == std::string::npos) continue;
        when = l.first;
        if (!last) break;
    }
    return when;
}

BoardProfile TestProfile(const TempRoot& root, const VelaStandIn& vela, const RebootStub& reboot,
                         const std::string& serialDev, double timeScale) {
    BoardProfile p;
    p.strRoot = root.path();
    p.strSerialDev = serialDev;
    p.u16OrderPort = vela.orderPort() ? vela.orderPort() : FreeUdpPort();
    p.u16ReportPort = vela.reportPort();
    p.dTimeScale = timeScale;
    p.strRebootCmd = reboot.command();
    return p;
}

void SetProfile(const BoardProfile& p) {
    if (BoardProfile_Set(p) != 0) throw std::runtime_error("board profile refused for " + p.strRoot);
}

AgentGlobals::AgentGlobals(CTaskfile2mcu* task, Link kind) : task_(task != nullptr), kind_(kind) {
    if (task_) g_pTaskUP4mcu = task;
    if (kind == kNoLink) return;
    g_pudp4vela = link = new CUdpListen2vela();
    if (kind == kListening)
        link->init();
    else
        link->CreateSocket();
}

AgentGlobals::~AgentGlobals() {
    if (kind_ == kListening) return;
    if (task_) g_pTaskUP4mcu = nullptr;
    if (kind_ == kNoLink) return;
    g_pudp4vela = nullptr;
    if (link->m_socket >= 0) close(link->m_socket);
    if (link->m_socketClient >= 0) close(link->m_socketClient);
    delete link;
}
}  // namespace fwtest
