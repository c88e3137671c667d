// EP and BV flashing: the byte-coded ISP requests and their checks, the
// per-port run (a state machine paced by answer windows), and the walk over
// the sixteen EP and eight BV ports.
#include "Taskfile2mcu_Isp.h"
#include "QxClock.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>


#include "BoardFiles.h"
#include "QxLog.h"
#include "Taskfile2mcu.h"
#include "Udp2vela.h"

// ---- progress and image names ----------------------------------------------

// Seconds on the monotonic board clock: a step of the wall clock must neither
// stall the stall rule for ever nor fire it early.
namespace {
int32_t IspNowSeconds() { return (int32_t)(Clock_MonoMs() / 1000u); }
}  // namespace

IspPercent IspComputePercent(uint32_t i_u32SendCount, int32_t i_s32FileSize, uint32_t i_u32Bank) {
    static const int32_t s_aK[3] = {153600, 271360, 256000};
    IspPercent stPct = {0, 0};
    int32_t s32K = s_aK[i_u32Bank < 3 ? i_u32Bank : 2];
    // A zero size never passes the loader; guard the division all the same.
    int32_t s32Bank = i_s32FileSize > 0 ? (int32_t)((int64_t)i_u32SendCount * s32K / i_s32FileSize) : 0;
    int32_t s32Share;
    if (s32Bank > 98) {
        s32Bank = 99;
        s32Share = 33;
    } else {
        s32Share = s32Bank / 3;
    }
    stPct.s32BankPercent = s32Bank;
    uint32_t u32Overall = (uint32_t)s32Share + 33u * i_u32Bank;
    stPct.u32Overall = u32Overall > 99 ? 99 : u32Overall;
    return stPct;
}

const char* IspEpBasePath(uint32_t i_u32Port) {
    int s32Family = IspEpFamilyOf(i_u32Port);
    return s32Family < 0 ? nullptr : g_aIspEpFamilies[s32Family].pBasePath;
}

namespace {
void SendIndexedReport(size_t i_size, const char* i_pName, uint32_t i_u32Port, int32_t i_s32Percent) {
    char szReport[512];
    if (i_size > sizeof(szReport)) i_size = sizeof(szReport);
    snprintf(szReport, i_size, QX_REPORT_FMT_INDEXED, QX_REPORT_HEAD, i_pName, (int)i_u32Port, 26, (int)i_u32Port,
             (int)i_s32Percent, 0);
    QX_SendText2vela(comm_master_type_upgrade_status, szReport);
}

int32_t SendOneByte(CTaskfile2mcu& io_task, unsigned char i_u8Code) {
    char aBuf[16];
    memset(aBuf, 0, sizeof(aBuf));
    aBuf[0] = (char)i_u8Code;
    return io_task.SendUartMsg(aBuf, 1);
}

unsigned char FirstByte(const char* i_pRsp) { return i_pRsp ? (unsigned char)i_pRsp[0] : 0; }

// An answer that must start with i_u8Code: logs every byte when it does (as
// "<name> Msg[i] is <0x..>"), the refusal line "<prefix>Receive Msg is ..." when it does not.
int32_t CheckEchoedCode(const char* i_pRsp, unsigned char i_u8Code, const char* i_pName, const char* i_pRefusedPrefix) {
    unsigned char u8First = FirstByte(i_pRsp);
    if (u8First != i_u8Code) {
        qx_printf("%sReceive Msg is <0x%x> Error.\n", i_pRefusedPrefix, u8First);
        return -2;
    }
    for (int i = 0; i_pRsp[i] != '\0'; i++) qx_printf("%s Msg[%d] is <0x%x>\n", i_pName, i, (unsigned char)i_pRsp[i]);
    return 0;
}
}  // namespace

// ---- requests and checks ------------------------------------------------------

int32_t CTaskfile2mcu::ApplyIntoUpgradeModleReq() {
    char szBuf[16];
    memset(szBuf, 0, sizeof(szBuf));
    if (m_bBVFlg)
        snprintf(szBuf, sizeof(szBuf), "UPG BVE%d\r\n", (int)m_u32Port);
    else if (m_u32Port <= 8)
        snprintf(szBuf, sizeof(szBuf), "WUPG MCUIN%d\r\n", (int)m_u32Port);
    else
        snprintf(szBuf, sizeof(szBuf), "WUPG MCUOUT%d\r\n", (int)(m_u32Port - 8));
    unsigned uLen = (unsigned)strlen(szBuf);
    int32_t s32Ret = SendUartMsg(szBuf, (int)uLen);
    // The text ends in "\r\n"; shown as sent.
    qx_printf("In ApplyIntoUpgradeModleReq Fun, SendUartMsg!eRet is <%d>, send uart uLen is <%u>, SendBuf is [%s].\n",
              s32Ret, uLen, szBuf);
    Board_sleep(6);
    return s32Ret;
}

int32_t CTaskfile2mcu::ApplyIntoUpgradeModleRsp(const char* i_pRsp) {
    unsigned char u8First = FirstByte(i_pRsp);
    if (u8First == 0x3C || u8First == 0x3E || u8First == 0xFE) {
        Check0x3EModleRsp(i_pRsp);
        return 0;
    }
    return -2;
}

