// Upgrade task: the scheduler thread, raw serial access, the STM32/Valens
// procedure with its image push, the Intel HEX loader and the EP/BV ISP flashing.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <time.h>

#include <atomic>

#include "BoardProfile.h"
#include "RunRecord.h"

// ---- Intel HEX image loader ----------------------------------------------
#define QX_FILEBUF_LEN (190 * 1024)   // 194,560: largest HEX text accepted
#define QX_FLASHBUF_LEN 65536         // 256 rows of 256 bytes

extern char g_Filebuf[QX_FILEBUF_LEN];
extern unsigned char g_FlashBuf[QX_FLASHBUF_LEN];
extern int32_t g_row;
// Image path handed from the EP/BV orchestration to the ISP run (root-prefixed).
extern char g_MCUVersionFile[QX_PATH_BUF(512)];

int ASCIIToHEX(char i_cHigh, char i_cLow);
int TransformDataOfFile(char* i_pText, int i_s32Len);
void Get512BytesFlashData(char* o_pDst, int i_s32Row);
// Checks an image that goes to a boot loader as raw Intel HEX text, read from
// the descriptor to its end, by the loader's record rules: complete records
// of hex digits with good checksums, one per line, and an end record with
// nothing after it but line ends. Returns 0, or -1 with the reason in o_pWhy.
int HexCheckImage(int i_fd, char* o_pWhy, size_t i_whySize);
// The same check on a text already in memory.
int HexCheckText(const char* i_pText, size_t i_uLen, char* o_pWhy, size_t i_whySize);

// ---- firmware image push ----------------------------------------------------
extern int32_t g_nSTBlock;   // 10240
extern int32_t g_nSTDelay;   // 10 ms
extern unsigned char g_aUPGFileBuffer[10240];

#define DYNAMICBUF_STEP (512 * 1024)
#define DYNAMICBUF_MAX (2 * 1024 * 1024)

typedef struct DynamicBuf {
    char szName[128];
    unsigned char* pData;
    uint32_t u32BufLen;
    uint32_t u32DataLen;
} DynamicBuf;

// Returns 0, or -1 when memory runs out.
int DynamicBuf_Init(DynamicBuf* o_pBuf, const char* i_pName);
// Appends; returns 0, or -1 when the content would pass 2 MiB (nothing appended).
int DynamicBuf_Append(DynamicBuf* io_pBuf, const void* i_pData, uint32_t i_u32Len);
void DynamicBuf_Drop(DynamicBuf* io_pBuf, uint32_t i_u32Len);   // drop the first bytes
void DynamicBuf_Free(DynamicBuf* io_pBuf);
// Reads the descriptor to its end into o_pBuf (initialised here; free it in
// any case). Returns 0, or -1 with the reason in o_pWhy when the file is
// larger than 2 MiB or cannot be read.
int DynamicBuf_ReadFile(DynamicBuf* o_pBuf, int i_fd, char* o_pWhy, size_t i_whySize);

// Writes to the (non-blocking) serial port within a bound: the bytes written,
// or -1 when none went out (errno ETIME when the line took nothing in time).
ssize_t UartWriteBounded(int i_fd, const void* i_pBuf, size_t i_uLen);

// Runs a shell command with SIGCHLD at its default disposition for the duration.
int pox_system(const char* i_pCmd);

// ---- ISP states -------------------------------------------------------------
enum emMSGState {
    emMSGJumpToIcpMode = 1,
    emMSG81Req = 3,
    emMSG83Req = 5,
    emMSG83Rsp = 6,
    emMSG84Req = 7,
    emMSG84Rsp = 8,
    emMSG85Req = 9,
    emMSG86Req = 11,
    emMSG86Rsp = 12,
    emMSG5A1Rsp = 15,
    emeMSG5A2Rsp = 16,
    emMSGFlowCtrl = 17,
    emMSGIdle = 255,
};
#define QXIH_REVDATETIMEOUTNUM 50

class CTaskfile2mcu {
public:
    // Fields that cross modules or threads. The two flags are the hand-over from the
    // UDP receive thread: store with release, load with acquire.
    uint8_t m_bIoMcu;
    std::atomic<uint8_t> m_bUpgradeflg;
    std::atomic<int32_t> m_nValensUpFlg;
    int32_t m_nValensResult;
    int32_t m_Uartfd;
    // How the last Process4STUpgrade ended (master, IO MCU or Valens) and the
    // percent of its image that went out: the scheduler's closing report and
    // the result record are taken from these.
    QxOutcome m_eStOutcome;
    int32_t m_s32StPercent;
    // A package upgrade is staged or running: a second package order is
    // refused until it ends (with the reboot, or a reboot that failed).
    std::atomic<bool> m_bPackageRun;
    // The staged package's order id and SHA-256 for the result record:
    // written before m_bUpgradeflg is raised, read after it is seen.
    char m_szOrderId[65];
    char m_szPackageSha[65];
    // The master or IO MCU image as it was checked, for the next
    // Process4STUpgrade to push (null: it reads the file itself, once).
    const DynamicBuf* m_pStImage;

