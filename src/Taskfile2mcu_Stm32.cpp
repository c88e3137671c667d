// Master STM32, IO MCU and Valens upgrades: the text handshake with the boot
// loader, the image push (raw blocks or YMODEM) and the growable buffer both use.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

#include "BoardFiles.h"
#include "QxClock.h"
#include "QxLog.h"
#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "fymodem.h"

int32_t g_nSTBlock = 10240;
int32_t g_nSTDelay = 10;
unsigned char g_aUPGFileBuffer[10240];

// ---- DynamicBuf -------------------------------------------------------------------

int DynamicBuf_Init(DynamicBuf* o_pBuf, const char* i_pName) {
    memset(o_pBuf, 0, sizeof(*o_pBuf));
    snprintf(o_pBuf->szName, sizeof(o_pBuf->szName), "%s", i_pName ? i_pName : "");
    o_pBuf->pData = (unsigned char*)malloc(DYNAMICBUF_STEP);
    if (o_pBuf->pData == nullptr) {
        qx_printf("###### Dynamic Buffer[%s] out of memory\n", o_pBuf->szName);
        return -1;
    }
    o_pBuf->u32BufLen = DYNAMICBUF_STEP;
    return 0;
}

int DynamicBuf_Append(DynamicBuf* io_pBuf, const void* i_pData, uint32_t i_u32Len) {
    if (io_pBuf->pData == nullptr) return -1;
    uint64_t u64New = (uint64_t)io_pBuf->u32DataLen + i_u32Len;
    if (u64New > DYNAMICBUF_MAX) return -1;
    if (u64New > io_pBuf->u32BufLen) {
        uint32_t u32NewLen = (uint32_t)((u64New / DYNAMICBUF_STEP + 1) * DYNAMICBUF_STEP);
        qx_printf("Dynamic Buffer[%s] adjust buffer len from[%u] to [%u]", io_pBuf->szName, io_pBuf->u32BufLen,
                  u32NewLen);
        // realloc lets the C library move a large block by remapping its pages,
        // so the old and the new buffer are never resident together (a 2 MiB
        // Valens image would otherwise peak at 3.5 MiB). On failure the old
        // buffer stays as it was.
        unsigned char* pNew = (unsigned char*)realloc(io_pBuf->pData, u32NewLen);
        if (pNew == nullptr) {
            qx_printf("###### Dynamic Buffer[%s] out of memory\n", io_pBuf->szName);
            return -1;
        }
        io_pBuf->pData = pNew;
        io_pBuf->u32BufLen = u32NewLen;
    }
    if (i_u32Len > 0) memcpy(io_pBuf->pData + io_pBuf->u32DataLen, i_pData, i_u32Len);
    io_pBuf->u32DataLen = (uint32_t)u64New;
    return 0;
}

void DynamicBuf_Drop(DynamicBuf* io_pBuf, uint32_t i_u32Len) {
    if (i_u32Len < io_pBuf->u32DataLen) {
        memmove(io_pBuf->pData, io_pBuf->pData + i_u32Len, io_pBuf->u32DataLen - i_u32Len);
        io_pBuf->u32DataLen -= i_u32Len;
    } else {
        io_pBuf->u32DataLen = 0;
    }
}

void DynamicBuf_Free(DynamicBuf* io_pBuf) {
    free(io_pBuf->pData);
    io_pBuf->pData = nullptr;
    io_pBuf->u32BufLen = 0;
    io_pBuf->u32DataLen = 0;
}