int32_t CTaskfile2mcu::Check0x3EModleRsp(const char* i_pRsp) {
    unsigned char u8First = FirstByte(i_pRsp);
    if (u8First == 0x3C || u8First == 0x3E) {
        Board_sleep(10);
        SendOneByte(*this, 0x81);
        qx_printf("CheckICPModle Receive Msg[0] is <0x%x>, send Msg is <0x81>\n", u8First);
        return 0;
    }
    ApplyIntoUpgradeModleReq();
    return -2;
}

int32_t CTaskfile2mcu::Check0x81Rsp(const char* i_pRsp) {
    size_t uLen = i_pRsp ? strlen(i_pRsp) : 0;
    // An empty answer has no last byte: show 0 rather than read before the buffer.
    unsigned char u8Last = uLen > 0 ? (unsigned char)i_pRsp[uLen - 1] : 0;
    qx_eprintf("function[%s] line[%d]: MsgLen[%u] is Msg[0x%x]\n", "Check0x81Rsp", 738, (unsigned)(uLen - 1), u8Last);
    if (uLen > 0 && u8Last == 0x81) return 0;
    if (m_bBVFlg) Board_usleep(200000);
    SendOneByte(*this, 0x81);
    return -2;
}

int32_t CTaskfile2mcu::ChoiceFlashBlockReq(uint32_t& i_u32Bank) {
    memset(m_aSendBuf, 0, sizeof(m_aSendBuf));
    m_aSendBuf[0] = 0x83;
    m_aSendBuf[1] = (unsigned char)(i_u32Bank & 0xFF);
    SendUartMsg((char*)m_aSendBuf, 2);
    return 0;
}

int32_t CTaskfile2mcu::ChoiceFlashBlockRsp(const char* i_pRsp) {
    return CheckEchoedCode(i_pRsp, 0x83, "ChoiceFlashBlockRsp", "###### ChoiceFlashBlockRsp ");
}

int32_t CTaskfile2mcu::ChoiceFlashAddrReq(uint32_t i_u32Row) {
    memset(m_aSendBuf, 0, sizeof(m_aSendBuf));
    m_aSendBuf[0] = 0x84;
    m_aSendBuf[1] = (unsigned char)(i_u32Row & 0xFF);
    m_aSendBuf[2] = 0x00;
    m_u32SendAddr = i_u32Row;
    qx_printf("In ChoiceFlashAddrReq, i_u32FlsAddr[0x%x]\n", i_u32Row);
    if (i_u32Row > 255) return -2;
    SendUartMsg((char*)m_aSendBuf, 3);
    return 0;
}

int32_t CTaskfile2mcu::ChoiceFlashAddrRsp(const char* i_pRsp) {
    unsigned char u8First = FirstByte(i_pRsp);
    if (u8First == 0x3E) {
        qx_printf("######ChoiceFlashAddrRsp Receive Msg[0] is <0x%x> Error.\n", u8First);
        return -2;
    }
    return 0;
}

int32_t CTaskfile2mcu::Check0x86Req() {
    SendOneByte(*this, 0x86);
    return 0;
}

int32_t CTaskfile2mcu::Check0x86Rsp(const char* i_pRsp) {
    return CheckEchoedCode(i_pRsp, 0x86, "Check0x86Rsp", "Check0x86Rsp ");
}

int32_t CTaskfile2mcu::SendUpgrade512DateWriteToUart(char*) {
    static char s_aBlock[512];
    // Only an accepted address request leads here; a row past the image would
    // send bytes that are not the image, so nothing goes out then.
    if (m_u32SendAddr > 254) {
        qx_printf("######m_u32SendAddr is <%u>, no such block in the image, nothing sent.\n", m_u32SendAddr);
        return 0;
    }
    Get512BytesFlashData(s_aBlock, (int)m_u32SendAddr);
    qx_printf("m_u32SendAddr is <%d>, g_row is <%d>\n", (int)m_u32SendAddr, g_row);
    SendUartMsg(s_aBlock, 512);
    Board_usleep(20000);
    return 0;
}

int32_t CTaskfile2mcu::Check0x85Req() {
    SendOneByte(*this, 0x85);
    return 0;
}

int32_t CTaskfile2mcu::Check0x5ARsp(const char*) { return 0; }

// ---- the run -------------------------------------------------------------------

