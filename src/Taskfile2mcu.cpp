#include "Taskfile2mcu.h"
#include "QxClock.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "BoardFiles.h"
#include "QxLog.h"
#include "Udp2vela.h"

CTaskfile2mcu* g_pTaskUP4mcu = nullptr;

CTaskfile2mcu::CTaskfile2mcu()
    : m_bIoMcu(0),
      m_bUpgradeflg(0),
      m_nValensUpFlg(0),
      m_nValensResult(-1),
      m_Uartfd(0),
      m_eStOutcome(emOutcomePending),
      m_s32StPercent(0),
      m_bPackageRun(false),
      m_pStImage(nullptr),
      m_bBVFlg(0),
      m_bFileExistFlg(1),
      m_u32Port(1),
      m_u32Oldpercent(0),
      m_uptime4EP(0),
      m_nepRetrynum(0),
      m_u32FlsAddr(0),
      m_u32FlsBank(0),
      m_b16SendFinish(0),
      m_s32FileFd(0),
      m_s32FileSize(0),
      m_u32SendCount(0),
      m_u32SendAddr(0),
      m_b16UpstartFlg(0),
      m_u32State(emMSGJumpToIcpMode),
      m_s8RevTimeoutNum(0),
      m_b16ShortWait(0),
      m_b16EntryWait(1),
      m_u32StepCount(0) {
    memset(m_aSendBuf, 0, sizeof(m_aSendBuf));
    memset(m_szOrderId, 0, sizeof(m_szOrderId));
    memset(m_szPackageSha, 0, sizeof(m_szPackageSha));
}

int CTaskfile2mcu::init() {
    BoardProfile_Freeze();
    pthread_t tid;
    int nRet = Clock_ThreadCreate(&tid, nullptr, CTaskfile2mcu::Upgrade4mcuThread, nullptr);
    if (nRet != 0) {
        qx_printf("###### In CTaskfile2mcu, error pthread nret[%d]\n", nRet);
        return 0;
    }
    // Nobody joins it: it ends after the reboot command and must leave nothing behind.
    pthread_detach(tid);
    qx_printf("In CTaskfile2mcu, successful pthread ");
    return 1;
}

void* CTaskfile2mcu::Upgrade4mcuThread(void*) {
    if (g_pTaskUP4mcu != nullptr) g_pTaskUP4mcu->WaitForRead();
    return nullptr;
}

bool CTaskfile2mcu::SetUpgradeflg(bool i_bFlag) {
    m_bUpgradeflg.store(i_bFlag ? 1 : 0, std::memory_order_release);
    return i_bFlag;
}

int CTaskfile2mcu::SetValensUpFlg(int i_nFlag) {
    m_nValensUpFlg.store(i_nFlag, std::memory_order_release);
    return i_nFlag;
}

int pox_system(const char* i_pCmd) {
    struct sigaction saDefault, saOld;
    memset(&saDefault, 0, sizeof(saDefault));
    saDefault.sa_handler = SIG_DFL;
    sigemptyset(&saDefault.sa_mask);
    sigaction(SIGCHLD, &saDefault, &saOld);
    int nRet = system(i_pCmd);
    sigaction(SIGCHLD, &saOld, nullptr);
    return nRet;
}

namespace {
// Removes a board directory; a link planted in its place is removed, never followed.
void RemoveBoardDir(const char* i_pDir) {
    char szPath[QX_PATH_BUF(64)];
    Board_Path(szPath, sizeof(szPath), i_pDir);
    if (szPath[0] != '\0') Board_RemovePath(szPath);
}

// A master or IO MCU image goes to the boot loader raw, so it is checked
// whole first: read once into o_pImage, and that copy is what is pushed. 1:
// push it; 0: none there (or no regular file: as if none); -1: refused with
// one "######" line. o_pImage is to be freed in any case.
int CheckPushImage(const char* i_pPath, DynamicBuf* o_pImage) {
    char szPath[QX_PATH_BUF(64)];
    Board_Path(szPath, sizeof(szPath), i_pPath);
    int fd = Board_OpenRegular(szPath);
    if (fd < 0) return 0;
    char szWhy[128];
    int nRet = DynamicBuf_ReadFile(o_pImage, fd, szWhy, sizeof(szWhy));
    close(fd);
    if (nRet == 0) nRet = HexCheckText((const char*)o_pImage->pData, o_pImage->u32DataLen, szWhy, sizeof(szWhy));
    if (nRet == 0) return 1;
    qx_printf("###### image %s refused, nothing sent: %s\n", szPath, szWhy);
    return -1;
}

void SendPlainReport(int i_nBufSize, const char* i_pName, int i_nTotal, int i_nCurrent, int i_nPercent, int i_nIsEnd) {
    char szReport[512];
    snprintf(szReport, (size_t)i_nBufSize, QX_REPORT_FMT_PLAIN, QX_REPORT_HEAD, i_pName, i_nTotal, i_nCurrent,
             i_nPercent, i_nIsEnd);
    QX_SendText2vela(comm_master_type_upgrade_status, szReport);
}

// A target pushed raw, as vela's reports and the result record name it.
struct PushTarget {
    const char* pImage;
    const char* pReport;
    int nCurrent;
    int nIsEnd;
    const char* pRecord;
};
const PushTarget s_stMaster = {QX_MASTER_HEX, "ST", 17, 0, "MASTER"};
const PushTarget s_stIoMcu = {QX_IOMCU_HEX, "IoMcu", 26, 1, "IOMCU"};

// One push target: its image checked, that copy pushed, the closing report
// with the percent the target reached (100 only when flashed; 0 for a refused
// image: vela learns it was left as it was, and the IoMcu report still ends
// the upgrade), its outcome recorded. True when its boot loader was called.
bool UpgradePushTarget(CTaskfile2mcu& io_task, const PushTarget& i_target) {
    DynamicBuf stImage;
    memset(&stImage, 0, sizeof(stImage));
    int nCheck = CheckPushImage(i_target.pImage, &stImage);
    QxOutcome eOutcome = nCheck < 0 ? emOutcomeImageRefused : emOutcomeNoImage;
    if (nCheck > 0) {
        RunRecord_Current(i_target.pRecord);
        if (i_target.nIsEnd) {
            if (io_task.m_Uartfd <= 0) io_task.m_Uartfd = io_task.OpenUart();
            io_task.m_bIoMcu = 1;
        }
        io_task.m_pStImage = &stImage;
        io_task.Process4STUpgrade();
        io_task.m_pStImage = nullptr;
        eOutcome = io_task.m_eStOutcome;
    }
    if (nCheck != 0)
        SendPlainReport(512, i_target.pReport, 26, i_target.nCurrent, nCheck > 0 ? io_task.m_s32StPercent : 0,
                        i_target.nIsEnd);
    RunRecord_Target(i_target.pRecord, eOutcome);
    DynamicBuf_Free(&stImage);
    return nCheck > 0;
}
}  // namespace

