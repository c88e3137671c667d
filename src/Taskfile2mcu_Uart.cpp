// Raw access to the board's serial port: thin blocking wrappers with fixed
// retries, pauses and log lines. Only the scheduler thread calls them.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <poll.h>
#include <sys/select.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>

#include "QxLog.h"
#include "QxClock.h"
#include "Taskfile2mcu.h"

namespace {
// A message as text, at most i_s32Len bytes, non-printable bytes as \xNN:
// the ISP blocks are binary and carry no terminating zero.
std::string EscapeMsg(const char* i_pMsg, int i_s32Len) {
    std::string strOut;
    if (i_pMsg == nullptr) return strOut;
    for (int i = 0; i < i_s32Len; i++) {
        unsigned char c = (unsigned char)i_pMsg[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            strOut.push_back((char)c);
        } else {
            char sz[8];
            snprintf(sz, sizeof(sz), "\\x%02x", c);
            strOut += sz;
        }
    }
    return strOut;
}

// A write gives up when the line takes nothing for kWriteStallUs, or when the
// whole write takes longer than that plus 1 ms a byte (a byte takes 0.2 ms at
// 57600 bit/s).
const uint64_t kWriteStallUs = 2000000;
const uint64_t kWriteUsPerByte = 1000;

uint64_t MonoUs() { return Clock_MonoNs() / 1000u; }
}  // namespace

// The port is non-blocking: a peer that holds the line (flow control, a full
// buffer) must not hold the scheduler. Returns the bytes written, or -1 when
// none went out (errno ETIME when the bound ran out).
ssize_t UartWriteBounded(int i_fd, const void* i_pBuf, size_t i_uLen) {
    if (i_uLen == 0) return write(i_fd, i_pBuf, 0);
    const char* p = (const char*)i_pBuf;
    const uint64_t u64StallUs = kWriteStallUs;
    const uint64_t u64Start = MonoUs();
    const uint64_t u64End = u64Start + u64StallUs + i_uLen * kWriteUsPerByte;
    uint64_t u64Stall = u64Start + u64StallUs;
    size_t uDone = 0;
    while (uDone < i_uLen) {
        ssize_t n = write(i_fd, p + uDone, i_uLen - uDone);
        if (n > 0) Clock_TxRoom(i_fd);
        uint64_t u64Now = MonoUs();
        if (n > 0) {
            uDone += (size_t)n;
            u64Stall = u64Now + u64StallUs;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) break;
        uint64_t u64Deadline = std::min(u64Stall, u64End);
        if (u64Now >= u64Deadline) {
            errno = ETIME;
            break;
        }
        struct pollfd stPfd = {i_fd, POLLOUT, 0};
        Clock_Poll(&stPfd, 1, (int)((u64Deadline - u64Now + 999u) / 1000u));
    }
    return uDone > 0 ? (ssize_t)uDone : -1;
}