namespace {
// How the port being walked fared over all its attempts: its closing report
// and its outcome are taken from this.
struct IspPortTally {
    bool bAnswered;      // the device answered an entry request
    uint32_t u32Blocks;  // data blocks sent
    int32_t s32Percent;  // highest progress reported
    bool bFinished;      // the last block's answers came: the device holds the image
};
IspPortTally s_stTally = {false, 0, 0, false};

// The three banks of the EP port being entered, loaded and checked once: every
// attempt on the port writes these, the files are never read again for it.
struct IspEpBanks {
    unsigned char aFlash[3][QX_FLASHBUF_LEN];
    int32_t aRow[3];
    int32_t aFileSize[3];
};
IspEpBanks s_stEpBanks;

void KeepBank(const CTaskfile2mcu& i_task, int i_s32Bank) {
    memcpy(s_stEpBanks.aFlash[i_s32Bank], g_FlashBuf, QX_FLASHBUF_LEN);
    s_stEpBanks.aRow[i_s32Bank] = g_row;
    s_stEpBanks.aFileSize[i_s32Bank] = i_task.m_s32FileSize;
}

// Puts a kept bank where the writes take it from, as its load would have.
void UseBank(CTaskfile2mcu& io_task, int i_s32Bank) {
    memcpy(g_FlashBuf, s_stEpBanks.aFlash[i_s32Bank], QX_FLASHBUF_LEN);
    g_row = s_stEpBanks.aRow[i_s32Bank];
    io_task.m_s32FileSize = s_stEpBanks.aFileSize[i_s32Bank];
}

// What one call of the run holds across its passes (and across run resets).
struct IspCall {
    char aRsp[QXIH_RSP_LEN + 1];  // gathered answer, always zero-terminated
    int s32Gathered;
    uint32_t u32EntryNum;        // entry requests sent by this call (EP)
    uint32_t u32MissZ;           // missing "Z" acknowledgements
    uint32_t u32Percent;         // progress value for the stall rule
    uint32_t u32Resets;          // attempts this call has ended (bounded by QXIH_ATTEMPTS_MAX)
    uint64_t u64DeadlineNs;  // end of the current answer window (monotonic)
};

enum IspVerdict {
    kIspOk,        // the step moved on: next state and counter of the ok columns
    kIspBad,       // refused: next state and counter of the refused columns
    kIspOwnState,  // the action set the state itself (reset, bank switch): counter of the ok columns
    kIspNoEnd,     // entry resend: next pass without step end
    kIspReturn,    // the call returns s32Ret
};
enum IspCounter { kCntKeep, kCntOne, kCntUp };

struct IspOutcome {
    IspVerdict eVerdict;
    int32_t s32Ret;
};

typedef IspOutcome (*IspAction)(CTaskfile2mcu&, IspCall&);

struct IspRow {
    uint32_t u32State;
    const char* pLog;
    IspAction pAction;
    uint32_t u32OkNext;
    IspCounter eOkCnt;
    uint32_t u32BadNext;
    IspCounter eBadCnt;
};

const uint32_t kSame = 0;  // stay in the state
const char* kH00 = ".h00";

IspOutcome Ok() { return {kIspOk, 0}; }
IspOutcome Bad() { return {kIspBad, 0}; }

void SetWindow(IspCall& io_call, long i_sec, long i_usec) {
    io_call.u64DeadlineNs = Clock_MonoNs() + (uint64_t)i_sec * 1000000000u + (uint64_t)i_usec * 1000u;
}

// What is left of the window (zero once it has run out).
struct timespec WindowLeft(const IspCall& i_call) {
    uint64_t u64Now = Clock_MonoNs();
    long long llNs = i_call.u64DeadlineNs > u64Now ? (long long)(i_call.u64DeadlineNs - u64Now) : 0;
    struct timespec left = {0, 0};
    if (llNs > 0) {
        left.tv_sec = (time_t)(llNs / 1000000000LL);
        left.tv_nsec = (long)(llNs % 1000000000LL);
    }
    return left;
}

void ClearRsp(IspCall& io_call) {
    memset(io_call.aRsp, 0, sizeof(io_call.aRsp));
    io_call.s32Gathered = 0;
}

IspOutcome OnJumpToIcpMode(CTaskfile2mcu& io_task, IspCall& io_call) {
    if (io_task.ApplyIntoUpgradeModleRsp(io_call.aRsp) == 0) {
        s_stTally.bAnswered = true;
        return Ok();
    }
    Board_usleep(10000);
    if (io_call.u32EntryNum <= 4) {
        qx_printf("In case emMSGJumpToIcpMode....nSendnum[%d] \n", (int)io_call.u32EntryNum);
        io_call.u32EntryNum++;
        // The new answer must be judged alone, not behind the old bytes.
        ClearRsp(io_call);
        io_task.ApplyIntoUpgradeModleReq();
        SetWindow(io_call, 10, 0);
        return {kIspNoEnd, 0};
    }
    return Bad();
}

IspOutcome On81Req(CTaskfile2mcu& io_task, IspCall& io_call) {
    return io_task.Check0x81Rsp(io_call.aRsp) == 0 ? Ok() : Bad();
}

IspOutcome On83Req(CTaskfile2mcu& io_task, IspCall&) {
    io_task.m_b16ShortWait = 1;
    io_task.m_b16EntryWait = 0;
    io_task.ChoiceFlashBlockReq(io_task.m_u32FlsBank);
    return Ok();
}

IspOutcome On83Rsp(CTaskfile2mcu& io_task, IspCall& io_call) {
    if (io_task.ChoiceFlashBlockRsp(io_call.aRsp) == 0) return Ok();
    io_task.ChoiceFlashBlockReq(io_task.m_u32FlsBank);
    return Bad();
}

IspOutcome On84Req(CTaskfile2mcu& io_task, IspCall&) {
    io_task.m_b16ShortWait = 1;
    if (io_task.m_u32FlsAddr > 254 && io_task.m_u32FlsBank == 2) {
        qx_printf("######m_u32FlsAddr is <0x%x> Error.\n", io_task.m_u32FlsAddr);
        // Bank 2 was written to its top row and answered for: the device is done.
        s_stTally.bFinished = true;
        // Reset at once: otherwise the next port would start inside this
        // finished attempt and sit out 50 windows before its own begins.
        io_task.VUV025ERevDateTimeOut();
        io_task.m_u32State = emMSGIdle;
        return {kIspReturn, -1};
    }
    if (io_task.ChoiceFlashAddrReq(io_task.m_u32FlsAddr) == 0) {
        qx_puts("In case 84Req ret 84rsp");
        return Ok();
    }
    qx_puts("In case 84Req ret 5A2rsp");
    io_task.m_b16SendFinish = 1;
    io_task.m_u32SendCount = 0;
    return Bad();
}

IspOutcome On84Rsp(CTaskfile2mcu& io_task, IspCall& io_call) {
    return io_task.ChoiceFlashAddrRsp(io_call.aRsp) == 0 ? Ok() : Bad();
}

IspOutcome On86Req(CTaskfile2mcu& io_task, IspCall&) {
    io_task.Check0x86Req();
    Board_usleep(5000);
    return Ok();
}

IspOutcome On86Rsp(CTaskfile2mcu& io_task, IspCall& io_call) {
    if (io_task.Check0x86Rsp(io_call.aRsp) != 0) return Bad();
    Board_usleep(10000);
    return Ok();
}

IspOutcome OnFlowCtrl(CTaskfile2mcu& io_task, IspCall& io_call) {
    io_task.m_b16ShortWait = 0;
    io_task.m_u32StepCount++;
    int32_t s32Ret = io_task.SendUpgrade512DateWriteToUart(io_call.aRsp);
    Board_usleep(50000);
    qx_printf("In case emMSGFlowCtrl ret[%d]\n ", s32Ret);
    io_task.m_u32SendCount++;
    IspPercent stPct = IspComputePercent(io_task.m_u32SendCount, io_task.m_s32FileSize, io_task.m_u32FlsBank);
    qx_printf("u32Percent.......[%d]\n", stPct.s32BankPercent);
    io_call.u32Percent = stPct.u32Overall;
    int32_t s32Reported = io_task.m_bBVFlg ? stPct.s32BankPercent : (int32_t)stPct.u32Overall;
    SendIndexedReport(512, io_task.m_bBVFlg ? "BV" : "EpFile", io_task.m_u32Port, s32Reported);
    s_stTally.u32Blocks++;
    if (s32Reported > s_stTally.s32Percent) s_stTally.s32Percent = s32Reported;
    return Ok();
}

// Counts an ended attempt. A device that fails each attempt a little
// differently keeps the progress value moving, so the stall rule alone never
// ends such a run: a call makes at most QXIH_ATTEMPTS_MAX attempts. True when
// they are spent (the run then ends as stalled).
bool AttemptsSpent(CTaskfile2mcu& io_task, IspCall& io_call) {
    if (++io_call.u32Resets < QXIH_ATTEMPTS_MAX) return false;
    qx_printf("###### port[%d]: %d attempts without finishing the device, given up\n", (int)io_task.m_u32Port,
              QXIH_ATTEMPTS_MAX);
    io_task.m_nepRetrynum++;
    return true;
}

// Starts a new attempt. The attempt ended without the 50 idle windows whose
// check would apply the stall rule, so it is applied here: a device that fails
// the same way in every attempt must not hold the run for ever.
IspOutcome ResetAttempt(CTaskfile2mcu& io_task, IspCall& io_call) {
    io_task.VUV025ERevDateTimeOut();
    if (io_task.CheckPercent4EP(io_call.u32Percent) == 0) {
        qx_puts("######CheckPercent4EP fail");
        return {kIspReturn, -9};
    }
    if (AttemptsSpent(io_task, io_call)) return {kIspReturn, -9};
    return {kIspOwnState, 0};
}

IspOutcome On5A1Rsp(CTaskfile2mcu& io_task, IspCall& io_call) {
    size_t uLen = strlen(io_call.aRsp);
    if (uLen > 0 && io_call.aRsp[uLen - 1] == 0x5A) {
        io_call.u32MissZ = 0;
        return Ok();
    }
    io_call.u32MissZ++;
    Board_usleep(10000);
    if (io_call.u32MissZ > 5) {
        qx_puts("######Write 512Bit is Error,and can't Receive 0x5A!.");
        return ResetAttempt(io_task, io_call);
    }
    return Bad();
}

IspOutcome On85Req(CTaskfile2mcu& io_task, IspCall&) {
    io_task.m_u32StepCount++;
    io_task.Check0x85Req();
    Board_usleep(50000);
    return Ok();
}

// The block advance: next block, next bank, or the end of the device.
IspOutcome On5A2Rsp(CTaskfile2mcu& io_task, IspCall& io_call) {
    io_task.Check0x5ARsp(io_call.aRsp);
    io_task.m_u32FlsAddr += 2;
    // EP devices never get rows 0x70 to 0x7F written.
    if (!io_task.m_bBVFlg && io_task.m_u32FlsAddr == 0x70) io_task.m_u32FlsAddr = 0x80;
    io_task.m_u32State = emMSG84Req;
    if (io_task.m_bBVFlg || io_task.m_u32FlsBank == 2) {
        // Rows past the image read as not blank (see Get512BytesFlashData).
        char aNext[512];
        Get512BytesFlashData(aNext, (int)(io_task.m_u32SendAddr > 255 ? 256 : io_task.m_u32SendAddr + 2));
        unsigned char* p = (unsigned char*)aNext;
        if (p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF && p[511] == 0xFF && io_task.m_u32SendAddr > 0x83)
            io_task.m_b16SendFinish = 1;
    }
    if (!io_task.m_b16SendFinish) return {kIspOwnState, 0};
    if (io_task.m_bBVFlg || io_task.m_u32FlsBank >= 2) {
        qx_puts("Upgrade VUV025E is Finish.");
        s_stTally.bFinished = true;
        io_task.VUV025ERevDateTimeOut();
        return {kIspReturn, 0};
    }
    io_task.m_b16SendFinish = 0;
    char szPath[QX_PATH_BUF(512)];
    Board_Snprintf(szPath, sizeof(szPath), "%s%s", g_MCUVersionFile, io_task.m_u32FlsBank == 0 ? ".h01" : ".h02");
    // The bank as it was checked when the port was entered.
    UseBank(io_task, (int)io_task.m_u32FlsBank + 1);
    io_task.m_u32State = emMSG83Req;
    io_task.m_u32FlsBank++;
    io_task.m_u32FlsAddr = 0x80;
    qx_printf("Upgrade Bank <%u> and File is [%s]\n", io_task.m_u32FlsBank, szPath);
    io_task.m_u32SendCount = 0;
    g_row += 128;
    return {kIspOwnState, 0};
}

IspOutcome OnIdle(CTaskfile2mcu&, IspCall&) { return Bad(); }

// clang-format off
// state                log line                 action            ok: next          cnt      refused: next   cnt
const IspRow s_aIspTable[] = {
    {emMSGJumpToIcpMode, nullptr,                 OnJumpToIcpMode,  emMSG81Req,       kCntOne, kSame,          kCntUp},
    {emMSG81Req,         "In case 81Req",         On81Req,          emMSG83Req,       kCntOne, kSame,          kCntUp},
    {emMSG83Req,         "In case 83Req",         On83Req,          emMSG83Rsp,       kCntUp,  kSame,          kCntUp},
    {emMSG83Rsp,         "In case 83Rsp",         On83Rsp,          emMSG84Req,       kCntOne, kSame,          kCntUp},
    {emMSG84Req,         "In case 84Req",         On84Req,          emMSG84Rsp,       kCntUp,  emeMSG5A2Rsp,   kCntUp},
    {emMSG84Rsp,         "In case 84Rsp",         On84Rsp,          emMSG86Req,       kCntOne, emMSG84Req,     kCntUp},
    {emMSG86Req,         "In case 86Req",         On86Req,          emMSG86Rsp,       kCntUp,  kSame,          kCntUp},
    {emMSG86Rsp,         "In case 86Rsp",         On86Rsp,          emMSGFlowCtrl,    kCntUp,  emMSG86Req,     kCntUp},
    {emMSGFlowCtrl,      "In case emMSGFlowCtrl", OnFlowCtrl,       emMSG5A1Rsp,      kCntOne, kSame,          kCntUp},
    {emMSG5A1Rsp,        "In case 5A1Rsp",        On5A1Rsp,         emMSG85Req,       kCntOne, kSame,          kCntUp},
    {emMSG85Req,         "In case 85Req",         On85Req,          emeMSG5A2Rsp,     kCntOne, kSame,          kCntUp},
    {emeMSG5A2Rsp,       "In case emeMSG5A2Rsp",  On5A2Rsp,         kSame,            kCntOne, kSame,          kCntUp},
};
// A missing "Z" that resets the attempt counts on from the reset: 1.
const IspRow s_idleRow =
    {emMSGIdle,          nullptr,                 OnIdle,           kSame,            kCntUp,  kSame,          kCntUp};
// clang-format on

const IspRow& FindRow(uint32_t i_u32State) {
    for (const IspRow& row : s_aIspTable)
        if (row.u32State == i_u32State) return row;
    return s_idleRow;
}

void ApplyCounter(CTaskfile2mcu& io_task, IspCounter i_eCnt) {
    if (i_eCnt == kCntOne)
        io_task.m_s8RevTimeoutNum = 1;
    else if (i_eCnt == kCntUp && io_task.m_s8RevTimeoutNum < 127)
        io_task.m_s8RevTimeoutNum++;
}

// Loads the image a device is entered with. An EP device takes its three
// banks in one go, so before it is first entered all three must load (a
// device must never keep a new bank 0 with old banks 1 and 2); they are kept
// as checked, and every attempt of the call writes them from there.
int32_t LoadEntryImage(CTaskfile2mcu& io_task, const char* i_pBank0, bool i_bAllBanks) {
    if (io_task.m_bBVFlg) return io_task.ProcessReadUpgradeFile(i_pBank0);
    if (i_bAllBanks) {
        int32_t s32Ret = io_task.ProcessReadUpgradeFile(i_pBank0);
        if (s32Ret != 0) return s32Ret;
        KeepBank(io_task, 0);
        for (int s32Bank = 1; s32Bank <= 2; s32Bank++) {
            char szPath[QX_PATH_BUF(512)];
            if (Board_Snprintf(szPath, sizeof(szPath), "%s.h0%d", g_MCUVersionFile, s32Bank) < 0) return -2;
            s32Ret = io_task.ProcessReadUpgradeFile(szPath);
            if (s32Ret != 0) return s32Ret;
            KeepBank(io_task, s32Bank);
        }
    }
    UseBank(io_task, 0);
    return 0;
}

// Waits out what is left of the window: a port that keeps failing must not
// turn the run into a busy loop that never ends a window.
void SleepRestOfWindow(const IspCall& i_call) {
    struct timespec left = WindowLeft(i_call);
    Clock_SleepUs(((uint64_t)left.tv_sec * 1000000000u + (uint64_t)left.tv_nsec + 999u) / 1000u);
}
// Loads the entry image and sends the entry request: the start of an attempt.
int32_t StartAttempt(CTaskfile2mcu& io_task, IspCall& io_call) {
    char szPath[QX_PATH_BUF(512)];
    if (io_task.m_bBVFlg)
        Board_Path(szPath, sizeof(szPath), QX_BV_HEX);
    else
        Board_Snprintf(szPath, sizeof(szPath), "%s%s", g_MCUVersionFile, kH00);
    io_task.m_bFileExistFlg = Board_IsRegular(szPath) ? 1 : 0;
    qx_printf("cVersionFile is [%s]\n", szPath);
    if (LoadEntryImage(io_task, szPath, io_call.u32EntryNum == 0) != 0) {
        qx_puts("~~~~~ after ProcessReadUpgradeFile VUV025ERevDateTimeOut()");
        io_task.VUV025ERevDateTimeOut();
        return -2;
    }
    io_task.m_b16UpstartFlg = 1;
    if (!io_task.m_bBVFlg && io_task.m_u32Port <= 1) io_task.SetUartSpeed(Board_SerialDev(), 57600);
    io_task.m_u32State = emMSGJumpToIcpMode;
    qx_puts("In m_b16UpstartFlg ");
    if (io_task.m_bBVFlg) {
        io_task.ApplyIntoUpgradeModleReq();
    } else if (io_call.u32EntryNum <= 4) {
        io_task.ApplyIntoUpgradeModleReq();
        io_call.u32EntryNum++;
    }
    SetWindow(io_call, 10, 0);
    return 0;
}

enum IspGather {
    kGatherOn,       // more may come in this window
    kGatherEnd,      // the window is over: judge what it brought
    kGatherNoise,    // a full buffer was dropped: next pass at once
    kGatherStalled,  // dropped noise and the stall rule ends the run
};

// Gathers what the window brings; the window is one budget for all waits.
IspGather GatherWindow(CTaskfile2mcu& io_task, IspCall& io_call) {
    struct pollfd stPfd = {io_task.m_Uartfd, POLLIN, 0};
    struct timespec tsLeft = WindowLeft(io_call);
    int s32Ready = Clock_PPoll(&stPfd, 1, &tsLeft);
    if (s32Ready <= 0) {
        if (s32Ready < 0) SleepRestOfWindow(io_call);
        struct timespec tsZero = {0, 0};
        stPfd.revents = 0;
        return Clock_PPoll(&stPfd, 1, &tsZero) > 0 && (stPfd.revents & POLLIN) ? kGatherOn : kGatherEnd;
    }
    if (!(stPfd.revents & POLLIN)) {
        // Hang-up or error on the port: nothing to read in this window.
        SleepRestOfWindow(io_call);
        return kGatherEnd;
    }
    ssize_t s32ReadLen =
        read(io_task.m_Uartfd, io_call.aRsp + io_call.s32Gathered, (size_t)(QXIH_RSP_LEN - io_call.s32Gathered));
    if (s32ReadLen <= 0) {
        if (s32ReadLen < 0) qx_printf("######read uart fail, s32ReadLen is <%d>.\n", (int)s32ReadLen);
        SleepRestOfWindow(io_call);
        return kGatherEnd;
    }
    io_call.s32Gathered += (int)s32ReadLen;
    if (io_call.s32Gathered < QXIH_RSP_LEN) return kGatherOn;
    // A full buffer is noise, not an answer.
    ClearRsp(io_call);
    if (io_task.CheckPercent4EP(io_call.u32Percent) == 0) {
        qx_puts("######CheckPercent4EP fail");
        io_task.VUV025ERevDateTimeOut();
        return kGatherStalled;
    }
    return kGatherNoise;
}

// The window after a step: the entry waits longest, the data block longer
// than the short requests around it.
void SetStepWindow(CTaskfile2mcu& io_task, IspCall& io_call) {
    if (io_task.m_b16EntryWait)
        SetWindow(io_call, 0, 100000);
    else if (io_task.m_b16ShortWait)
        SetWindow(io_call, 0, 10000);
    else if (io_task.m_u32StepCount == 2 || io_task.m_u32StepCount == 4)
        SetWindow(io_call, 0, 10000);
    else
        SetWindow(io_call, 0, 33000);
}

// Judges what the window brought in the current state and ends the step.
IspOutcome EndStep(CTaskfile2mcu& io_task, IspCall& io_call) {
    for (int i = 0; io_call.aRsp[i] != '\0'; i++) {
        unsigned char u8 = (unsigned char)io_call.aRsp[i];
        if (u8 != 0x3E) qx_printf("@@@@@@Receive Uart MSG[%d] is <0x%x> \n", i, u8);
    }
    const IspRow& stRow = FindRow(io_task.m_u32State);
    if (stRow.pLog) qx_puts(stRow.pLog);
    IspOutcome stOut = stRow.pAction(io_task, io_call);
    if (stOut.eVerdict == kIspReturn || stOut.eVerdict == kIspNoEnd) return stOut;
    if (stOut.eVerdict == kIspOk) {
        if (stRow.u32OkNext != kSame) io_task.m_u32State = stRow.u32OkNext;
        ApplyCounter(io_task, stRow.eOkCnt);
    } else if (stOut.eVerdict == kIspBad) {
        if (stRow.u32BadNext != kSame) io_task.m_u32State = stRow.u32BadNext;
        ApplyCounter(io_task, stRow.eBadCnt);
    } else {
        ApplyCounter(io_task, stRow.u32State == emMSG5A1Rsp ? stRow.eBadCnt : stRow.eOkCnt);
    }
    ClearRsp(io_call);
    SetStepWindow(io_task, io_call);
    return stOut;
}

// The stall rule after QXIH_REVDATETIMEOUTNUM idle windows. True when the run ends.
bool TimedOutForGood(CTaskfile2mcu& io_task, IspCall& io_call) {
    if (io_task.m_s8RevTimeoutNum != QXIH_REVDATETIMEOUTNUM) return false;
    qx_printf(
        "~~~~~ after m_s8RevTimeoutNum == QXIH_REVDATETIMEOUTNUM VUV025ERevDateTimeOut(), "
        "m_s8RevTimeoutNum[%d]\n",
        QXIH_REVDATETIMEOUTNUM);
    io_task.VUV025ERevDateTimeOut();
    if (io_task.CheckPercent4EP(io_call.u32Percent) == 0) {
        qx_puts("######CheckPercent4EP fail, after m_s8RevTimeoutNum");
        return true;
    }
    return AttemptsSpent(io_task, io_call);
}
}  // namespace