// Valens branch: the chip, its reset, the report and the switch of the serial line.
void CTaskfile2mcu::RunValensBranch() {
    const char* pDev = Board_SerialDev();
    char szRst[] = "UPG RST\r\n";
    RunRecord_Begin(emOrderValens, "", "", "flashing");
    RunRecord_Current("VALENS");
    m_eStOutcome = emOutcomePending;
    m_Uartfd = OpenUart();
    Process4STUpgrade();
    SetUartSpeed(pDev, 57600);
    SendUartMsg(szRst, 9);
    Board_sleep(1);
    CloseUart();
    RemoveBoardDir(QX_VALENS_DIR);
    // 100 only for a chip that said SUCCESS; isEnd -1 tells vela it failed.
    bool bFlashed = m_nValensResult == 1;
    SendPlainReport(256, "VALENS", 1, 1, bFlashed ? 100 : m_s32StPercent, m_nValensResult);
    QX_SendText2vela(comm_master_type_switch_serial, "switch serial");
    QxOutcome eOutcome = bFlashed ? emOutcomeFlashed
                         : m_eStOutcome == emOutcomePending || m_eStOutcome == emOutcomeFlashed ? emOutcomeFailed
                                                                                                 : m_eStOutcome;
    RunRecord_Target("VALENS", eOutcome);
    RunRecord_Phase("finished");
    SetValensUpFlg(0);
    m_nValensResult = -1;
}

// The end of a package upgrade: the MCUs reset, the staging removed, the
// reboot. Returns true when the reboot command ran; false when it failed
// (logged and recorded), and the agent then serves orders again.
bool CTaskfile2mcu::FinishPackage() {
    const char* pDev = Board_SerialDev();
    char szRst[] = "UPG RST\r\n";
    RunRecord_Phase("resetting");
    SetUartSpeed(pDev, 57600);
    SendUartMsg(szRst, 9);
    Board_sleep(3);
    RemoveBoardDir(QX_UPDATE_DIR);
    RemoveBoardDir(QX_STAGED_PACKAGE);
    RunRecord_Phase("rebooting");
    int nReboot = Board_Reboot();
    if (nReboot == 0) return true;
    qx_printf("###### reboot failed (status %d): the board runs on, the agent takes orders again\n", nReboot);
    RunRecord_Phase("reboot-failed", "reboot-failed");
    CloseUart();
    m_bIoMcu = 0;
    m_bBVFlg = 0;
    SetUpgradeflg(false);
    m_bPackageRun.store(false);
    return false;
}

int CTaskfile2mcu::WaitForRead() {
    qx_eprintf("function [%s], line = [%d]\n", "WaitForRead", 357);
    const char* pDev = Board_SerialDev();
    for (;;) {
        bool bValensRan = false;
        if (GetValensUpFlg() != 0) {
            RunValensBranch();
            bValensRan = true;
            if (!GetUpgradeflg()) {
                Board_usleep(50000);
                continue;
            }
        } else if (!GetUpgradeflg()) {
            Board_usleep(50000);
            continue;
        }

        // Package branch: ends with the reboot.
        if (bValensRan || !m_bPackageRun.load())
            RunRecord_Begin(emOrderPackage, m_szOrderId, m_szPackageSha, "flashing", bValensRan);
        else
            RunRecord_Phase("flashing");
        m_bPackageRun.store(true);
        m_Uartfd = OpenUart();
        SetUartSpeed(pDev, 57600);
        Process4EPUpgrade();
        if (UpgradePushTarget(*this, s_stMaster)) Board_sleep(10);
        Process4BVUpgrade();
        UpgradePushTarget(*this, s_stIoMcu);
        if (FinishPackage()) return 0;
    }
}