int DynamicBuf_ReadFile(DynamicBuf* o_pBuf, int i_fd, char* o_pWhy, size_t i_whySize) {
    if (DynamicBuf_Init(o_pBuf, "Name Not defined") != 0) {
        snprintf(o_pWhy, i_whySize, "out of memory");
        return -1;
    }
    struct stat st;
    if (fstat(i_fd, &st) == 0 && st.st_size > DYNAMICBUF_MAX) {
        snprintf(o_pWhy, i_whySize, "%lld bytes, more than %d", (long long)st.st_size, DYNAMICBUF_MAX);
        return -1;
    }
    unsigned char aChunk[4096];
    for (;;) {
        ssize_t n = read(i_fd, aChunk, sizeof(aChunk));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            snprintf(o_pWhy, i_whySize, "the file cannot be read: %s", strerror(errno));
            return -1;
        }
        if (n == 0) return 0;
        // It may have grown since fstat.
        if (DynamicBuf_Append(o_pBuf, aChunk, (uint32_t)n) != 0) {
            snprintf(o_pWhy, i_whySize, "more than %d bytes", DYNAMICBUF_MAX);
            return -1;
        }
    }
}

// ---- image push -------------------------------------------------------------------

namespace {
// Outcome of the last Valens transfer, for the verdict wait that follows it.
bool s_bYmodemFailed = false;

void SendPushReport(bool i_bIoMcu, double i_dPercent) {
    char szReport[512];
    memset(szReport, 0, sizeof(szReport));
    snprintf(szReport, sizeof(szReport), QX_REPORT_FMT_FRACTION, QX_REPORT_HEAD, i_bIoMcu ? "IoMcu" : "ST", 26,
             i_bIoMcu ? 26 : 17, i_dPercent, 0);
    QX_SendText2vela(comm_master_type_upgrade_status, szReport);
}

// Opens the image to push: never a link, and never a wait on a FIFO or device;
// that is refused as if the image could not be opened, with its own "######" line.
Board_FilePtr OpenImage(const char* i_pPath, int* o_pFd) {
    int fd = Board_OpenRegular(i_pPath);
    *o_pFd = fd;
    Board_FilePtr fp(fd >= 0 ? fdopen(fd, "rb") : nullptr);
    if (!fp) {
        if (fd >= 0) close(fd);
        if (fd != -2)
            qx_eprintf("function [%s], line = [%d], can't open %s\n", "QX_UPGSTM32", 1049,
                       i_pPath ? i_pPath : "(null)");
    }
    return fp;
}

// The next block of the image into g_aUPGFileBuffer; r blocks are left.
size_t ReadBlock(FILE* i_fp, int r) {
    memset(g_aUPGFileBuffer, 0, sizeof(g_aUPGFileBuffer));
    size_t nRead = fread(g_aUPGFileBuffer, 1, (size_t)g_nSTBlock, i_fp);
    qx_eprintf("function [%s], line = [%d], fread result = %d, nTotal = %d\n", "QX_UPGSTM32", 1072, (int)nRead, r);
    return nRead;
}

// The same from an image in memory, from i_u32Off on.
size_t CopyBlock(const DynamicBuf& i_image, uint32_t i_u32Off, int r) {
    memset(g_aUPGFileBuffer, 0, sizeof(g_aUPGFileBuffer));
    size_t nRead =
        i_u32Off < i_image.u32DataLen ? std::min<size_t>((size_t)g_nSTBlock, i_image.u32DataLen - i_u32Off) : 0;
    if (nRead > 0) memcpy(g_aUPGFileBuffer, i_image.pData + i_u32Off, nRead);
    qx_eprintf("function [%s], line = [%d], fread result = %d, nTotal = %d\n", "QX_UPGSTM32", 1072, (int)nRead, r);
    return nRead;
}

// Master and IO MCU: the image as it is, block by block, with a report per
// block. A block the line does not take whole ends the push: the boot loader
// must never get an image with a hole in it. o_s32Percent: the last percent
// reported (0 before the first report).
bool PushRaw(int i_fd, bool i_bIoMcu, const DynamicBuf& i_image, int i_nTotal, int32_t& o_s32Percent) {
    o_s32Percent = 0;
    uint32_t u32Off = 0;
    for (int r = i_nTotal; r >= 1; r--) {
        size_t nRead = CopyBlock(i_image, u32Off, r);
        u32Off += (uint32_t)nRead;
        ssize_t nWrite = UartWriteBounded(i_fd, g_aUPGFileBuffer, nRead);
        qx_eprintf("function [%s], line = [%d], Uart2Write result = %d\n", "QX_UPGSTM32", 1082, (int)nWrite);
        if (nRead > 0 && nWrite != (ssize_t)nRead) {
            qx_printf("###### write stalled at block %d of %d (%d of %d bytes taken), push ended\n", i_nTotal - r + 1,
                      i_nTotal, nWrite > 0 ? (int)nWrite : 0, (int)nRead);
            return false;
        }
        Board_usleep((uint64_t)g_nSTDelay * 1000u);
        double dPercent = (double)(100 * (53 - r) / 53);
        if (dPercent > 99.0) dPercent = 99.0;
        if (r <= 52) {
            SendPushReport(i_bIoMcu, dPercent);
            o_s32Percent = (int32_t)dPercent;
        }
    }
    return true;
}

// Valens: the whole image into io_pBuf. The chip flashes whatever it is given:
// an image the buffer cannot hold whole is refused rather than sent cut.
// Returns false when refused.
bool LoadValensImage(FILE* i_fp, const char* i_pPath, long i_nLength, int i_nTotal, DynamicBuf* io_pBuf) {
    bool bRefused = false;
    if (i_nLength > DYNAMICBUF_MAX) {
        qx_printf("###### Valens image %s is %ld bytes, more than %d: not sent\n", i_pPath, i_nLength, DYNAMICBUF_MAX);
        bRefused = true;
        i_nTotal = 0;
    }
    for (int r = i_nTotal; r >= 1; r--) {
        size_t nRead = ReadBlock(i_fp, r);
        if (DynamicBuf_Append(io_pBuf, g_aUPGFileBuffer, (uint32_t)nRead) != 0) bRefused = true;
        Board_usleep((uint64_t)g_nSTDelay * 1000u);
    }
    qx_printf("DynamicBuf u32DataLen = %d\n", (int)io_pBuf->u32DataLen);
    if (!bRefused && (long)io_pBuf->u32DataLen != i_nLength) {
        qx_printf("###### Valens image %s read as %u of %ld bytes: not sent\n", i_pPath, io_pBuf->u32DataLen,
                  i_nLength);
        bRefused = true;
    }
    return !bRefused;
}

// Valens: the loaded image in one YMODEM transfer; the verdict wait learns how
// it went. The percent is what the chip acknowledged, 99 at most until its verdict.
void SendValensImage(CTaskfile2mcu& io_task, const DynamicBuf& i_buf, int32_t i_nValens) {
    int32_t s32Sent = fymodem_send(i_buf.pData, i_buf.u32DataLen, i_nValens == 1 ? "VSTX.hex" : "VSRX.hex");
    uint32_t u32Acked = fymodem_acked();
    io_task.m_s32StPercent =
        i_buf.u32DataLen > 0 ? (int32_t)std::min<uint64_t>(99, (uint64_t)u32Acked * 100u / i_buf.u32DataLen) : 99;
    if (s32Sent < 0) {
        s_bYmodemFailed = true;
        io_task.m_eStOutcome = emOutcomeFailed;
        qx_printf("###### File transfer failed, the Valens chip did not get the image\n");
    } else {
        qx_printf("File transfer successful, waiting for upgrade..........\n");
    }
}

// Master and IO MCU: the checked image the scheduler holds, or else the file
// read whole, once; pushed from memory. False when nothing more is to be done
// (the outcome is set then).
bool PushImage(CTaskfile2mcu& io_task, char* i_pPath) {
    DynamicBuf stOwn;
    memset(&stOwn, 0, sizeof(stOwn));
    const DynamicBuf* pImage = io_task.m_pStImage;
    if (pImage == nullptr) {
        int fd = Board_OpenRegular(i_pPath);
        if (fd < 0) {
            if (fd != -2)
                qx_eprintf("function [%s], line = [%d], can't open %s\n", "QX_UPGSTM32", 1049,
                           i_pPath ? i_pPath : "(null)");
            io_task.m_eStOutcome = fd == -2 ? emOutcomeImageRefused : emOutcomeNoImage;
            return false;
        }
        char szWhy[128];
        int nRet = DynamicBuf_ReadFile(&stOwn, fd, szWhy, sizeof(szWhy));
        close(fd);
        if (nRet != 0) {
            qx_printf("###### image %s not read whole, nothing sent: %s\n", i_pPath, szWhy);
            DynamicBuf_Free(&stOwn);
            io_task.m_eStOutcome = emOutcomeImageRefused;
            return false;
        }
        pImage = &stOwn;
    }
    long nLength = (long)pImage->u32DataLen;
    int nTotal = (int)(nLength / g_nSTBlock + 1);
    qx_eprintf("function [%s], line = [%d], nLength = %d, nTotal = %d\n", "QX_UPGSTM32", 1064, (int)nLength, nTotal);
    bool bWhole = PushRaw(io_task.m_Uartfd, io_task.m_bIoMcu != 0, *pImage, nTotal, io_task.m_s32StPercent);
    DynamicBuf_Free(&stOwn);
    if (!bWhole) io_task.m_eStOutcome = emOutcomeWriteStalled;
    return bWhole;
}
}  // namespace

