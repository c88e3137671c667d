#include "testing.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "QxLog.h"

namespace fwtest {

void MkdirP(const std::string& path) {
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    if (!path.empty() && path[0] == '/') cur = "";
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        cur += "/" + part;
        mkdir(cur.c_str(), 0755);
    }
}

void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        DIR* d = opendir(path.c_str());
        if (d) {
            while (struct dirent* e = readdir(d)) {
                if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
                RemoveTree(path + "/" + e->d_name);
            }
            closedir(d);
        }
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) MkdirP(path.substr(0, slash));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), (std::streamsize)content.size());
    if (!out) throw std::runtime_error("cannot write " + path);
}

TempRoot::TempRoot() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fwagent-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
    MkdirP(path_ + "/home/ubuntu");
}

TempRoot::~TempRoot() { RemoveTree(path_); }

std::string TempRoot::write(const std::string& boardPath, const std::string& content) const {
    WriteFile(file(boardPath), content);
    return file(boardPath);
}

std::string TempRoot::read(const std::string& boardPath) const { return ReadFile(file(boardPath)); }

bool TempRoot::exists(const std::string& boardPath) const { return access(file(boardPath).c_str(), F_OK) == 0; }

void TempRoot::mkdirs(const std::string& boardPath) const { MkdirP(file(boardPath)); }

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
    }
    self->cv_.notify_all();
}

std::string LogCapture::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

static size_t CountIn(const std::string& hay, const std::string& needle) {
    if (needle.empty()) return 0;
    size_t n = 0;
    for (size_t pos = hay.find(needle); pos != std::string::npos; pos = hay.find(needle, pos + needle.size())) n++;
    return n;
}

size_t LogCapture::count(const std::string& needle) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return CountIn(text_, needle);
}

bool LogCapture::waitFor(const std::string& needle, int timeoutMs, size_t n) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return CountIn(text_, needle) >= n; });
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
}

// ---- UDP -----------------------------------------------------------------------

static int BindUdp(uint16_t port, uint16_t* bound) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("socket failed");
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, (struct sockaddr*)&a, sizeof(a)) != 0) {
        close(fd);
        throw std::runtime_error(std::string("bind failed: ") + strerror(errno));
    }
    socklen_t l = sizeof(a);
    getsockname(fd, (struct sockaddr*)&a, &l);
    if (bound) *bound = ntohs(a.sin_port);
    return fd;
}

uint16_t FreeUdpPort() {
    uint16_t port = 0;
    int fd = BindUdp(0, &port);
    close(fd);
    return port;
}

uint32_t Datagram::type() const {
    uint32_t v = 0;
    if (bytes.size() >= 4) memcpy(&v, bytes.data(), 4);
    return v;
}

uint32_t Datagram::len() const {
    uint32_t v = 0;
    if (bytes.size() >= 8) memcpy(&v, bytes.data() + 4, 4);
    return v;
}

std::string Datagram::payload() const {
    return bytes.size() > 8 ? std::string(bytes.begin() + 8, bytes.end()) : std::string();
}

int Report::percentValue() const { return atoi(percent.c_str()); }

bool ParseReport(const std::string& text, Report* out) {
    const std::string head = "set upgradestatus{";
    if (text.compare(0, head.size(), head) != 0 || text.back() != '}') return false;
    auto field = [&](const char* key, std::string* value) {
        std::string k = std::string("\"") + key + "\":\"";
        size_t p = text.find(k);
        if (p == std::string::npos) return false;
        p += k.size();
        size_t e = text.find('"', p);
        if (e == std::string::npos) return false;
        *value = text.substr(p, e - p);
        return true;
    };
    Report r;
    if (!field("name", &r.name) || !field("total", &r.total) || !field("current", &r.current) ||
        !field("percent", &r.percent) || !field("isEnd", &r.isEnd))
        return false;
    if (out) *out = r;
    return true;
}

VelaStandIn::VelaStandIn() {
    rx_ = BindUdp(0, &reportPort_);
    tx_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    thread_ = std::thread([this] { run(); });
}

VelaStandIn::~VelaStandIn() {
    running_ = false;
    thread_.join();
    close(rx_);
    close(tx_);
}

void VelaStandIn::run() {
    std::vector<uint8_t> buf(65536);
    while (running_) {
        struct pollfd p = {rx_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        ssize_t n = recv(rx_, buf.data(), buf.size(), 0);
        if (n < 0) continue;
        Datagram d;
        d.bytes.assign(buf.begin(), buf.begin() + n);
        d.at = std::chrono::steady_clock::now();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            got_.push_back(std::move(d));
        }
        cv_.notify_all();
    }
}

void VelaStandIn::sendRaw(const std::vector<uint8_t>& bytes) {
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(orderPort_);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(tx_, bytes.data(), bytes.size(), 0, (struct sockaddr*)&a, sizeof(a));
}

void VelaStandIn::sendOrder(uint32_t type, const std::string& payload) {
    std::vector<uint8_t> b(8 + payload.size());
    uint32_t len = (uint32_t)b.size();
    memcpy(b.data(), &type, 4);
    memcpy(b.data() + 4, &len, 4);
    memcpy(b.data() + 8, payload.data(), payload.size());
    sendRaw(b);
}

std::vector<Datagram> VelaStandIn::datagrams() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return got_;
}

std::vector<Report> VelaStandIn::reports() const {
    std::vector<Report> out;
    for (const auto& d : datagrams()) {
        Report r;
        if (d.type() == 252 && ParseReport(d.payload(), &r)) out.push_back(r);
    }
    return out;
}

bool VelaStandIn::waitUntil(const std::function<bool(const std::vector<Datagram>&)>& pred, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return pred(got_); });
}

bool VelaStandIn::waitForCount(size_t n, int timeoutMs) const {
    return waitUntil([n](const std::vector<Datagram>& d) { return d.size() >= n; }, timeoutMs);
}

// ---- reboot stub -------------------------------------------------------------

RebootStub::RebootStub(const TempRoot& root) {
    command_ = root.path() + "/stub-bin/reboot";
    log_ = root.path() + "/stub-bin/reboot.log";
    WriteFile(command_, "#!/bin/sh\necho \"reboot $*\" >> '" + log_ + "'\n");
    chmod(command_.c_str(), 0755);
}

int RebootStub::count() const {
    std::string s = ReadFile(log_);
    return (int)CountIn(s, "reboot");
}

bool RebootStub::waitForRun(int timeoutMs) const {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < end) {
        if (count() > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return count() > 0;
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

int RunCommand(const std::string& cmd, std::string* output) {
    std::string full = cmd + " 2>&1";
    FILE* fp = popen(full.c_str(), "r");
    if (!fp) return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) out.append(buf, n);
    int st = pclose(fp);
    if (output) *output = out;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace fwtest
