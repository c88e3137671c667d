// The YMODEM fuzz targets' line: a peer answers each write of the agent with the
// next answer of its script ([16-bit length][bytes]...), then falls silent.
// Linked with --wrap for write, read and select, so a run is deterministic and
// takes no thread switch.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "Taskfile2mcu.h"
#include "fuzz_board.h"

extern "C" {
ssize_t __real_write(int i_fd, const void* i_pBuf, size_t i_len);
ssize_t __real_read(int i_fd, void* o_pBuf, size_t i_len);
int __real_select(int i_nfds, fd_set* io_pRead, fd_set* io_pWrite, fd_set* io_pExcept, struct timeval* io_pTv);
}

// The line's own branches are no coverage worth a corpus entry.
#if defined(__clang__)
#define YM_LINE_FAST __attribute__((no_sanitize("coverage")))
#else
#define YM_LINE_FAST
#endif

namespace ymline {

// The run under way: its script, where its next answer starts, and what the
// peer sent that the agent has not read yet.
struct Line {
    int aEnds[2] = {-1, -1};
    const uint8_t* p = nullptr;
    size_t n = 0, at = 0, head = 0;
    std::vector<uint8_t> sent;
};
inline Line g_line;

YM_LINE_FAST inline bool OnLine(int i_fd) { return i_fd == g_line.aEnds[0] && g_line.p != nullptr; }

inline void Answer() {
    Line& l = g_line;
    if (l.at + 2 > l.n) return;
    size_t len = std::min(l.n - l.at - 2, (size_t)(l.p[l.at] | l.p[l.at + 1] << 8));
    l.sent.insert(l.sent.end(), l.p + l.at + 2, l.p + l.at + 2 + len);
    l.at += 2 + len;
}

// Board time runs 10 million times fast: a silent peer costs microseconds.
inline void Open() {
    if (g_pTaskUP4mcu != nullptr) return;
    fuzzboard::Init(1e-7);
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, g_line.aEnds) != 0) abort();
    g_pTaskUP4mcu = new CTaskfile2mcu();
    g_pTaskUP4mcu->m_Uartfd = g_line.aEnds[0];
}

// Runs i_fnAgent against the scripted peer; returns what the agent returned.
template <typename F>
int32_t Run(const uint8_t* i_p, size_t i_n, F i_fnAgent) {
    g_line.p = i_p;
    g_line.n = i_n;
    g_line.at = g_line.head = 0;
    g_line.sent.clear();
    Answer();
    int32_t s32Ret = i_fnAgent();
    g_line.p = nullptr;  // what the peer sent unread does not reach the next run
    return s32Ret;
}

}  // namespace ymline

extern "C" YM_LINE_FAST ssize_t __wrap_write(int i_fd, const void* i_pBuf, size_t i_len) {
    ssize_t n = __real_write(i_fd, i_pBuf, i_len);
    if (ymline::OnLine(i_fd) && n > 0) {
        char buf[4096];
        while (recv(ymline::g_line.aEnds[1], buf, sizeof(buf), MSG_DONTWAIT) > 0) {
        }
        ymline::Answer();
    }
    return n;
}

extern "C" YM_LINE_FAST ssize_t __wrap_read(int i_fd, void* o_pBuf, size_t i_len) {
    ymline::Line& l = ymline::g_line;
    if (!ymline::OnLine(i_fd) || l.head == l.sent.size()) return __real_read(i_fd, o_pBuf, i_len);
    size_t k = std::min(i_len, l.sent.size() - l.head);
    memcpy(o_pBuf, l.sent.data() + l.head, k);
    l.head += k;
    return (ssize_t)k;
}

// A wait on the silent peer ends at once as a time-out: the agent's own
// clock, not the wait, decides when it gives up, and no sleep costs a switch.
extern "C" YM_LINE_FAST int __wrap_select(int i_nfds, fd_set* io_pRead, fd_set* io_pWrite, fd_set* io_pExcept,
                                          struct timeval* io_pTv) {
    int fd = ymline::g_line.aEnds[0];
    if (io_pRead == nullptr || io_pTv == nullptr || !ymline::OnLine(fd) || fd >= i_nfds || !FD_ISSET(fd, io_pRead))
        return __real_select(i_nfds, io_pRead, io_pWrite, io_pExcept, io_pTv);
    bool bPending = ymline::g_line.head < ymline::g_line.sent.size();
    for (fd_set* pSet : {io_pRead, io_pWrite, io_pExcept})
        if (pSet != nullptr) memset(pSet, 0, sizeof(*pSet));
    if (bPending) FD_SET(fd, io_pRead);
    return bPending ? 1 : 0;
}