int32_t CTaskfile2mcu::Run4EPUpgrade() {
    IspCall stCall{};
    m_u32Oldpercent = 0;
    tcflush(m_Uartfd, TCIOFLUSH);
    SetWindow(stCall, 0, 200000);
    m_uptime4EP = IspNowSeconds();

    for (;;) {
        if (!GetUpgradeflg()) return 0;
        if (m_b16UpstartFlg == 0 && StartAttempt(*this, stCall) != 0) return -2;
        IspGather eGather = GatherWindow(*this, stCall);
        if (eGather == kGatherStalled) return -9;
        if (eGather == kGatherNoise) continue;
        if (eGather == kGatherEnd) {
            IspOutcome stOut = EndStep(*this, stCall);
            if (stOut.eVerdict == kIspReturn) return stOut.s32Ret;
        }
        if (TimedOutForGood(*this, stCall)) return -9;
    }
}

int32_t CTaskfile2mcu::VUV025ERevDateTimeOut() {
    if (m_u32FlsBank != 2 && !m_bBVFlg) qx_puts("######VUV025E RevDate TimeOut!");
    m_u32FlsAddr = 0;
    m_u32FlsBank = 0;
    m_b16SendFinish = 0;
    m_u32SendCount = 0;
    m_b16UpstartFlg = 0;
    m_u32State = emMSGIdle;
    m_s8RevTimeoutNum = 0;
    m_b16ShortWait = 0;
    m_b16EntryWait = 1;
    m_u32StepCount = 0;
    g_row = 0;
    if ((m_bBVFlg && m_u32Port >= 8) || (!m_bBVFlg && m_u32Port > 16)) {
        Board_usleep(50000);
        SetUpgradeflg(false);
    } else {
        qx_printf("port[%d] EP upgrade over!  m_s8RevTimeoutNum[%d]\n", (int)m_u32Port, 0);
    }
    return 0;
}