int32_t CTaskfile2mcu::QX_UPGSTM32(char* i_pPath) {
    qx_eprintf("function [%s], line = [%d], g_nSTBlock:%d g_nSTDelay:%d\n", "QX_UPGSTM32", 1043, g_nSTBlock,
               g_nSTDelay);
    s_bYmodemFailed = false;
    if (g_nSTBlock <= 0 || g_nSTBlock > (int32_t)sizeof(g_aUPGFileBuffer)) {
        qx_eprintf("###### block size %d outside 1..%zu, nothing sent\n", g_nSTBlock, sizeof(g_aUPGFileBuffer));
        m_eStOutcome = emOutcomeFailed;
        return 0;
    }
    const int32_t nValens = GetValensUpFlg();
    if (nValens == 0) return PushImage(*this, i_pPath) ? 1 : 0;
    int fd = -1;
    Board_FilePtr fp = OpenImage(i_pPath, &fd);
    if (!fp) {
        m_eStOutcome = fd == -2 ? emOutcomeImageRefused : fd == -1 ? emOutcomeNoImage : emOutcomeFailed;
        return 0;
    }
    DynamicBuf stBuf;
    if (DynamicBuf_Init(&stBuf, "Name Not defined") != 0) {
        s_bYmodemFailed = true;
        m_eStOutcome = emOutcomeFailed;
        return 1;
    }
    fseek(fp.get(), 0, SEEK_END);
    long nLength = ftell(fp.get());
    if (nLength < 0) nLength = 0;
    int nTotal = (int)(nLength / g_nSTBlock + 1);
    qx_eprintf("function [%s], line = [%d], nLength = %d, nTotal = %d\n", "QX_UPGSTM32", 1064, (int)nLength, nTotal);
    fseek(fp.get(), 0, SEEK_SET);
    if (LoadValensImage(fp.get(), i_pPath, nLength, nTotal, &stBuf)) {
        SendValensImage(*this, stBuf, nValens);
    } else {
        s_bYmodemFailed = true;
        m_eStOutcome = emOutcomeImageRefused;
    }
    DynamicBuf_Free(&stBuf);
    return 1;
}

