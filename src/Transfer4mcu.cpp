#include "Transfer4mcu.h"
#include "QxClock.h"

#include <assert.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "APP_TinyTFTP.h"
#include "APP_TinyTFTP_Port.h"
#include "BoardFiles.h"
#include "BoardProfile.h"
#include "QxLog.h"
#include "Taskfile2mcu.h"

CTransfer4mcu* g_pTransferFile2mcu = nullptr;

int32_t CTransfer4mcu::m_s32Uart2Fd = -1;
pthread_mutex_t CTransfer4mcu::m_ReadMutex = PTHREAD_MUTEX_INITIALIZER;
// Recursive: SendMsg holds it around its QX_UartWrite, which takes it again.
pthread_mutex_t CTransfer4mcu::m_WriteMutex = PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP;

tiny_link_handle g_QXhandle;
std::atomic<int32_t> g_bThrRun{0};
std::atomic<int32_t> g_bSendReady{0};
comm_core_t g_comm_core;
upg_info_t g_UpgInfo;

namespace {
uint8_t g_inbuf[QX_UART_INBUF_SIZE];
uint8_t g_ProData[MAX_UART_DATA];
int32_t g_nDataOffset = 0;
// Under m_ReadMutex: signalled when records are handed over, when the dispatch
// thread has taken them out of g_ProData, and at close.
pthread_cond_t s_ProDataCond;
// Under s_CoreMutex: signalled when the MCU's block-transfer answer is posted, and at close.
pthread_mutex_t s_CoreMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t s_CoreCond;
pthread_once_t s_condOnce = PTHREAD_ONCE_INIT;
// Written at close: the receive thread sleeps on the port and on this pipe.
int s_wakePipe[2] = {-1, -1};
std::atomic<bool> s_bDispatchRunning{false};
// Threads of the open channel that have not ended yet.
std::atomic<int> s_nThreads{0};

const size_t QX_THREAD_STACK = 1024 * 1024;

uint32_t Get32(const uint8_t* p) { return (uint32_t)(p[0] | (p[1] << 8) | (p[2] << 16) | ((uint32_t)p[3] << 24)); }
uint16_t Get16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

// Bytes as "0x%02x " in one console line (a line per byte would flood the log).
void DumpBytes(const uint8_t* i_pData, int32_t i_s32Len) {
    if (!QxLog_Heard()) return;
    std::string strOut;
    strOut.reserve((size_t)i_s32Len * 5 + 2);
    char sz[8];
    for (int32_t i = 0; i < i_s32Len; i++) {
        snprintf(sz, sizeof(sz), "0x%02x ", i_pData[i]);
        strOut += sz;
    }
    qx_printf("%s\n", strOut.c_str());
}

int StartDetached(void* (*i_fn)(void*), void* i_pArg) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, QX_THREAD_STACK);
    pthread_t tid;
    int s32Ret = Clock_ThreadCreate(&tid, &attr, i_fn, i_pArg);
    pthread_attr_destroy(&attr);
    return s32Ret;
}

void SendReport(const char* i_pName, int i_s32Index, int i_s32Total, int i_s32Current, int i_s32Percent, int i_s32End) {
    char szReport[512];
    if (Board_Snprintf(szReport, sizeof(szReport), QX_REPORT_FMT_INDEXED, "set upgradestatus", i_pName, i_s32Index,
                       i_s32Total, i_s32Current, i_s32Percent, i_s32End) < 0)
        return;
    QX_SendText2vela(comm_master_type_upgrade_status, szReport);
}

void InitConds() {
    tiny_cond_init_monotonic(&s_ProDataCond);
    tiny_cond_init_monotonic(&s_CoreCond);
}

// The receive thread's rest: asleep until the port has bytes or close wakes it.
// A port that reports a hang-up or an error is looked at again every 100 ms.
void WaitReadable(int i_s32Fd) {
    struct pollfd fds[2] = {{s_wakePipe[0], POLLIN, 0}, {i_s32Fd, POLLIN, 0}};
    int nFds = i_s32Fd >= 0 ? 2 : 1;
    int s32TimeoutMs = s_wakePipe[0] >= 0 ? -1 : 100;  // without the pipe, look at the run flag now and then
    if (Clock_Poll(fds, (nfds_t)nFds, s32TimeoutMs) <= 0 || nFds == 1) return;
    if ((fds[1].revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) Clock_Poll(fds, 1, 100);
}

// Appends records to g_ProData for the dispatch thread. The MCU has had its
// acknowledgement: the records must not be lost here, so this waits for room.
void HandOver(const uint8_t* i_pData, int32_t i_s32Len) {
    pthread_mutex_lock(&CTransfer4mcu::m_ReadMutex);
    while (g_nDataOffset + i_s32Len > MAX_UART_DATA && g_bThrRun.load() != 0 && s_bDispatchRunning.load()) {
        struct timespec deadline;
        tiny_deadline_in(&deadline, 10000);
        Clock_CondTimedWait(&s_ProDataCond, &CTransfer4mcu::m_ReadMutex, &deadline);
    }
    if (g_nDataOffset + i_s32Len <= MAX_UART_DATA) {
        memcpy(g_ProData + g_nDataOffset, i_pData, (size_t)i_s32Len);
        g_nDataOffset += i_s32Len;
        Clock_CondBroadcast(&s_ProDataCond);
        qx_eprintf("function [%s], line = [%d], New DataOffset [%d] size [%d] \n", "QX_UartReadCallBack", __LINE__,
                   g_nDataOffset, i_s32Len);
    } else {
        qx_eprintf("function [%s], line = [%d], Data more than MAX_UART_DATA[%d]\n", "QX_UartReadCallBack", __LINE__,
                   MAX_UART_DATA);
    }
    pthread_mutex_unlock(&CTransfer4mcu::m_ReadMutex);
}

// Size of the record at the front of the bytes (8 + len), or why it is refused:
// -1 shorter than a header, -2 len beyond the bytes, -3 len negative, -4 len above 1024.
// Every place that takes a record from the MCU applies this one rule.
int32_t RecordSize(const uint8_t* i_pBuf, int32_t i_s32Len) {
    if (i_s32Len < QX_RECORD_HDR) return -1;
    int32_t s32Len = (int32_t)Get32(i_pBuf + 4);
    if (i_s32Len - QX_RECORD_HDR < s32Len) return -2;
    if (s32Len < 0) return -3;
    if (s32Len > QX_RECORD_MAX_LEN) return -4;
    return QX_RECORD_HDR + s32Len;
}
}  // namespace

// ---------------------------------------------------------------- port and threads