int32_t CTaskfile2mcu::CheckPercent4EP(uint32_t i_u32Percent) {
    int32_t s32Now = IspNowSeconds();
    if (i_u32Percent != m_u32Oldpercent) {
        m_u32Oldpercent = i_u32Percent;
        m_uptime4EP = s32Now;
        return 1;
    }
    if (s32Now - m_uptime4EP > 119) {
        qx_printf(
            "###### In UInt32 CTaskfile2mcu::CheckPercent4EP, seconds 120 [%d] m_uptime4EP[%d] m_u32Oldpercent[%d]\n",
            s32Now, m_uptime4EP, (int)m_u32Oldpercent);
        qx_printf("###### In UInt32 CTaskfile2mcu::CheckPercent4EP, timeout 120 [%d]\n", s32Now - m_uptime4EP);
        m_nepRetrynum++;
        return 0;
    }
    return 1;
}

int32_t CTaskfile2mcu::ProcessReadUpgradeFile(const char* i_pPath) {
    const char* pPath = i_pPath ? i_pPath : "";
    m_s32FileFd = Board_OpenRegular(pPath);
    if (m_s32FileFd < 0) {
        if (m_s32FileFd == -1)
            qx_printf("###### open Firware[%s] fail! fd is <%d>, in ProcessReadUpgradeFile! \n", pPath, -1);
        return -2;
    }
    struct stat st;
    if (fstat(m_s32FileFd, &st) != 0) {
        qx_printf("###### get Firware[%s] FileSize fail! fstat return -1, in ProcessMatrixMCUUpgradeReq! \n", pPath);
        close(m_s32FileFd);
        return -2;
    }
    // Sizes beyond 31 bits are as refusable as any other above the limit.
    m_s32FileSize = st.st_size > 0x7FFFFFFF ? 0x7FFFFFFF : (int32_t)st.st_size;
    if (st.st_size > QX_FILEBUF_LEN) {
        qx_printf("######FileSize is <%u> > %d * 1024, in ProcessMatrixMCUUpgradeReq. \n", (unsigned)m_s32FileSize,
                  190);
        close(m_s32FileFd);
        return -2;
    }
    qx_printf("open Firware[%s] fd is <%d> and FileSize is <%u>, in ProcessWNetVersionUpgradeRsp!\n", pPath,
              m_s32FileFd, (unsigned)m_s32FileSize);
    memset(g_Filebuf, 0, sizeof(g_Filebuf));
    size_t uDone = 0;
    for (;;) {
        size_t uWant = sizeof(g_Filebuf) - uDone;
        if (uWant > 1024) uWant = 1024;
        if (uWant == 0) break;
        ssize_t s32Rnum = read(m_s32FileFd, g_Filebuf + uDone, uWant);
        if (s32Rnum < 0) break;
        if (s32Rnum == 0) {
            qx_printf("@@@@@@read file [%s] finish, s32Rnum is <%u> \n", pPath, 0u);
            break;
        }
        uDone += (size_t)s32Rnum;
    }
    close(m_s32FileFd);
    int s32Ret = TransformDataOfFile(g_Filebuf, m_s32FileSize);
    if (s32Ret != 0) {
        qx_printf("######TransformDataOfFile fail, s32Ret is <%d> in ProcessReadUpgradeFile.\n", s32Ret);
        return -1;
    }
    return 0;
}

