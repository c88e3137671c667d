// The serial line of the YMODEM fuzz targets: a socket pair whose agent end is
// the task's port, and a peer on the other end that answers each burst the
// agent writes with the next answer of its script ([16-bit length][bytes]...), the
// first one unasked; when the script ends the peer falls silent.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "Taskfile2mcu.h"
#include "fuzz_board.h"

namespace ymline {

inline int* Ends() {
    static int s_aEnds[2] = {-1, -1};
    return s_aEnds;
}

// Board time runs 100,000 times fast: the longest wait of a run is milliseconds.
inline void Open() {
    if (g_pTaskUP4mcu != nullptr) return;
    fuzzboard::Init(1e-5);
    int* pEnds = Ends();
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pEnds) != 0) abort();
    int nBuf = 1 << 20;
    for (int i = 0; i < 2; i++) {
        setsockopt(pEnds[i], SOL_SOCKET, SO_SNDBUF, &nBuf, sizeof(nBuf));
        setsockopt(pEnds[i], SOL_SOCKET, SO_RCVBUF, &nBuf, sizeof(nBuf));
    }
    g_pTaskUP4mcu = new CTaskfile2mcu();
    g_pTaskUP4mcu->m_Uartfd = pEnds[0];
}

// Runs i_fnAgent against the scripted peer; returns what the agent returned.
template <typename F>
int32_t Run(const uint8_t* i_p, size_t i_n, F i_fnAgent) {
    std::atomic<bool> bDone{false};
    int fd = Ends()[1];
    std::thread peer([&] {
        size_t at = 0;
        auto answer = [&] {
            if (at + 2 > i_n) return;
            size_t len = i_p[at] | (size_t)i_p[at + 1] << 8;
            at += 2;
            if (len > i_n - at) len = i_n - at;
            if (len > 0 && write(fd, i_p + at, len) != (ssize_t)len) abort();
            at += len;
        };
        answer();
        char buf[4096];
        while (!bDone.load()) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 1) <= 0) continue;
            if (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) answer();
        }
    });
    int32_t s32Ret = i_fnAgent();
    bDone = true;
    peer.join();
    // What the peer sent unread must not reach the next run.
    char buf[4096];
    while (recv(Ends()[0], buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
    while (recv(fd, buf, sizeof(buf), MSG_DONTWAIT) > 0) {
    }
    return s32Ret;
}

}  // namespace ymline