// ---- the three-state handshake ---------------------------------------------------

namespace {
int32_t STM_Status = 0;
int32_t retry_count = 0;

#define QX_ST_PASS_MAX 500           // passes in any state
#define QX_ST_CLOSE_PASS_MAX 100     // passes waiting for "rebooting"
#define QX_ST_ENTRY_FAIL_MAX 5       // failed entry sequences before the run is given up
#define QX_VALENS_VERDICT_MS 120000  // wait for the chip's verdict after the transfer

enum { TARGET_MASTER, TARGET_IOMCU, TARGET_VALENS };

// The received text: the buffer up to its first zero byte, searched from
// i_uFrom on (text held before the push is no verdict).
bool RecvHas(const DynamicBuf& i_buf, const char* i_pNeedle, size_t i_uFrom = 0) {
    const char* p = (const char*)i_buf.pData;
    size_t n = i_buf.u32DataLen;
    const void* pZero = memchr(p, 0, n);
    if (pZero != nullptr) n = (size_t)((const char*)pZero - p);
    if (i_uFrom >= n) return false;
    return std::string_view(p + i_uFrom, n - i_uFrom).find(i_pNeedle) != std::string_view::npos;
}

// Waits until fd is readable or the board clock reaches the deadline.
bool WaitReadable(int i_fd, uint64_t i_u64DeadlineMs) {
    for (;;) {
        uint64_t u64Now = Clock_MonoMs();
        if (u64Now >= i_u64DeadlineMs) return false;
        uint64_t u64Left = i_u64DeadlineMs - u64Now;
        fd_set rfds;
        FD_ZERO(&rfds);
        FD_SET(i_fd, &rfds);
        struct timeval tv = {(time_t)(u64Left / 1000u), (suseconds_t)(u64Left % 1000u) * 1000};
        int nRet = Clock_Select(i_fd + 1, &rfds, nullptr, nullptr, &tv);
        if (nRet > 0) return true;
        if (nRet < 0 && errno != EINTR) return true;  // let the read report it
    }
}

// What one run of the handshake holds across its passes.
struct StRun {
    const char* pDev;
    int fd;
    int nTarget;
    int32_t nValens;
    char szSig[13] = "UPG MCUSIG\r\n";
    char szMaster[14] = "WUPG Master\r\n";
    char szValensCmd[QX_VALENS_CMD_LEN];
    DynamicBuf stRecv;
    char szLine[256];
    uint32_t u32Stale = 0;  // leading bytes of the buffer that came before the push
    bool bBlock = false;
    int nEntryFails = 0;
    uint64_t u64VerdictDeadline = 0;
    bool bConfirmed = false;  // the boot loader said it is rebooting
};

enum StStep { kStOn, kStDone, kStFail };

// Reads what the chip sent and cuts the first line from it. False when the
// chip's verdict did not come in time.
bool ReadLine(CTaskfile2mcu& io_task, StRun& io_run, int32_t& o_s32Consumed) {
    memset(io_run.szLine, 0, sizeof(io_run.szLine));
    char szChunk[256];
    memset(szChunk, 0, sizeof(szChunk));
    // The chip's verdict is awaited by reads that block, but never past
    // the deadline: a chip that stays silent must not hold the scheduler.
    if (io_run.bBlock && io_run.nTarget == TARGET_VALENS && STM_Status == 2 &&
        !WaitReadable(io_run.fd, io_run.u64VerdictDeadline)) {
        qx_printf("###### no verdict from the Valens chip within %d s\n", QX_VALENS_VERDICT_MS / 1000);
        io_task.m_eStOutcome = emOutcomeUnconfirmed;
        return false;
    }
    int32_t s32Read = io_task.Uart2tread(io_run.fd, szChunk, 255, io_run.bBlock);
    if (s32Read > 0) DynamicBuf_Append(&io_run.stRecv, szChunk, (uint32_t)s32Read);
    o_s32Consumed = io_task.CatchEndMsg((const char*)io_run.stRecv.pData, (int)io_run.stRecv.u32DataLen);
    if (o_s32Consumed > 0)
        memcpy(io_run.szLine, io_run.stRecv.pData, o_s32Consumed < 255 ? (size_t)o_s32Consumed : 255u);
    if (io_run.szLine[0] != '\0') qx_printf("Recv buf is[%s]\n", io_run.szLine);
    return true;
}

// Sends the command that calls the target's boot loader; after five failed
// sends the run is given up.
StStep StEnter(CTaskfile2mcu& io_task, StRun& io_run) {
    retry_count++;
    if (RecvHas(io_run.stRecv, "WUPG Master\r\n")) return kStOn;
    retry_count = 0;
    int32_t s32Ret;
    if (io_run.nTarget == TARGET_MASTER) {
        s32Ret = io_task.SendUartMsg(io_run.szMaster, 13);
        io_task.SetUartSpeed(io_run.pDev, 115200);
    } else {
        io_task.SendUartMsg(io_run.szSig, 12);
        Board_usleep(200000);
        io_task.SetUartSpeed(io_run.pDev, 115200);
        if (io_run.nTarget == TARGET_IOMCU)
            s32Ret = io_task.SendUartMsg(io_run.szSig, 12);
        else
            s32Ret = io_task.SendUartMsg(io_run.szValensCmd, (int)strlen(io_run.szValensCmd));
    }
    if (s32Ret >= 0) {
        STM_Status = 1;
        return kStOn;
    }
    qx_printf("call strncat failure, s32Ret = [%d]\n", s32Ret);
    io_task.SetUartSpeed(io_run.pDev, 57600);
    if (++io_run.nEntryFails < QX_ST_ENTRY_FAIL_MAX) return kStOn;
    qx_printf("###### entry command not sent after %d attempts, upgrade given up\n", io_run.nEntryFails);
    io_task.m_eStOutcome = emOutcomeFailed;
    return kStFail;
}

// Waits for the boot loader's start and pushes the image.
StStep StAwaitStart(CTaskfile2mcu& io_task, StRun& io_run) {
    retry_count++;
    if (!RecvHas(io_run.stRecv, io_run.nTarget == TARGET_VALENS ? "CC" : "START")) {
        if (io_run.nTarget != TARGET_MASTER) {
            Board_usleep(200000);
            if (io_run.nTarget == TARGET_IOMCU)
                io_task.SendUartMsg(io_run.szSig, 12);
            else
                io_task.SendUartMsg(io_run.szValensCmd, (int)strlen(io_run.szValensCmd));
            Board_sleep(5);
        }
        return kStOn;
    }
    retry_count = 0;
    const char* pImage = io_run.nTarget == TARGET_MASTER  ? QX_MASTER_HEX
                         : io_run.nTarget == TARGET_IOMCU ? QX_IOMCU_HEX
                         : io_run.nValens == 1            ? QX_VALENS_TX_HEX
                                                          : QX_VALENS_RX_HEX;
    char szPath[QX_PATH_BUF(64)];
    Board_Path(szPath, sizeof(szPath), pImage);
    if (io_run.nTarget == TARGET_VALENS) io_run.bBlock = true;
    qx_printf("readly in upgrade stm32....\n");
    io_run.u32Stale = io_run.stRecv.u32DataLen;
    if (io_task.QX_UPGSTM32(szPath) == 0) return kStFail;
    if (io_run.nTarget == TARGET_VALENS && s_bYmodemFailed) return kStFail;
    io_run.u64VerdictDeadline = Clock_MonoMs() + QX_VALENS_VERDICT_MS;
    STM_Status = 2;
    return kStOn;
}

// Waits for the end of the run: the Valens chip's verdict, or the reboot of
// the others (or enough passes without it).
StStep StAwaitVerdict(CTaskfile2mcu& io_task, StRun& io_run) {
    qx_printf("STM_Status==2.....buffer[%s][%d].\n", io_run.szLine, (int)strlen(io_run.szLine));
    retry_count++;
    if (io_run.nTarget == TARGET_VALENS) {
        if (RecvHas(io_run.stRecv, "FAIL", io_run.u32Stale)) {
            io_task.m_eStOutcome = emOutcomeFailed;
            return kStFail;
        }
        if (!RecvHas(io_run.stRecv, "SUCCESS", io_run.u32Stale)) return kStOn;
        io_task.m_nValensResult = 1;
        io_run.bConfirmed = true;
        return kStDone;
    }
    const char* pFresh = io_run.szLine + std::min<size_t>(io_run.u32Stale, strlen(io_run.szLine));
    if (strstr(pFresh, "rebooting") != nullptr) io_run.bConfirmed = true;
    return io_run.bConfirmed || retry_count > QX_ST_CLOSE_PASS_MAX ? kStDone : kStOn;
}

StStep RunStates(CTaskfile2mcu& io_task, StRun& io_run) {
    int32_t s32Consumed = 0;
    for (;;) {
        DynamicBuf_Drop(&io_run.stRecv, (uint32_t)s32Consumed);
        io_run.u32Stale -= std::min(io_run.u32Stale, (uint32_t)s32Consumed);
        if (!ReadLine(io_task, io_run, s32Consumed)) return kStFail;
        if (retry_count > QX_ST_PASS_MAX) {
            // Before the push the boot loader never got ready; after it, it never confirmed.
            io_task.m_eStOutcome = STM_Status < 2 ? emOutcomeNoAnswer : emOutcomeUnconfirmed;
            return kStFail;
        }
        StStep eStep = STM_Status == 0   ? StEnter(io_task, io_run)
                       : STM_Status == 1 ? StAwaitStart(io_task, io_run)
                                         : StAwaitVerdict(io_task, io_run);
        if (eStep != kStOn) return eStep;
    }
}
}  // namespace