// ---- the walk over the ports ---------------------------------------------------------

namespace {
void StartPort(const char* i_pTarget) {
    s_stTally = IspPortTally{false, 0, 0, false};
    RunRecord_Current(i_pTarget);
}

// How the port just walked ended: flashed only when its last answers came.
QxOutcome PortOutcome(const CTaskfile2mcu& i_task, int32_t i_s32Ret) {
    if (s_stTally.bFinished) return emOutcomeFlashed;
    if (s_stTally.u32Blocks > 0) return emOutcomeUnconfirmed;
    if (i_s32Ret == -2) return i_task.m_bFileExistFlg ? emOutcomeImageRefused : emOutcomeNoImage;
    return s_stTally.bAnswered ? emOutcomeFailed : emOutcomeNoAnswer;
}

// The port's closing report: 100 when flashed, else the percent it reached
// (0 when nothing was written); none when it had no image.
void EndPort(const CTaskfile2mcu& i_task, size_t i_size, const char* i_pName, const char* i_pTarget, int32_t i_s32Ret) {
    QxOutcome eOutcome = PortOutcome(i_task, i_s32Ret);
    if (g_MCUVersionFile[0] != '\0' && i_task.m_bFileExistFlg)
        SendIndexedReport(i_size, i_pName, i_task.m_u32Port, eOutcome == emOutcomeFlashed ? 100 : s_stTally.s32Percent);
    RunRecord_Target(i_pTarget, eOutcome);
}
}  // namespace