int32_t CTaskfile2mcu::OpenUart() {
    int fd = open(Board_SerialDev(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        qx_printf("In CTaskfile2mcu::OpenUart, open fd is error!!!\n");
        return -1;
    }
    qx_printf("OpenUart is OK and Uart is [%d]\n.", fd);
    return fd;
}

int32_t CTaskfile2mcu::CloseUart() {
    // 0 and below mean "not open": descriptor 0 is the process's stdin.
    if (m_Uartfd > 0) close(m_Uartfd);
    m_Uartfd = 0;
    qx_printf("In CTaskfile2mcu::CloseUart, close fd....\n");
    return 0;
}

int32_t CTaskfile2mcu::SetUartSpeed(const char* i_pDevice, int i_s32Speed) {
    // Sized for the longest device path the profile accepts: never cut.
    char szCmd[QX_CMD_BUF(256)];
    memset(szCmd, 0, sizeof(szCmd));
    Board_Snprintf(szCmd, sizeof(szCmd),
                   "stty -F %s speed %d -ixon -ixoff -ixany -crtscts clocal cs8 -parenb -cstopb -istrip -igncr "
                   "-inlcr -icrnl -opost -onlcr -ocrnl -isig -icanon -iexten -echo -echoe -echok -echoctl -echoke",
                   i_pDevice ? i_pDevice : "", i_s32Speed);
    Clock_Drain(m_Uartfd);
    int nRet = pox_system(szCmd);
    sync();
    if (nRet != 0) qx_printf("######SetUartSpeed [%s] Error!\n", szCmd);
    Board_usleep(10000);
    return nRet;
}

int32_t CTaskfile2mcu::SendUartMsg(char* i_pMsg, int i_s32Len) {
    ssize_t sRet = -1;
    for (int nTry = 1; nTry <= 3; nTry++) {
        sRet = UartWriteBounded(m_Uartfd, i_pMsg, i_s32Len > 0 ? (size_t)i_s32Len : 0);
        if (sRet > 0) {
            if (sRet <= 3) {
                // Bytes past the message show as 0: nothing outside it is read.
                unsigned a[3] = {0, 0, 0};
                for (int i = 0; i < 3 && i < i_s32Len; i++) a[i] = (unsigned char)i_pMsg[i];
                qx_printf("SendUartMsg Send Msg[0] Msg[1] Msg[2] is  <0x%x> <0x%x> <0x%x>\n", a[0], a[1], a[2]);
            } else {
                qx_printf("write Uart[%d]  Len is <%d> finish!\n", m_Uartfd, (int)sRet);
            }
            return (int32_t)sRet;
        }
        qx_printf("###### write m_Uartfd fail, Uart[%d] Msg is [%s], sRet is <%d>.\n", m_Uartfd,
                  EscapeMsg(i_pMsg, i_s32Len).c_str(), (int)sRet);
        if (nTry < 3) Board_sleep(1);
    }
    qx_printf("###### aready retry write 3th.\n");
    return -2;
}

namespace {
// Waits until i_s32Fd is readable (no limit when i_pTv is null). Returns 1 when
// it is, -1 with errno ETIME when the wait ran out, -1 when select failed.
int WaitReadable(int i_s32Fd, struct timeval* i_pTv) {
    if (i_s32Fd < 0 || i_s32Fd >= FD_SETSIZE) {
        errno = EBADF;
        return -1;
    }
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(i_s32Fd, &rfds);
    int nRet = Clock_Select(i_s32Fd + 1, &rfds, nullptr, nullptr, i_pTv);
    if (nRet == 0) {
        errno = ETIME;
        return -1;
    }
    return nRet < 0 ? -1 : 1;
}
}  // namespace

int32_t CTaskfile2mcu::Uart2tread(int i_s32Fd, void* o_pBuf, int i_s32Len, bool i_bBlock) {
    struct timeval tv = {0, 200000};
    if (WaitReadable(i_s32Fd, i_bBlock ? nullptr : &tv) < 0) return -1;
    return (int32_t)read(i_s32Fd, o_pBuf, i_s32Len > 0 ? (size_t)i_s32Len : 0);
}

int32_t CTaskfile2mcu::StUartRead1Byte(unsigned int i_u32Timeout) {
    // The time-out is in milliseconds: 1000 leaves a receiver time for a full
    // 1029-byte packet at 115200 bit/s and its answer.
    struct timeval tv = {(time_t)(i_u32Timeout / 1000u), (suseconds_t)(i_u32Timeout % 1000u) * 1000};
    if (WaitReadable(m_Uartfd, &tv) < 0) return -1;
    unsigned char c = 0;
    if (read(m_Uartfd, &c, 1) != 1) return -1;
    qx_eprintf("function [%s], line = [%d], StUartRead1Byte(), *buf = %c, = %#x\n", "StUartRead1Byte", 812,
               (c >= 0x20 && c < 0x7F) ? c : '.', c);
    return c;
}

int32_t CTaskfile2mcu::StUartWrite(const char* i_pBuf, int i_s32Len) {
    ssize_t nRet = UartWriteBounded(m_Uartfd, i_pBuf, i_s32Len > 0 ? (size_t)i_s32Len : 0);
    qx_eprintf("function [%s], line = [%d], StUartWrite, ret = %d\n", "StUartWrite", 834, (int)nRet);
    return (int32_t)nRet;
}
