#include "Vela.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

namespace sim {

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

namespace {
std::atomic<size_t> s_malformed{0};
}

size_t MalformedReports() { return s_malformed.load(); }

// vela reads the text after "set upgradestatus" as a JSON object whose five
// fields are strings; anything else it would drop.
bool ParseReport(const std::string& text, Report* out) {
    const std::string head = "set upgradestatus";
    if (text.compare(0, head.size(), head) != 0) return false;
    nlohmann::json j = nlohmann::json::parse(text.begin() + (long)head.size(), text.end(), nullptr, false);
    if (j.is_discarded() || !j.is_object()) return false;
    Report r;
    std::pair<const char*, std::string*> fields[] = {
        {"name", &r.name}, {"total", &r.total}, {"current", &r.current}, {"percent", &r.percent}, {"isEnd", &r.isEnd}};
    for (auto& f : fields) {
        auto it = j.find(f.first);
        if (it == j.end() || !it->is_string()) return false;
        *f.second = it->get<std::string>();
    }
    if (out) *out = r;
    return true;
}

VelaStandIn::VelaStandIn(uint16_t reportPort) {
    rx_ = BindUdp(reportPort, &reportPort_);
    tx_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (pipe2(wake_, O_CLOEXEC) != 0) wake_[0] = wake_[1] = -1;
    thread_ = StartThread("vela", [this] { run(); });
}

VelaStandIn::~VelaStandIn() {
    running_ = false;
    if (wake_[1] >= 0 && write(wake_[1], "x", 1) < 0) perror("vela stand-in: wake");
    JoinThread(thread_);
    close(rx_);
    close(tx_);
    for (int fd : wake_)
        if (fd >= 0) close(fd);
}

void VelaStandIn::run() {
    std::vector<uint8_t> buf(65536);
    while (running_) {
        struct pollfd p[2] = {{rx_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (PollFor(p, wake_[0] >= 0 ? 2 : 1, wake_[0] >= 0 ? -1 : 20) <= 0 || !(p[0].revents & POLLIN)) continue;
        ssize_t n = recv(rx_, buf.data(), buf.size(), 0);
        if (n < 0) continue;
        Datagram d;
        d.bytes.assign(buf.begin(), buf.begin() + n);
        d.at = BoardClock::now();
        if (d.type() == 252 && !ParseReport(d.payload(), nullptr)) s_malformed++;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            got_.push_back(std::move(d));
        }
        NotifyAll(cv_);
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
    return WaitFor(lock, cv_, std::chrono::milliseconds(timeoutMs), [&] { return pred(got_); });
}

bool VelaStandIn::waitForCount(size_t n, int timeoutMs) const {
    return waitUntil([n](const std::vector<Datagram>& d) { return d.size() >= n; }, timeoutMs);
}

}  // namespace sim