int32_t CTaskfile2mcu::Process4EPUpgrade() {
    m_nepRetrynum = 0;
    m_u32Port = 1;
    uint32_t u32Started = 0;  // a port retried is still the same target
    while (m_u32Port <= QXIH_EP_PORTS) {
        char szTarget[16];
        snprintf(szTarget, sizeof(szTarget), "EP%u", (unsigned)m_u32Port);
        if (u32Started != m_u32Port) StartPort(szTarget);
        u32Started = m_u32Port;
        memset(g_MCUVersionFile, 0, sizeof(g_MCUVersionFile));
        Board_Path(g_MCUVersionFile, sizeof(g_MCUVersionFile), IspEpBasePath(m_u32Port));
        int32_t s32Ret = Run4EPUpgrade();
        if (s32Ret == -9) {
            qx_printf("######Run4EPUpgrade fail try again...");
            Board_sleep(2);
            if (m_nepRetrynum <= 2) continue;
            qx_printf("######Run4EPUpgrade fail try again.m_nepRetrynum[%d]...\n", m_nepRetrynum);
            // Passed over without a closing report.
            RunRecord_Target(szTarget, PortOutcome(*this, s32Ret));
            m_nepRetrynum = 0;
            m_u32Port++;
            continue;
        }
        EndPort(*this, 512, "EpFile", szTarget, s32Ret);
        m_nepRetrynum = 0;
        m_u32Port++;
        Board_sleep(1);
    }
    m_uptime4EP = 0;
    return 0;
}

