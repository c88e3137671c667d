// The serial line of the YMODEM fuzz targets: the task's port is one end of a
// socket pair, and a peer answers each write of the agent with the next answer
// of its script ([16-bit length][bytes]...), the first one unasked; when the
// script ends the peer falls silent.
// The targets link with --wrap for write, read and select: the peer answers
// inside the agent's write and its bytes reach the agent's select and read from
// memory, so a run takes no thread switch and no system call a byte, and goes
// the same way every time. The agent's writes still go through the socket.
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

struct Line {
    int aEnds[2] = {-1, -1};
    const uint8_t* p = nullptr;  // the script of the run under way, if any
    size_t n = 0;
    size_t at = 0;
    std::vector<uint8_t> sent;  // what the peer sent and the agent has not read yet
    size_t head = 0;
};

inline Line& TheLine() {
    static Line s_line;
    return s_line;
}

YM_LINE_FAST inline bool Pending(int i_fd) {
    Line& line = TheLine();
    return i_fd == line.aEnds[0] && line.p != nullptr && line.head < line.sent.size();
}

inline void Answer(Line& io_line) {
    if (io_line.at + 2 > io_line.n) return;
    size_t len = io_line.p[io_line.at] | (size_t)io_line.p[io_line.at + 1] << 8;
    io_line.at += 2;
    if (len > io_line.n - io_line.at) len = io_line.n - io_line.at;
    io_line.sent.insert(io_line.sent.end(), io_line.p + io_line.at, io_line.p + io_line.at + len);
    io_line.at += len;
}

// Board time runs 10 million times fast: a silent peer costs microseconds.
inline void Open() {
    Line& line = TheLine();
    if (g_pTaskUP4mcu != nullptr) return;
    fuzzboard::Init(1e-7);
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, line.aEnds) != 0) abort();
    g_pTaskUP4mcu = new CTaskfile2mcu();
    g_pTaskUP4mcu->m_Uartfd = line.aEnds[0];
}

// Runs i_fnAgent against the scripted peer; returns what the agent returned.
template <typename F>
int32_t Run(const uint8_t* i_p, size_t i_n, F i_fnAgent) {
    Line& line = TheLine();
    line.p = i_p;
    line.n = i_n;
    line.at = 0;
    line.sent.clear();
    line.head = 0;
    Answer(line);
    int32_t s32Ret = i_fnAgent();
    line.p = nullptr;  // what the peer sent unread does not reach the next run
    return s32Ret;
}

}  // namespace ymline

extern "C" YM_LINE_FAST ssize_t __wrap_write(int i_fd, const void* i_pBuf, size_t i_len) {
    ssize_t n = __real_write(i_fd, i_pBuf, i_len);
    ymline::Line& line = ymline::TheLine();
    if (i_fd == line.aEnds[0] && line.p != nullptr && n > 0) {
        char buf[4096];
        while (recv(line.aEnds[1], buf, sizeof(buf), MSG_DONTWAIT) > 0) {
        }
        ymline::Answer(line);
    }
    return n;
}

extern "C" YM_LINE_FAST ssize_t __wrap_read(int i_fd, void* o_pBuf, size_t i_len) {
    if (!ymline::Pending(i_fd)) return __real_read(i_fd, o_pBuf, i_len);
    ymline::Line& line = ymline::TheLine();
    size_t k = std::min(i_len, line.sent.size() - line.head);
    memcpy(o_pBuf, line.sent.data() + line.head, k);
    line.head += k;
    return (ssize_t)k;
}

// A wait on the silent peer ends at once as a time-out: the agent's own
// clock, not the wait, decides when it gives up, and no sleep costs a switch.
extern "C" YM_LINE_FAST int __wrap_select(int i_nfds, fd_set* io_pRead, fd_set* io_pWrite, fd_set* io_pExcept,
                                          struct timeval* io_pTv) {
    int fd = ymline::TheLine().aEnds[0];
    if (io_pRead == nullptr || io_pTv == nullptr || fd < 0 || fd >= i_nfds || !FD_ISSET(fd, io_pRead) ||
        ymline::TheLine().p == nullptr)
        return __real_select(i_nfds, io_pRead, io_pWrite, io_pExcept, io_pTv);
    bool bPending = ymline::Pending(fd);
    for (fd_set* pSet : {io_pRead, io_pWrite, io_pExcept})
        if (pSet != nullptr) memset(pSet, 0, sizeof(*pSet));
    if (bPending) FD_SET(fd, io_pRead);
    return bPending ? 1 : 0;
}