int32_t CTaskfile2mcu::CatchEndMsg(const char* i_pMsg, int i_s32Len) {
    if (i_pMsg == nullptr) {
        qx_printf("###### In CTaskfile2mcu CatchEndMsg, i_pMsg== NULL \n");
        return -1;
    }
    for (int i = 0; i < i_s32Len; i++) {
        if (i_pMsg[i] == '\r' || (i + 1 < i_s32Len && i_pMsg[i + 1] == '\n')) return i + 1;
    }
    return 0;
}

void CTaskfile2mcu::Process4STUpgrade() {
    m_eStOutcome = emOutcomeFailed;
    m_s32StPercent = 0;
    StRun stRun;
    stRun.pDev = Board_SerialDev();
    if (m_Uartfd >= 0) tcflush(m_Uartfd, TCIOFLUSH);
    SetUartSpeed(stRun.pDev, 57600);
    stRun.fd = m_Uartfd;
    struct stat st;
    if (stRun.fd < 0 || fstat(stRun.fd, &st) != 0) return;
    // Whatever ends the run on its way sets the outcome; a run that gets no
    // further than the entry has had no answer.
    m_eStOutcome = emOutcomeNoAnswer;
    qx_printf("Ready to upgrade ST... ... \n");

    stRun.nValens = GetValensUpFlg();
    stRun.nTarget = stRun.nValens != 0 ? TARGET_VALENS : (m_bIoMcu ? TARGET_IOMCU : TARGET_MASTER);
    stRun.szValensCmd[0] = '\0';
    if (g_pudp4vela != nullptr)
        snprintf(stRun.szValensCmd, sizeof(stRun.szValensCmd), "%s", g_pudp4vela->GetValensUpCmd());

    bool bReady = DynamicBuf_Init(&stRun.stRecv, "Name Not defined") == 0;
    StStep eEnd = bReady ? RunStates(*this, stRun) : kStFail;
    // Whatever ends a Valens run short is its failure.
    if (eEnd == kStFail && stRun.nTarget == TARGET_VALENS) m_nValensResult = -1;
    if (!bReady) m_eStOutcome = emOutcomeFailed;
    if (eEnd == kStDone) m_eStOutcome = stRun.bConfirmed ? emOutcomeFlashed : emOutcomeUnconfirmed;
    // 100 says flashed and confirmed, nothing less.
    m_s32StPercent = m_eStOutcome == emOutcomeFlashed ? 100 : std::min<int32_t>(m_s32StPercent, 99);
    if (!bReady) return;
    retry_count = 0;
    STM_Status = 0;
    DynamicBuf_Free(&stRun.stRecv);
}