    // ISP run state
    uint8_t m_bBVFlg;
    uint8_t m_bFileExistFlg;
    uint32_t m_u32Port;
    uint32_t m_u32Oldpercent;
    int32_t m_uptime4EP;
    int32_t m_nepRetrynum;
    uint32_t m_u32FlsAddr;
    uint32_t m_u32FlsBank;
    uint16_t m_b16SendFinish;
    int32_t m_s32FileFd;
    int32_t m_s32FileSize;
    uint32_t m_u32SendCount;
    unsigned char m_aSendBuf[514];
    uint32_t m_u32SendAddr;
    uint16_t m_b16UpstartFlg;
    uint32_t m_u32State;
    int8_t m_s8RevTimeoutNum;
    uint16_t m_b16ShortWait;
    uint16_t m_b16EntryWait;
    uint32_t m_u32StepCount;

    CTaskfile2mcu();
    CTaskfile2mcu(const CTaskfile2mcu&) = delete;
    CTaskfile2mcu& operator=(const CTaskfile2mcu&) = delete;

    int init();
    static void* Upgrade4mcuThread(void* i_pArg);
    bool SetUpgradeflg(bool i_bFlag);
    int SetValensUpFlg(int i_nFlag);
    bool GetUpgradeflg() const { return m_bUpgradeflg.load(std::memory_order_acquire) != 0; }
    int GetValensUpFlg() const { return m_nValensUpFlg.load(std::memory_order_acquire); }

    // scheduler
    int WaitForRead();
    void RunValensBranch();
    bool FinishPackage();

    // raw UART
    int32_t OpenUart();
    int32_t CloseUart();
    int32_t SetUartSpeed(const char* i_pDevice, int i_s32Speed);
    int32_t SendUartMsg(char* i_pMsg, int i_s32Len);
    int32_t Uart2tread(int i_s32Fd, void* o_pBuf, int i_s32Len, bool i_bBlock);
    int32_t StUartRead1Byte(unsigned int i_u32Timeout);
    int32_t StUartWrite(const char* i_pBuf, int i_s32Len);

    // STM32 / IO MCU / Valens
    void Process4STUpgrade();
    int32_t CatchEndMsg(const char* i_pMsg, int i_s32Len);
    int32_t QX_UPGSTM32(char* i_pPath);

    // ISP requests and answers
    int32_t ApplyIntoUpgradeModleReq();
    int32_t ApplyIntoUpgradeModleRsp(const char* i_pRsp);
    int32_t Check0x3EModleRsp(const char* i_pRsp);
    int32_t Check0x81Rsp(const char* i_pRsp);
    int32_t ChoiceFlashBlockReq(uint32_t& i_u32Bank);
    int32_t ChoiceFlashBlockRsp(const char* i_pRsp);
    int32_t ChoiceFlashAddrReq(uint32_t i_u32Row);
    int32_t ChoiceFlashAddrRsp(const char* i_pRsp);
    int32_t Check0x86Req();
    int32_t Check0x86Rsp(const char* i_pRsp);
    int32_t SendUpgrade512DateWriteToUart(char* i_pRsp);
    int32_t Check0x85Req();
    int32_t Check0x5ARsp(const char* i_pRsp);

    // ISP run
    int32_t Run4EPUpgrade();
    int32_t VUV025ERevDateTimeOut();
    int32_t CheckPercent4EP(uint32_t i_u32Percent);
    int32_t ProcessReadUpgradeFile(const char* i_pPath);
    int32_t Process4EPUpgrade();
    int32_t Process4BVUpgrade();
};

extern CTaskfile2mcu* g_pTaskUP4mcu;

// The three report formats; the first conversion is always QX_REPORT_HEAD.
#define QX_REPORT_HEAD "set upgradestatus"
#define QX_REPORT_FMT_PLAIN \
    "%s{\"name\":\"%s\",\"total\":\"%d\",\"current\":\"%d\",\"percent\":\"%d\",\"isEnd\":\"%d\"}"
#define QX_REPORT_FMT_INDEXED \
    "%s{\"name\":\"%s(%d)\",\"total\":\"%d\",\"current\":\"%d\",\"percent\":\"%d\",\"isEnd\":\"%d\"}"
#define QX_REPORT_FMT_FRACTION \
    "%s{\"name\":\"%s\",\"total\":\"%d\",\"current\":\"%d\",\"percent\":\"%6.0f\",\"isEnd\":\"%d\"}"
