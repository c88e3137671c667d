// Two ends of the acknowledged link over a real pty pair, each with its own
// receive thread, and a line that can lose or damage what one end writes: the
// rig of the link tests and the link benchmark.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "PtyLine.h"
#include "tiny_hd.h"

namespace sim {

// One end: a descriptor, a fault on its outgoing line, what it delivered.
struct LinkEnd {
    using Frames = std::vector<std::pair<uint16_t, std::vector<uint8_t>>>;
    int fd = -1;
    tiny_link_handle h{};
    uint8_t inbuf[2048];
    // Line faults on what this end writes, by frame number (0-based, acks
    // included): the whole frame lost, or its fourth byte flipped or lost.
    std::atomic<int> flags{0}, dropFrame{-1}, flipFrame{-1}, loseByteOfFrame{-1};
    // Replaces the recording of delivered frames when set (before start()).
    std::function<void(tiny_link_handle*, uint16_t, uint8_t*, int32_t)> hook;

    bool init(int descriptor, uint32_t timeoutMs);
    void start();  // the receive thread
    void stop();
    Frames got() const;  // frames delivered so far: id and payload
    ~LinkEnd() { stop(); }

private:
    static int32_t Write(void* user, const void* data, int32_t len);
    static int32_t Read(void* user, void* buf, int32_t len);
    static void OnFrame(tiny_link_handle* h, uint16_t id, uint8_t* data, int32_t len);
    int byteInFrame_ = 0;
    std::thread rx_;
    std::atomic<bool> running_{false};
    mutable std::mutex mutex_;
    Frames delivered_;
};

// End a on the pty's master, end b on its slave (also open as `slave`).
struct LinkPair {
    PtyLine line;
    LinkEnd a, b;
    int slave = -1;
    bool ok = false;
    explicit LinkPair(uint32_t timeoutMs = 300);
    ~LinkPair();
};

}  // namespace sim
