#include "LinkPair.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "VirtualClock.h"

namespace sim {

int32_t LinkEnd::Write(void* user, const void* data, int32_t len) {
    LinkEnd* e = static_cast<LinkEnd*>(user);
    uint8_t b = *static_cast<const uint8_t*>(data);
    int frame = e->flags.load() / 2;
    bool opening = b == 0x7E && e->flags.load() % 2 == 0;
    if (b == 0x7E) e->flags++;
    e->byteInFrame_ = opening ? 0 : e->byteInFrame_ + 1;
    if (frame == e->dropFrame.load()) return len;
    if (frame == e->loseByteOfFrame.load() && e->byteInFrame_ == 3) return len;
    if (frame == e->flipFrame.load() && e->byteInFrame_ == 3) b ^= 0x01;
    for (;;) {
        ssize_t n = ::write(e->fd, &b, 1);
        if (n == 1) return len;
        if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
        struct pollfd p = {e->fd, POLLOUT, 0};
        PollFor(&p, 1, 10);
    }
}

int32_t LinkEnd::Read(void* user, void* buf, int32_t len) {
    ssize_t n = ::read(static_cast<LinkEnd*>(user)->fd, buf, (size_t)len);
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
    return (int32_t)n;
}

void LinkEnd::OnFrame(tiny_link_handle* h, uint16_t id, uint8_t* data, int32_t len) {
    LinkEnd* e = static_cast<LinkEnd*>(h->pdata);
    if (e->hook) return e->hook(h, id, data, len);
    std::lock_guard<std::mutex> lock(e->mutex_);
    e->delivered_.emplace_back(id, std::vector<uint8_t>(data, data + len));
}

bool LinkEnd::init(int descriptor, uint32_t timeoutMs) {
    fd = descriptor;
    h = tiny_link_handle{};
    tiny_hd_init_params p{Write, Read, this, OnFrame, sizeof(inbuf), inbuf, timeoutMs};
    return tiny_hd_init(&h, &p) == 1;
}

void LinkEnd::start() {
    running_ = true;
    rx_ = StartThread("link end", [this] {
        while (running_) {
            if (tiny_hd_run(&h) != 0) continue;
            struct pollfd p = {fd, POLLIN, 0};
            PollFor(&p, 1, 2);
        }
    });
}

void LinkEnd::stop() {
    running_ = false;
    JoinThread(rx_);
}

LinkEnd::Frames LinkEnd::got() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_;
}

LinkPair::LinkPair(uint32_t timeoutMs) {
    slave = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ok = slave >= 0 && a.init(line.masterFd(), timeoutMs) && b.init(slave, timeoutMs);
}

LinkPair::~LinkPair() {
    a.stop();
    b.stop();
    tiny_hd_close(&a.h);
    tiny_hd_close(&b.h);
    close(slave);
}

}  // namespace sim