int CTransfer4mcu::UART_Open_Port(int i_s32Fd, int i_s32Port) {
    int fd = i_s32Fd;
    if (i_s32Port == 1 || i_s32Port == 2 || i_s32Port == 3) {
        int nFlags = O_RDWR | O_NOCTTY | (i_s32Port == 3 ? 0 : O_NDELAY);
        fd = open(Board_SerialDev(), nFlags);
        const char* szFail = i_s32Port == 1   ? "Can't Open Serial Port1!"
                             : i_s32Port == 2 ? "Can't Open Serial Port!"
                                              : "Can't Open Serial Port3!";
        qx_printf("%s ", i_s32Port == 1 ? "ttyS0" : i_s32Port == 2 ? Board_SerialDev() : "ttyS2");
        if (fd < 0) {
            qx_perror(szFail);
            return -1;
        }
    }
    if (fcntl(fd, F_SETFL, 0) < 0)
        qx_printf("fcntl failed!\n");
    else
        qx_printf("fcntl=%d\n", fcntl(fd, F_SETFL, 0));

    struct termios options;
    memset(&options, 0, sizeof(options));
    tcgetattr(fd, &options);
    qx_printf("Get before In = %d! Out = %d\n", (int)cfgetispeed(&options), (int)cfgetospeed(&options));
    tcflush(fd, TCIOFLUSH);
    // Speed code 16 is no Linux speed: the port keeps the speed it had.
    cfsetispeed(&options, 16);
    cfsetospeed(&options, 16);
    int s32Status = tcsetattr(fd, TCSANOW, &options);
    if (s32Status != 0) qx_printf("tcsetattr=error,status =%d\n", s32Status);
    tcflush(fd, TCIOFLUSH);
    tcgetattr(fd, &options);

    options.c_lflag &= ~(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT | ECHOKE);
    options.c_oflag &= ~OPOST;
    options.c_iflag &= ~(INPCK | INLCR | ICRNL | IUCLC | IXON | IXOFF);
    options.c_cc[VTIME] = 1;
    options.c_cc[VMIN] = 255;
    tcsetattr(fd, TCSANOW, &options);
    qx_printf("fd-open=%d\n", fd);
    return fd;
}

