// Two ends of the acknowledged link over a real pty pair, each with its own
// receive thread, and a line that can lose or damage what one end writes.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "McuPeer.h"
#include "PtyLine.h"
#include "testing.h"
#include "tiny_hd.h"

namespace fwtest {
using Bytes = std::vector<uint8_t>;

// One end: a descriptor, a fault on its outgoing line, what it delivered.
struct End {
    int fd = -1;
    tiny_link_handle h{};
    uint8_t inbuf[2048];
    std::thread rx;
    std::atomic<bool> running{false};
    // Line faults on what this end writes, by frame number (0-based, acks
    // included): the whole frame lost, or its fourth byte flipped or lost.
    std::atomic<int> flags{0}, dropFrame{-1}, flipFrame{-1}, loseByteOfFrame{-1};
    int byteInFrame = 0;
    std::mutex mutex;
    std::vector<std::pair<uint16_t, Bytes>> delivered;
    // Replaces the recording of delivered frames when set (before start()).
    std::function<void(tiny_link_handle*, uint16_t, uint8_t*, int32_t)> hook;

    static int32_t Write(void* user, const void* data, int32_t len) {
        End* e = static_cast<End*>(user);
        uint8_t b = *static_cast<const uint8_t*>(data);
        int frame = e->flags.load() / 2;
        bool opening = b == 0x7E && e->flags.load() % 2 == 0;
        if (b == 0x7E) e->flags++;
        e->byteInFrame = opening ? 0 : e->byteInFrame + 1;
        if (frame == e->dropFrame.load()) return len;
        if (frame == e->loseByteOfFrame.load() && e->byteInFrame == 3) return len;
        if (frame == e->flipFrame.load() && e->byteInFrame == 3) b ^= 0x01;
        for (;;) {
            ssize_t n = ::write(e->fd, &b, 1);
            if (n == 1) return len;
            if (n < 0 && errno != EAGAIN && errno != EINTR) return -1;
            struct pollfd p = {e->fd, POLLOUT, 0};
            poll(&p, 1, 10);
        }
    }
    static int32_t Read(void* user, void* buf, int32_t len) {
        ssize_t n = ::read(static_cast<End*>(user)->fd, buf, (size_t)len);
        if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -1;
        return (int32_t)n;
    }
    static void OnFrame(tiny_link_handle* h, uint16_t id, uint8_t* data, int32_t len) {
        End* e = static_cast<End*>(h->pdata);
        if (e->hook) return e->hook(h, id, data, len);
        std::lock_guard<std::mutex> lock(e->mutex);
        e->delivered.emplace_back(id, Bytes(data, data + len));
    }

    bool init(int descriptor, uint32_t timeoutMs) {
        fd = descriptor;
        h = tiny_link_handle{};
        tiny_hd_init_params p{Write, Read, this, OnFrame, sizeof(inbuf), inbuf, timeoutMs};
        return tiny_hd_init(&h, &p) == 1;
    }
    void start() {
        running = true;
        rx = std::thread([this] {
            while (running) {
                if (tiny_hd_run(&h) != 0) continue;
                struct pollfd p = {fd, POLLIN, 0};
                poll(&p, 1, 2);
            }
        });
    }
    void stop() {
        running = false;
        if (rx.joinable()) rx.join();
    }
    std::vector<std::pair<uint16_t, Bytes>> got() {
        std::lock_guard<std::mutex> lock(mutex);
        return delivered;
    }
    ~End() { stop(); }
};

struct Pair {
    sim::PtyLine line;
    End a, b;
    int slave = -1;
    bool ok = false;
    explicit Pair(uint32_t timeoutMs = 300) {
        slave = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ok = slave >= 0 && a.init(line.masterFd(), timeoutMs) && b.init(slave, timeoutMs);
    }
    ~Pair() {
        a.stop();
        b.stop();
        tiny_hd_close(&a.h);
        tiny_hd_close(&b.h);
        close(slave);
    }
};

// The frames an independent reader finds on a non-blocking descriptor, until
// n are in or ms have passed.
inline std::vector<sim::McuFrameReader::Frame> ReadFrames(int fd, size_t n, int ms) {
    sim::McuFrameReader reader;
    sim::McuFrameReader::Frame f;
    std::vector<sim::McuFrameReader::Frame> frames;
    WaitFor(
        [&] {
            uint8_t b;
            while (frames.size() < n && ::read(fd, &b, 1) == 1)
                if (reader.feed(b, &f)) frames.push_back(f);
            return frames.size() >= n;
        },
        ms);
    return frames;
}

}  // namespace fwtest