int32_t CTaskfile2mcu::Process4BVUpgrade() {
    memset(g_MCUVersionFile, 0, sizeof(g_MCUVersionFile));
    Board_Path(g_MCUVersionFile, sizeof(g_MCUVersionFile), QX_BV_HEX);
    m_bBVFlg = 1;
    m_u32Port = 1;
    SetUpgradeflg(true);
    bool bExists = Board_IsRegular(g_MCUVersionFile);
    if (!bExists) qx_puts("###### No File to UpGrade BV...");
    SetUartSpeed(Board_SerialDev(), 57600);
    char szTarget[16];
    if (!bExists) {
        for (uint32_t u32Port = 1; u32Port <= QXIH_BV_PORTS; u32Port++) {
            snprintf(szTarget, sizeof(szTarget), "BV%u", (unsigned)u32Port);
            RunRecord_Target(szTarget, emOutcomeNoImage);
        }
        return 0;
    }
    for (uint32_t u32Port = 1; u32Port <= QXIH_BV_PORTS; u32Port++) {
        snprintf(szTarget, sizeof(szTarget), "BV%u", (unsigned)m_u32Port);
        StartPort(szTarget);
        int32_t s32Ret = Run4EPUpgrade();
        EndPort(*this, 128, "BV", szTarget, s32Ret);
        m_u32Port++;
        Board_sleep(3);
    }
    return 0;
}