int CTransfer4mcu::QX_UartInit() {
    pthread_once(&s_condOnce, InitConds);
    m_s32Uart2Fd = -1;
    for (int i = 0; i < 3; i++) {
        int fd = UART_Open_Port(-1, 2);
        if (fd < 0) {
            qx_eprintf("function [%s], line = [%d], uart2 open Fail!\n", __func__, __LINE__);
            continue;
        }
        m_s32Uart2Fd = fd;
        break;
    }
    memset((void*)&g_QXhandle, 0, sizeof(g_QXhandle));
    tiny_hd_init_params params;
    memset(&params, 0, sizeof(params));
    params.write_func = write_block_func;
    params.read_func = read_block_func;
    params.user_data = &m_s32Uart2Fd;
    params.on_frame_cb = QX_UartReadCallBack;
    params.inbuf = g_inbuf;
    params.inbuf_size = sizeof(g_inbuf);
    params.timeout = 5000;
    g_bThrRun = 1;
    if (s_wakePipe[0] < 0 && pipe2(s_wakePipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        qx_perror("wake pipe");
        s_wakePipe[0] = s_wakePipe[1] = -1;
    }
    char szDrain[8];
    while (s_wakePipe[0] >= 0 && read(s_wakePipe[0], szDrain, sizeof(szDrain)) > 0) {
    }
    int s32Ret = tiny_hd_init(&g_QXhandle, &params);
    if (s32Ret != 1) {
        qx_eprintf("function [%s], line = [%d], tiny_hd_init fail ret=[%d]\n", __func__, __LINE__, s32Ret);
        return 0;
    }
    s_nThreads += 1;
    s32Ret = StartDetached(thr_fn, &g_QXhandle);
    assert(s32Ret == 0);
    QX_UartData_Thread();
    return 0;
}

int CTransfer4mcu::QX_UartClose() {
    g_bThrRun = 0;
    // A sender waiting for an acknowledgement (the dispatch thread's echo among them) ends now.
    tiny_decline_requests();
    pthread_once(&s_condOnce, InitConds);
    pthread_mutex_lock(&m_ReadMutex);
    Clock_CondBroadcast(&s_ProDataCond);
    pthread_mutex_unlock(&m_ReadMutex);
    pthread_mutex_lock(&s_CoreMutex);
    Clock_CondBroadcast(&s_CoreCond);
    pthread_mutex_unlock(&s_CoreMutex);
    if (s_wakePipe[1] >= 0 && write(s_wakePipe[1], "x", 1) < 0) qx_perror("wake pipe");
    // Each thread looks at the run flag as soon as it is woken.
    for (int i = 0; i < 10000 && s_nThreads.load() > 0; i++) {
        Clock_SleepUs(1000);
    }
    tiny_hd_close(&g_QXhandle);
    if (m_s32Uart2Fd >= 0) close(m_s32Uart2Fd);
    m_s32Uart2Fd = -1;
    if (s_nThreads.load() == 0) {
        for (int& fd : s_wakePipe) {
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    pthread_mutex_lock(&m_ReadMutex);
    g_nDataOffset = 0;
    pthread_mutex_unlock(&m_ReadMutex);
    return s_nThreads.load() == 0 ? 0 : -1;
}

void* CTransfer4mcu::thr_fn(void* i_pHandle) {
    tiny_link_handle* h = (tiny_link_handle*)i_pHandle;
    if (h != nullptr) {
        qx_puts("*****************tiny_hd_run Start!!!!!");
        do {
            int s32Ret = tiny_hd_run(h);
            if (s32Ret < 0) qx_printf("******************tiny_hd_run err=[%d]\n", s32Ret);
            if (s32Ret <= 0) WaitReadable(m_s32Uart2Fd);  // returns at once while bytes wait
        } while (g_bThrRun.load() != 0);
        qx_puts("*****************tiny_hd_run Exit!!!!!");
    }
    s_nThreads -= 1;
    return nullptr;
}

int CTransfer4mcu::QX_UartData_Thread() {
    s_nThreads += 1;
    int s32Ret = StartDetached(QX_UartDataMonitor, nullptr);
    assert(s32Ret == 0);
    return s32Ret;
}

int32_t CTransfer4mcu::SerialSend(int i_s32Fd, const void* i_pData, int32_t i_s32Len) {
    ssize_t n = write(i_s32Fd, i_pData, (size_t)i_s32Len);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return 0;
    return (int32_t)n;
}

int32_t CTransfer4mcu::SerialReceive(int i_s32Fd, void* o_pBuf, int32_t i_s32Len) {
    if (i_s32Fd < 0) return 0;  // as a failed select: nothing to read
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(i_s32Fd, &rfds);
    struct timeval tv = {0, 0};
    int s32Ret = Clock_Select(i_s32Fd + 1, &rfds, nullptr, nullptr, &tv);
    if (s32Ret > 0) return (int32_t)read(i_s32Fd, o_pBuf, (size_t)i_s32Len);
    if (s32Ret == 0) errno = ETIME;
    return 0;
}

int32_t CTransfer4mcu::Uart2tread(int i_s32Fd, void* o_pBuf, int32_t i_s32Len, int32_t i_s32TimeoutUs) {
    fd_set rfds;
    FD_ZERO(&rfds);
    FD_SET(i_s32Fd, &rfds);
    struct timeval tv = {(time_t)(i_s32TimeoutUs / 1000000), (suseconds_t)(i_s32TimeoutUs % 1000000)};
    int s32Ret = Clock_Select(i_s32Fd + 1, &rfds, nullptr, nullptr, &tv);
    if (s32Ret > 0) return (int32_t)read(i_s32Fd, o_pBuf, (size_t)i_s32Len);
    if (s32Ret == 0) errno = ETIME;
    return -1;
}

int32_t CTransfer4mcu::write_block_func(void* i_pUser, const void* i_pData, int32_t i_s32Len) {
    return SerialSend(*(int32_t*)i_pUser, i_pData, i_s32Len);
}

int32_t CTransfer4mcu::read_block_func(void* i_pUser, void* o_pBuf, int32_t i_s32Len) {
    return SerialReceive(*(int32_t*)i_pUser, o_pBuf, i_s32Len);
}

// ---------------------------------------------------------------- records

void CTransfer4mcu::QX_UartReadCallBack(tiny_link_handle* i_pHandle, uint16_t i_u16Id, uint8_t* i_pData,
                                        int32_t i_s32Len) {
    if (i_pHandle == nullptr) return;
    qx_eprintf("function [%s], line = [%d], id [%u] size [%d]\n", __func__, __LINE__, i_u16Id, i_s32Len);
    DumpBytes(i_pData, i_s32Len);
    // Bare engine packets go to the engine's slot; records to the dispatch thread.
    if (TinyTFTP_IsPacket(i_pData, i_s32Len)) {
        recv_on_frame(i_pHandle, i_pData, i_s32Len);
        return;
    }
    if (i_s32Len < QX_RECORD_HDR) {
        qx_eprintf("function [%s], line = [%d], size < 8\n", __func__, __LINE__);
        return;
    }
    // Only whole records that the dispatch thread's parser accepts go on: a bad
    // one handed over would make it drop every record held with it.
    int32_t s32Take = 0;
    while (s32Take < i_s32Len) {
        const uint8_t* pRecord = i_pData + s32Take;
        int32_t s32Rest = i_s32Len - s32Take;
        int32_t s32Size = RecordSize(pRecord, s32Rest);
        if (s32Size < 0 && s32Rest < QX_RECORD_HDR) {
            qx_eprintf("function [%s], line = [%d], Error!! %d stray bytes after the records\n", __func__, __LINE__,
                       s32Rest);
            break;
        }
        qx_eprintf(s32Size < 0 ? "function [%s], line = [%d], Error!!Type [%d] Length [%d] size [%d]\n"
                               : "function [%s], line = [%d], Type [%d] Length [%d] size [%d]\n",
                   __func__, __LINE__, (int32_t)Get32(pRecord), (int32_t)Get32(pRecord + 4), s32Rest);
        if (s32Size < 0) break;
        s32Take += s32Size;
    }
    if (s32Take > 0) HandOver(i_pData, s32Take);
}

int CTransfer4mcu::QX_GetTLVFromData(const uint8_t* i_pBuf, int32_t i_s32Len, comm_master_t* o_pData) {
    if (i_pBuf == nullptr || o_pData == nullptr || i_s32Len < QX_RECORD_HDR) {
        qx_puts("Error[Input Para Error!!]!!");
        return -1;
    }
    memset(o_pData, 0, sizeof(*o_pData));
    qx_printf("\nsize = %d pBuf = [\n", i_s32Len);
    DumpBytes(i_pBuf, i_s32Len);
    int32_t s32Type = (int32_t)Get32(i_pBuf);
    int32_t s32Len = (int32_t)Get32(i_pBuf + 4);
    qx_printf("Type [%d] Length [%d] size [%d]\n", s32Type, s32Len, i_s32Len);
    int32_t s32Size = RecordSize(i_pBuf, i_s32Len);
    if (s32Size == -2)
        qx_printf("Error[(in_nLength-8) < (data.len)]!!Type [%d] Length [%d] in_nLength [%d]\n", s32Type, s32Len,
                  i_s32Len);
    else if (s32Size == -3)
        qx_printf("Error[data.len < 1!!]!!Type [%d] Length [%d] in_nLength [%d]\n", s32Type, s32Len, i_s32Len);
    else if (s32Size == -4)
        qx_printf("Error[data.len > 1024!!]!!  Type [%d] Length [%d] in_nLength [%d]\n", s32Type, s32Len, i_s32Len);
    if (s32Size < 0) return s32Size;
    qx_printf("Type [%d] Length [%d] in_nLength [%d]\n", s32Type, s32Len, i_s32Len);
    memcpy(o_pData, i_pBuf, (size_t)s32Size);
    return s32Size;
}

void* CTransfer4mcu::QX_UartDataMonitor(void* /*i_pArg*/) {
    qx_puts("In QX_UartDataMonitor...");
    if (g_pTransferFile2mcu == nullptr) {
        qx_puts("###### In QX_UartDataMonitor, g_pTransferFile2mcu is NULL ");
        s_nThreads -= 1;
        return nullptr;
    }
    qx_eprintf("function [%s], line = [%d], m_s32Uart2Fd = %d!\n", __func__, __LINE__, m_s32Uart2Fd);
    if (m_s32Uart2Fd < 0) {
        qx_eprintf("function [%s], line = [%d], Uart2 OPEN Fail!\n", __func__, __LINE__);
        s_nThreads -= 1;
        return nullptr;
    }
    s_bDispatchRunning = true;
    static uint8_t s_tmp[MAX_UART_DATA];
    int32_t s32TmpOffset = 0;
    comm_master_t record;
    while (g_bThrRun.load() != 0) {
        pthread_mutex_lock(&m_ReadMutex);
        // Asleep while nothing is held: the receive thread signals every hand-over, close signals too.
        while (s32TmpOffset < QX_RECORD_HDR && g_nDataOffset < QX_RECORD_HDR && g_bThrRun.load() != 0)
            Clock_CondWait(&s_ProDataCond, &m_ReadMutex);
        if (s32TmpOffset + g_nDataOffset > MAX_UART_DATA) {
            // Leave it there and work through what we hold: that makes the room.
            qx_eprintf(
                "function [%s], line = [%d], Data more than MAX_UART_DATA tmp_offset = [%d], g_nDataOffset = "
                "[%d]\n",
                __func__, __LINE__, s32TmpOffset, g_nDataOffset);
        } else if (g_nDataOffset >= QX_RECORD_HDR) {
            memcpy(s_tmp + s32TmpOffset, g_ProData, (size_t)g_nDataOffset);
            s32TmpOffset += g_nDataOffset;
            g_nDataOffset = 0;
            Clock_CondBroadcast(&s_ProDataCond);
        }
        pthread_mutex_unlock(&m_ReadMutex);
        if (s32TmpOffset < QX_RECORD_HDR) continue;
        int s32Used = QX_GetTLVFromData(s_tmp, s32TmpOffset, &record);
        if (s32Used < 1) {
            s32TmpOffset = 0;
            qx_eprintf("function [%s], line = [%d], Error!!Failed to call QX_GetTLVFromData\n", __func__, __LINE__);
            Board_usleep(50000);
            continue;
        }
        memmove(s_tmp, s_tmp + s32Used, (size_t)(s32TmpOffset - s32Used));
        s32TmpOffset -= s32Used;
        QX_DispatchRecord(&record);
    }
    s_bDispatchRunning = false;
    s_nThreads -= 1;
    return nullptr;
}

// Acts on one record of the MCU: block-transfer answers, upgrade state, text
// commands and the heartbeat echo.
void CTransfer4mcu::QX_DispatchRecord(comm_master_t* io_pRecord) {
    const uint8_t* pPayload = (const uint8_t*)io_pRecord->data;
    int32_t s32Len = (int32_t)io_pRecord->len;
    switch (io_pRecord->type) {
        case comm_master_type_upgrade_data: {
            qx_printf("comm_master_type_upgrade_data Length [%d]\n", s32Len);
            uint16_t u16Op = Get16(pPayload + 2);
            uint16_t u16Block = Get16(pPayload + 4);
            qx_printf("p_len=[%u], opcode=[%u], block=[%u]\n", Get16(pPayload), u16Op, u16Block);
            // Block first: a waiter that sees the opcode reads a matching block.
            pthread_mutex_lock(&s_CoreMutex);
            g_comm_core.tu_block.store(u16Block);
            g_comm_core.ops_code.store(u16Op);
            Clock_CondBroadcast(&s_CoreCond);
            pthread_mutex_unlock(&s_CoreMutex);
            break;
        }
        case comm_master_type_upg_ack:
            qx_eprintf("function [%s], line = [%d], comm_master_type_upg_ack \n", __func__, __LINE__);
            g_bSendReady = 1;
            break;
        case comm_master_type_upg_finish:
            qx_eprintf("function [%s], line = [%d], comm_master_type_upg_ack \n", __func__, __LINE__);
            SendReport("ST", 0, 9, 0, 100, 1);
            Board_sleep(3);
            Board_Reboot();
            break;
        case comm_master_type_upg_info: {
            qx_printf("comm_master_type_upg_info Length [%d]\n", s32Len);
            int32_t info[2] = {0, 0};
            memcpy(info, pPayload, (size_t)(s32Len < 8 ? s32Len : 8));
            g_UpgInfo.mcu = info[0];
            g_UpgInfo.status = info[1];
            qx_eprintf("function [%s], line = [%d], comm_master_type_upg_info mcu[%d] status[%d]\n", __func__, __LINE__,
                       info[0], info[1]);
            break;
        }
        case comm_master_type_amx_cmd:
        case comm_master_type_cmd: {
            bool bAmx = io_pRecord->type == comm_master_type_amx_cmd;
            int32_t s32Text = (int32_t)strnlen(io_pRecord->data, sizeof(io_pRecord->data) - 1);
            qx_eprintf(bAmx ? "function [%s], line = [%d], AMXCmdProcess [%s] Length [%d]\n"
                            : "function [%s], line = [%d], CommandProcess [%s] Length [%d]\n",
                       __func__, __LINE__, io_pRecord->data, s32Len);
            int s32Ret = MsgProcess(m_s32Uart2Fd, 2, io_pRecord->data, bAmx ? s32Text : s32Text + 1);
            if (s32Ret < 0)
                qx_eprintf(bAmx ? "function [%s], line = [%d], call AMXCmdProcess::MsgProcess failure,s32Ret = [%d]\n"
                                : "function [%s], line = [%d], call CommandProcess::MsgProcess failure,s32Ret = [%d]\n",
                           __func__, __LINE__, s32Ret);
            break;
        }
        case comm_master_type_heartbeat: {
            qx_eprintf("function [%s], line = [%d], comm_master_type_heartbeat Length [%d]\n", __func__, __LINE__,
                       s32Len);
            int s32Ret = QX_UartWrite(io_pRecord);
            if (s32Ret < 0)
                qx_eprintf("function [%s], line = [%d], call QX_UdpProcess::Send failure,s32Ret = [%d]\n", __func__,
                           __LINE__, s32Ret);
            break;
        }
        default:
            break;
    }
}

int CTransfer4mcu::QX_UartWrite(comm_master_t* i_pData) {
    if (i_pData == nullptr) return -1;
    int32_t s32Len = (int32_t)i_pData->len;
    qx_eprintf("function [%s], line = [%d], Type [%d] Length [%d]\n", __func__, __LINE__, (int)i_pData->type, s32Len);
    // The record holds 1152 payload bytes; a larger len would send memory beyond it.
    if (s32Len < 0 || s32Len > (int32_t)sizeof(i_pData->data)) {
        qx_printf("###### record of type %u with len %d refused: at most %zu payload bytes\n", i_pData->type, s32Len,
                  sizeof(i_pData->data));
        return -1;
    }
    if (s32Len < 257) {
        qx_printf("\n size = %d pBuf = [\n", s32Len + QX_RECORD_HDR);
        DumpBytes((const uint8_t*)i_pData->data, s32Len);
        qx_printf("]\n");
    } else {
        qx_eprintf("function [%s], line = [%d]  pData->len[%d]\n", __func__, __LINE__, s32Len);
    }
    pthread_mutex_lock(&m_WriteMutex);
    int s32Ret = tiny_send_wait_ack(&g_QXhandle, (const uint8_t*)i_pData, (uint16_t)(QX_RECORD_HDR + s32Len));
    pthread_mutex_unlock(&m_WriteMutex);
    qx_eprintf("function [%s], line = [%d], tiny_send_wait_ack rt [%d]\n", __func__, __LINE__, s32Ret);
    return s32Ret >= 0 ? 0 : s32Ret;
}

int CTransfer4mcu::SendMsg(int32_t i_s32Fd, const char* i_pMsg, int32_t i_s32MsgLen, uint32_t i_u32Type) {
    qx_puts("SendMsg");
    int32_t s32Padded = (i_s32MsgLen + 4) & ~3;
    if (i_pMsg == nullptr || i_s32Fd < 0 || i_s32MsgLen < 1 || s32Padded > (int32_t)sizeof(comm_master_t::data)) {
        qx_printf("i_s32Fd = [%d], i_pMsg = [%.*s], i_s32MsgLen = [%d]\n", i_s32Fd,
                  i_pMsg ? (i_s32MsgLen > 0 ? (i_s32MsgLen < 64 ? i_s32MsgLen : 64) : 0) : 6,
                  i_pMsg ? i_pMsg : "(null)", i_s32MsgLen);
        return -1;
    }
    // Serialised with the other writers; the receive side stays free to hand records over meanwhile.
    if (pthread_mutex_lock(&m_WriteMutex) != 0) return -10;
    comm_master_t record;
    memset(&record, 0, sizeof(record));
    record.type = i_u32Type;
    record.len = (uint32_t)s32Padded;
    memcpy(record.data, i_pMsg, (size_t)i_s32MsgLen);
    if (m_s32Uart2Fd > 0 && g_bThrRun.load() == 1) QX_UartWrite(&record);
    int s32Unlock = pthread_mutex_unlock(&m_WriteMutex);
    if (s32Unlock != 0) qx_printf("s32PhtreadUnlockRet = [%d]\n", s32Unlock);
    return 0;
}

int CTransfer4mcu::QX_WaitUPGReady(uint8_t i_u8FileCount) {
    comm_master_t record;
    memset(&record, 0, sizeof(record));
    record.type = comm_master_type_upg_request;
    record.len = 4;
    record.data[0] = (char)i_u8FileCount;
    g_bSendReady = 0;
    if (g_pTransferFile2mcu == nullptr) return 0;
    QX_UartWrite(&record);
    if (g_bSendReady.load() == 1) return 0;
    for (int i = 0; i < 50; i++) {
        Board_usleep(100000);
        if (g_bSendReady.load() == 1) return 0;
    }
    qx_eprintf("function [%s], line = [%d], Error! Can't Recv UPG_ACK\n", __func__, __LINE__);
    return 1;
}

// ---------------------------------------------------------------- text commands

// clang-format off
const QX_MsgCmd_t aMsgCmdLists[41] = {
    {3, 3, 3, nullptr, {"SET", "DEV", "REBOOT"}},
    {3, 3, 3, nullptr, {"SET", "DEV", "RESET"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "SYSPWR", "STR1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "AUTOSW", "STR1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "KEYLOCK", "STR1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "CH", "NUM1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "ADO_CH", "NUM1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "UARTPWREN", "STR1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "UARTAUTO", "STR1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "UARTADELAY", "NUM1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "UARTBAUD", "NUM1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "UARTPARITY", "STR1"}},
    {3, 6, 69, nullptr, {"SET", "DEV", "UARTDATA", "STR1", "STR2", "HEX1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "UARTEND", "STR1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "RELAYMODE", "STR1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "RELAYMTIME", "NUM1"}},
    {3, 6, 69, nullptr, {"SET", "DEV", "CUARTDATA", "STR1", "STR2", "HEX1"}},
    {4, 5, 5, nullptr, {"SET", "INVDO", "NUM1", "EDID", "EDID1"}},
    {4, 5, 5, nullptr, {"SET", "INADO", "NUM1", "MUTE", "STR1"}},
    {4, 5, 5, nullptr, {"SET", "INADO", "NUM1", "VOLUME", "NUM1"}},
    {4, 5, 5, nullptr, {"SET", "OUTVDO", "NUM1", "CECIMME", "STR1"}},
    {4, 5, 5, nullptr, {"SET", "OUTVDO", "NUM1", "PWREN", "STR1"}},
    {4, 5, 5, nullptr, {"SET", "OUTVDO", "NUM1", "VOLUME", "NUM1"}},
    {3, 3, 3, nullptr, {"GET", "DEV", "SYSPWR"}},
    {3, 3, 3, nullptr, {"GET", "DEV", "AUTOSW"}},
    {3, 3, 3, nullptr, {"GET", "DEV", "CH"}},
    {3, 3, 3, nullptr, {"GET", "DEV", "ADO_CH"}},
    {3, 3, 3, nullptr, {"GET", "DEV", "UARTBAUD"}},
    {3, 4, 4, nullptr, {"GET", "DEV", "UARTDATA", "STR1"}},
    {3, 3, 3, nullptr, {"GET", "DEV", "UARTEND"}},
    {3, 4, 4, nullptr, {"GET", "DEV", "CUARTDATA", "STR1"}},
    {4, 4, 4, nullptr, {"GET", "INVDO", "NUM1", "EDID"}},
    {4, 4, 4, nullptr, {"GET", "INADO", "NUM1", "MUTE"}},
    {4, 4, 4, nullptr, {"GET", "INADO", "NUM1", "VOLUME"}},
    {4, 4, 4, nullptr, {"GET", "INVDO", "NUM1", "SIG"}},
    {4, 4, 4, nullptr, {"GET", "OUADO", "NUM1", "PWREN"}},
    {4, 4, 4, nullptr, {"GET", "OUTVDO", "NUM1", "VOLUME"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "CUARTDATAEXE", "STR1"}},
    {3, 4, 4, nullptr, {"SET", "DEV", "IREXE", "STR1"}},
    {3, 5, 5, nullptr, {"SET", "DEV", "CUARTDELAY", "STR1", "NUM1"}},
    {3, 4, 4, nullptr, {"GET", "DEV", "CUARTDELAY", "STR1"}},
};
// clang-format on

int CTransfer4mcu::MsgProcess(int32_t i_s32Fd, int32_t i_s32Mode, char* i_pMultiMsg, int32_t i_s32BufLen) {
    if (i_s32BufLen < 1) {
        qx_eprintf("function [%s], line = [%d], s32BufLen = [%d]\n", __func__, __LINE__, i_s32BufLen);
        return -1;
    }
    if (i_pMultiMsg == nullptr) {
        qx_eprintf("function [%s], line = [%d], pMultiMsg = NULL\n", __func__, __LINE__);
        return -1;
    }
    char* pOneMsg = (char*)malloc(QX_MSG_LINE_SIZE);
    char* apWords[QX_MSG_MAX_WORDS] = {nullptr};
    if (pOneMsg == nullptr) {
        qx_eprintf("function [%s], line = [%d], malloc failure!\n", __func__, __LINE__);
        return -12;
    }
    for (int i = 0; i < QX_MSG_MAX_WORDS; i++) {
        apWords[i] = (char*)malloc(QX_MSG_WORD_SIZE);
        if (apWords[i] == nullptr) {
            qx_eprintf("function [%s], line = [%d], i = [%d], malloc failure!\n", __func__, __LINE__, i);
            for (int j = 0; j < i; j++) free(apWords[j]);
            free(pOneMsg);
            return -12;
        }
    }
    for (;;) {
        memset(pOneMsg, 0, QX_MSG_LINE_SIZE);
        for (int i = 0; i < QX_MSG_MAX_WORDS; i++) memset(apWords[i], 0, QX_MSG_WORD_SIZE);
        int s32Ret = BufferProcess(i_s32Fd, i_s32Mode, i_pMultiMsg, i_s32BufLen, pOneMsg, QX_MSG_LINE_SIZE);
        if (s32Ret < 0) {
            qx_eprintf("function [%s], line = [%d], s32BufferProcessRet = [%d], call BufferProcess failure!\n",
                       __func__, __LINE__, s32Ret);
            break;
        }
        int s32CmdCount = SeparateMsg(pOneMsg, QX_MSG_MAX_WORDS, apWords, QX_MSG_WORD_SIZE);
        if (s32CmdCount < 0) {
            qx_eprintf("function [%s], line = [%d], s32CmdCount = [%d]\n", __func__, __LINE__, s32CmdCount);
            continue;
        }
        s32Ret = AnalyzeMsg(i_s32Fd, apWords, s32CmdCount);
        if (s32Ret < 0)
            qx_eprintf("function [%s], line = [%d], s32Ret = [%d], call AnalyzeMsg failure!\n", __func__, __LINE__,
                       s32Ret);
    }
    for (int i = 0; i < QX_MSG_MAX_WORDS; i++) free(apWords[i]);
    free(pOneMsg);
    return 0;
}

char* CTransfer4mcu::FindEnterOrWrap(char* i_pMsg, int32_t i_s32Len) {
    if (i_pMsg == nullptr || (int32_t)strlen(i_pMsg) > i_s32Len) return nullptr;
    for (char* p = i_pMsg; *p != '\0'; p++)
        if (*p == '\r' || *p == '\n') return p;
    return nullptr;
}

int CTransfer4mcu::BufferProcess(int32_t /*i_s32Fd*/, int32_t /*i_s32Mode*/, char* i_pMultiMsg, int32_t i_s32BufLen,
                                 char* o_pOneMsg, int32_t i_s32OneMsgSize) {
    if (o_pOneMsg == nullptr) return -2;
    if (i_pMultiMsg == nullptr) {
        qx_eprintf("function [%s], line = [%d], i_pMultiMsg = NULL\n", __func__, __LINE__);
        return -3;
    }
    int32_t s32Text = (int32_t)strlen(i_pMultiMsg);
    if (s32Text == 0 || s32Text > i_s32BufLen) {
        qx_eprintf("function [%s], line = [%d], data Err, strlen(i_pMultiMsg) = [%d], i_pMultiMsg = [%s]\n", __func__,
                   __LINE__, s32Text, i_pMultiMsg);
        return -4;
    }
    char* pEnd = FindEnterOrWrap(i_pMultiMsg, i_s32BufLen);
    if (pEnd == nullptr) return -5;
    while (pEnd == i_pMultiMsg) {
        memmove(i_pMultiMsg, i_pMultiMsg + 1, strlen(i_pMultiMsg + 1) + 1);
        pEnd = FindEnterOrWrap(i_pMultiMsg, i_s32BufLen);
        if (pEnd == nullptr) return -5;
    }
    int32_t s32MsgLen = (int32_t)(pEnd - i_pMultiMsg);
    bool bFits = s32MsgLen < i_s32OneMsgSize;
    if (bFits) {
        memcpy(o_pOneMsg, i_pMultiMsg, (size_t)s32MsgLen);
        o_pOneMsg[s32MsgLen] = '\0';
    }
    memmove(i_pMultiMsg, pEnd + 1, strlen(pEnd + 1) + 1);
    if (!bFits) return -7;
    qx_eprintf("function [%s], line = [%d], s32MsgLen = [%d], pOneMsg = [%s]\n", __func__, __LINE__, s32MsgLen,
               o_pOneMsg);
    return s32MsgLen;
}

int CTransfer4mcu::SeparateMsg(const char* i_pMsg, int32_t i_s32MaxWords, char** o_ppWords, int32_t i_s32WordSize) {
    if (o_ppWords == nullptr) return -1;
    if (i_pMsg == nullptr) return -2;
    int32_t s32Count = 0;
    const char* pStart = i_pMsg;
    for (const char* p = i_pMsg;; p++) {
        if (s32Count >= i_s32MaxWords) break;
        if (*p == ' ' || *p == '\0') {
            int32_t n = (int32_t)(p - pStart);
            if (n > 0) {
                if (n > i_s32WordSize - 1) n = i_s32WordSize - 1;
                memcpy(o_ppWords[s32Count], pStart, (size_t)n);
                o_ppWords[s32Count][n] = '\0';
                s32Count++;
            }
            if (*p == '\0') break;
            pStart = p + 1;
        }
    }
    return s32Count;
}

int CTransfer4mcu::AnalyzeMsg(int32_t i_s32Fd, char** i_ppWords, int32_t i_s32Count) {
    if (i_ppWords == nullptr) {
        qx_puts("i_pBuf = NULL");
        return -1;
    }
    for (const QX_MsgCmd_t& cmd : aMsgCmdLists) {
        if (cmd.s32KeyCount <= 0 || i_s32Count < cmd.s32MinWords || i_s32Count > cmd.s32MaxWords) continue;
        bool bSame = true;
        for (int i = 0; i < cmd.s32KeyCount && bSame; i++)
            bSame = cmd.szWords[i] != nullptr && strcasecmp(i_ppWords[i], cmd.szWords[i]) == 0;
        if (bSame && cmd.pHandler != nullptr) return cmd.pHandler(i_s32Fd, i_ppWords, i_s32Count) < 0 ? -1 : 0;
    }
    // The command as one line, kept within the scratch text however many words came.
    char szCmd[1024];
    size_t nUsed = 0;
    szCmd[0] = '\0';
    for (int i = 0; i < i_s32Count && nUsed < sizeof(szCmd); i++) {
        int n = snprintf(szCmd + nUsed, sizeof(szCmd) - nUsed, i == 0 ? "%s" : " %s", i_ppWords[i]);
        if (n < 0) break;
        nUsed += (size_t)n;
    }
    if (nUsed < sizeof(szCmd)) snprintf(szCmd + nUsed, sizeof(szCmd) - nUsed, "\r\n");
    qx_puts("search to end, no match");
    return -1;
}

void CTransfer4mcu::HexDataToStr(int32_t i_s32Count, const uint8_t* i_pData, char* o_pText, int32_t i_s32Size) {
    if (i_pData == nullptr || o_pText == nullptr || i_s32Size < 1) return;
    size_t nUsed = strnlen(o_pText, (size_t)i_s32Size);
    for (int32_t i = 0; i < (i_s32Count > 0 ? i_s32Count : 1); i++) {
        if (nUsed >= (size_t)i_s32Size) break;
        int n = snprintf(o_pText + nUsed, (size_t)i_s32Size - nUsed, i == 0 ? "%02X" : " %02X", i_pData[i]);
        if (n < 0) break;
        nUsed += (size_t)n;
    }
}

void CTransfer4mcu::RespondOneFrameEnd(char* o_pText, int32_t i_s32Size) {
    if (o_pText == nullptr || i_s32Size < 1) return;
    size_t nUsed = strnlen(o_pText, (size_t)i_s32Size);
    if (nUsed < (size_t)i_s32Size) snprintf(o_pText + nUsed, (size_t)i_s32Size - nUsed, "\r\n");
}

// ---------------------------------------------------------------- file push

int CTransfer4mcu::start_tftp() {
    int s32Ret = StartDetached(tftp_th, nullptr);
    if (s32Ret != 0) {
        qx_perror("start_tftp failure\n");
        assert(s32Ret == 0);
    }
    return 0;
}

void* CTransfer4mcu::tftp_th(void* /*i_pArg*/) {
    static tftp_param s_param;
    static bool s_bParamSet = false;
    if (!s_bParamSet) {
        // The listed names are bare names of the update directory: open them there.
        Board_Path(s_param.root_path, sizeof(s_param.root_path), QX_UPDATE_DIR);
        s_param.user = &g_QXhandle;
        s_param.read = r_tftp_frame;
        s_param.write = s_tftp_frame;
        s_bParamSet = true;
    }
    APP_TinyTFTP_t* pHandle = nullptr;
    int ret = APP_TinyTFTP_Create(&pHandle, &s_param);
    if (ret != 1) {
        qx_printf("tftp handle fail ret=[%d]\n", ret);
        assert((1) == ret);
        return nullptr;
    }
    char szDir[QX_PATH_BUF(256)];
    Board_Path(szDir, sizeof(szDir), QX_UPDATE_DIR);
    // Listed, and named in the log, without the trailing slash, as it always was.
    size_t nDir = strlen(szDir);
    if (nDir > 1 && szDir[nDir - 1] == '/') szDir[nDir - 1] = '\0';
    std::vector<std::string> files = getMcuUpdateFilesName(szDir);
    uint8_t u8FileCount = (uint8_t)files.size();
    if (QX_WaitUPGReady(u8FileCount) == 0 && u8FileCount != 0) {
        for (int i = 0; i < u8FileCount; i++) {
            qx_printf("u8FileCount=%d,files[%d]=%s\n", u8FileCount, i, files[i].c_str());
            memset(pHandle->file_name, 0, sizeof(pHandle->file_name));
            snprintf(pHandle->file_name, sizeof(pHandle->file_name), "%s", files[i].c_str());
            int s32Ret = APP_TinyTFTP_WRQ(pHandle);
            qx_printf("tftp xfer ret=[%d], file_name=[%s]\n", s32Ret, files[i].c_str());
        }
    }
    APP_TinyTFTP_Destroy(&pHandle);
    return nullptr;
}

std::vector<std::string> CTransfer4mcu::getMcuUpdateFilesName(const char* i_pPath) {
    std::vector<std::string> files;
    DIR* pDir = opendir(i_pPath);
    if (pDir == nullptr) {
        qx_puts("Open dir error...");
        return files;
    }
    struct dirent* pEntry;
    while ((pEntry = readdir(pDir)) != nullptr) {
        if (strcmp(pEntry->d_name, ".") == 0 || strcmp(pEntry->d_name, "..") == 0) continue;
        unsigned char u8Type = pEntry->d_type;
        if (u8Type == DT_UNKNOWN) {
            std::string strFull = std::string(i_pPath) + "/" + pEntry->d_name;
            struct stat st;
            if (lstat(strFull.c_str(), &st) == 0)
                u8Type = S_ISREG(st.st_mode) ? DT_REG : S_ISLNK(st.st_mode) ? DT_LNK : S_ISDIR(st.st_mode) ? DT_DIR : 0;
        }
        if (u8Type == DT_REG) {
            qx_printf("file d_name:%s%s\n", i_pPath, pEntry->d_name);
            if (strcmp(pEntry->d_name, QX_MCU_UPDATE_INI) != 0) files.push_back(pEntry->d_name);
        } else if (u8Type == DT_LNK) {
            qx_printf("link file d_name:%s%s\n", i_pPath, pEntry->d_name);
        } else if (u8Type == DT_DIR) {
            qx_printf("dir d_name:%s%s\n", i_pPath, pEntry->d_name);
        }
    }
    closedir(pDir);
    return files;
}

namespace {
// Waits, without a limit, for the MCU's next acknowledgement; false when the
// channel closed meanwhile. Asleep on the dispatch thread's signal, not polling.
bool WaitMcuAck() {
    pthread_once(&s_condOnce, InitConds);
    pthread_mutex_lock(&s_CoreMutex);
    while (g_comm_core.ops_code.load() != TFTP_ACK && g_bThrRun.load() != 0)
        Clock_CondWait(&s_CoreCond, &s_CoreMutex);
    pthread_mutex_unlock(&s_CoreMutex);
    return g_comm_core.ops_code.load() == TFTP_ACK;
}

void ResetCore() {
    g_comm_core.ops_code.store(-1);
    g_comm_core.tu_block.store(-1);
}

// A packet as the payload of a type-0 record, len rounded up to a multiple of 4.
void PacketRecord(comm_master_t* o_pRecord, const uint8_t* i_pPacket, int i_s32Len) {
    memset(o_pRecord, 0, sizeof(*o_pRecord));
    o_pRecord->type = comm_master_type_upgrade_data;
    o_pRecord->len = (uint32_t)((i_s32Len + 3) & ~3);
    memcpy(o_pRecord->data, i_pPacket, (size_t)i_s32Len);
}
}  // namespace

namespace {
// The push's log lines name the entry point, whichever helper writes them.
const char* const kPushFn = "QX_SendFileToSTM32";
uint8_t s_packet[TFTP_FRAME_SIZE];

// Sends data block i_u32Block and reports the progress; the send's result.
int SendBlock(FILE* i_fp, uint32_t i_u32Block, int32_t i_s32Remaining, int32_t i_s32Total, int32_t& io_s32End) {
    comm_master_t record;
    size_t nRead = fread(s_packet + TFTP_DATA_HDR, 1, TFTP_BLOCK_SIZE, i_fp);
    int nLen = TinyTFTP_PutData(s_packet, (uint16_t)i_u32Block, s_packet + TFTP_DATA_HDR, (int)nRead);
    // The record's len is p_len + 2 rounded up: the whole packet and its zero padding.
    PacketRecord(&record, s_packet, nLen);
    if (nRead < TFTP_BLOCK_SIZE)
        qx_eprintf("function [%s], line = [%d], current block=[%u]\n", kPushFn, __LINE__, i_u32Block);
    int s32Ret = CTransfer4mcu::QX_UartWrite(&record);
    int32_t s32Percent = 100 + (-100 * i_s32Remaining) / i_s32Total;
    if (s32Percent > 100) s32Percent = 99;
    if (s32Percent == 100) io_s32End = 1;
    SendReport("ST", 9, 9, (int)i_u32Block, s32Percent, io_s32End);
    return s32Ret;
}

// Sends the blocks, each on the MCU's acknowledgement of the one before.
// False when the channel closed meanwhile.
bool SendBlocks(FILE* i_fp, int32_t i_s32Total) {
    int32_t s32Remaining = i_s32Total;
    uint32_t u32NextBlock = 1;
    int32_t s32End = 0;
    for (int32_t s32Count = 0;;) {
        if (!WaitMcuAck()) return false;
        qx_eprintf("function [%s], line = [%d], state = %d, g_comm_core.ops_code = %d, nTotal = %d\n", kPushFn,
                   __LINE__, 1, g_comm_core.ops_code.load(), i_s32Total);
        qx_eprintf("function [%s], line = [%d], g_comm_core.tu_block = %d count=[%d]\n", kPushFn, __LINE__,
                   g_comm_core.tu_block.load(), s32Count);
        ResetCore();
        if (s32Remaining < 1) {
            qx_eprintf("function [%s], line = [%d], xfer complete\n", kPushFn, __LINE__);
            return true;
        }
        if (SendBlock(i_fp, u32NextBlock, s32Remaining, i_s32Total, s32End) != 0) {
            qx_eprintf("function [%s], line = [%d], send fail ???\n", kPushFn, __LINE__);
            return true;
        }
        u32NextBlock++;
        qx_eprintf("function [%s], line = [%d], next block=[%u]\n", kPushFn, __LINE__, u32NextBlock);
        if (++s32Count % 50 == 0) {
            qx_eprintf("function [%s], line = [%d], count = %d\n", kPushFn, __LINE__, s32Count);
            Board_usleep(500000);
        }
        s32Remaining--;
    }
}

// One attempt: the write request, then the blocks. False when the push ends
// (no image, or the channel closed).
bool SendAttempt(int32_t i_s32McuType, const char* i_pPath) {
    qx_eprintf("function [%s], line = [%d], FilePath = [%s], \n", kPushFn, __LINE__, i_pPath);
    // The image only as a regular file: never a link followed, nor a FIFO waited on.
    int s32Fd = Board_OpenRegular(i_pPath);
    Board_FilePtr fp(s32Fd >= 0 ? fdopen(s32Fd, "rb") : nullptr);
    if (!fp && s32Fd >= 0) close(s32Fd);
    if (!fp) {
        qx_eprintf("function [%s], line = [%d], can't open %s\n", kPushFn, __LINE__, i_pPath);
        return false;
    }
    g_UpgInfo.mcu = i_s32McuType;
    g_UpgInfo.status = 3;
    fseek(fp.get(), 0, SEEK_END);
    long nLength = ftell(fp.get());
    int32_t nTotal = (int32_t)(nLength / TFTP_BLOCK_SIZE + 1);
    qx_eprintf("function [%s], line = [%d], nLength = %d, nTotal = %d\n", kPushFn, __LINE__, (int)nLength, nTotal);
    rewind(fp.get());
    if (!WaitMcuAck()) return false;
    qx_eprintf("function [%s], line = [%d], from mcu ack\n", kPushFn, __LINE__);
    qx_eprintf("function [%s], line = [%d], File :%s\n", kPushFn, __LINE__, i_pPath);
    ResetCore();
    comm_master_t record;
    int nLen = TinyTFTP_PutRequest(s_packet, sizeof(s_packet), TFTP_WRQ, "STM32_MASTER", "BIN");
    PacketRecord(&record, s_packet, nLen);
    if (CTransfer4mcu::QX_UartWrite(&record) != 0) {
        qx_eprintf("function [%s], line = [%d], send fail ???\n", kPushFn, __LINE__);
        return true;
    }
    qx_eprintf("function [%s], line = [%d], send success, goto send data state\n", kPushFn, __LINE__);
    Board_usleep(10000);
    return SendBlocks(fp.get(), nTotal);
}
}  // namespace

int CTransfer4mcu::QX_SendFileToSTM32(int32_t i_s32McuType, int32_t i_s32Attempts, int32_t /*i_s32Unused*/) {
    // The MCU's first acknowledgement may already be here (it can follow its
    // upgrade acknowledgement at once): clearing it now would wait for ever.
    // Stale values are cleared before the upgrade request goes out instead.
    if (i_s32Attempts < 1) return 0;
    char szPath[QX_PATH_BUF(256)];
    Board_Path(szPath, sizeof(szPath), QX_MASTER_HEX);
    for (int32_t a = 0; a < i_s32Attempts; a++) {
        if (!SendAttempt(i_s32McuType, szPath)) return 0;
    }
    return 0;
}

void* CTransfer4mcu::QX_SendUPGFileToSTM32(void* /*i_pArg*/) {
    qx_eprintf("function [%s], line = [%d]\n", __func__, __LINE__);
    ResetCore();
    if (QX_WaitUPGReady(1) == 0) {
        g_UpgInfo.mcu = 0;
        g_UpgInfo.status = 0;
        QX_SendFileToSTM32(QX_MCU_TYPE_MASTER, 1, 0);
    } else {
        g_UpgInfo.mcu = 0;
        g_UpgInfo.status = 2;
    }
    return nullptr;
}
