#include "Udp2vela.h"

#include <arpa/inet.h>
#include <errno.h>
#include <net/if.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "BoardFiles.h"
#include "BoardProfile.h"
#include "QxLog.h"
#include "Taskfile2mcu.h"
#include "Taskfile2mcu_Isp.h"

CUdpListen2vela* g_pudp4vela = nullptr;

CUdpListen2vela::CUdpListen2vela()
    : m_socket(-1),
      m_socketClient(-1),
      m_recvMarkedNum(0),
      m_sendMarkedNum(0),
      m_addrLen(sizeof(struct sockaddr_in)),
      m_pRecvBuf(nullptr) {
    memset(m_szLocalIp, 0, sizeof(m_szLocalIp));
    memset(&m_peerAddr, 0, sizeof(m_peerAddr));
    memset(m_szValensUpCmd, 0, sizeof(m_szValensUpCmd));
}

CUdpListen2vela::~CUdpListen2vela() { free(m_pRecvBuf); }

int CUdpListen2vela::init() {
    GetLocalIp();
    CreateSocket();
    m_recvMarkedNum = 0;
    m_sendMarkedNum = 0;
    m_pRecvBuf = (char*)calloc(QX_UDP_MAX_DATAGRAM + 1, 1);
    BoardProfile_Freeze();
    pthread_t tid;
    int nRet = pthread_create(&tid, nullptr, CUdpListen2vela::Udp4WebRecvThread, nullptr);
    if (nRet == 0)
        qx_printf("In CUdpListen2vela, successful pthread \n");
    else
        qx_printf("In CUdpListen2vela, error pthread nret[%d]\n", nRet);
    return 1;
}

void* CUdpListen2vela::Udp4WebRecvThread(void*) {
    if (g_pudp4vela != nullptr) g_pudp4vela->WaitForRead();
    return nullptr;
}

void CUdpListen2vela::GetLocalIp() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        qx_printf("socket create failse...GetLocalIp!\n");
        return;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, "eth0", 15);
    if (ioctl(fd, SIOCGIFADDR, &ifr) == 0) {
        char szIp[INET_ADDRSTRLEN] = {0};
        struct sockaddr_in* pSin = (struct sockaddr_in*)&ifr.ifr_addr;
        inet_ntop(AF_INET, &pSin->sin_addr, szIp, sizeof(szIp));
        memset(m_szLocalIp, 0, sizeof(m_szLocalIp));
        snprintf(m_szLocalIp, sizeof(m_szLocalIp), "%s", szIp);
    }
    close(fd);
}

void CUdpListen2vela::CreateSocket() {
    const BoardProfile& profile = BoardProfile_Get();
    m_socket = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_socket < 0) {
        m_socket = -1;
        qx_perror("setsockopt");
        return;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(profile.u16OrderPort);
    if (bind(m_socket, (struct sockaddr*)&addr, sizeof(addr)) < 0) {
        qx_perror("bind");
        return;
    }
    qx_printf("binded success\n");
    m_socketClient = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_socketClient < 0) {
        m_socketClient = -1;
        qx_perror("socket_client");
    }
    m_peerAddr.sin_family = AF_INET;
    m_peerAddr.sin_port = htons(profile.u16ReportPort);
    inet_pton(AF_INET, profile.strReportIp.c_str(), &m_peerAddr.sin_addr);
}

std::string CUdpListen2vela::getDateTime() {
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmNow;
    time_t t = tv.tv_sec;
    localtime_r(&t, &tmNow);
    char szStamp[32];
    snprintf(szStamp, sizeof(szStamp), "%.2u:%.2u:%.2u.%.6u", (unsigned)tmNow.tm_hour, (unsigned)tmNow.tm_min,
             (unsigned)tmNow.tm_sec, (unsigned)tv.tv_usec);
    return std::string(szStamp);
}

namespace {
// Reads a little-endian 32-bit field at i_off; bytes beyond i_s32Len count as 0.
uint32_t ReadLe32(const char* i_pData, int32_t i_s32Len, int32_t i_off) {
    uint32_t u = 0;
    for (int i = 0; i < 4; i++) {
        if (i_off + i < i_s32Len) u |= (uint32_t)(unsigned char)i_pData[i_off + i] << (8 * i);
    }
    return u;
}
}  // namespace

int CUdpListen2vela::Send(char* i_pBuf, int32_t i_s32Len) {
    if (i_pBuf == nullptr) {
        qx_printf("In CUdpListen4Web::Send(), Msg is Wrong\n");
        return -1;
    }
    if (i_s32Len > QX_UDP_MAX_DATAGRAM || i_s32Len < 0) {
        qx_printf("In CUdpListen4Web::Send(), Length of Msg is Wrong\n");
        return -1;
    }
    const BoardProfile& profile = BoardProfile_Get();
    m_peerAddr.sin_family = AF_INET;
    m_peerAddr.sin_port = htons(profile.u16ReportPort);
    inet_pton(AF_INET, profile.strReportIp.c_str(), &m_peerAddr.sin_addr);
    // The payload text is shown up to its NUL, never past the bytes handed in.
    int nText = 0;
    if (i_s32Len > 8) nText = (int)strnlen(i_pBuf + 8, (size_t)(i_s32Len - 8));
    qx_printf("[%s]--MarkedNum send[%d] In CUdpListen2vela::Send() sendbuf[%d] [%.*s] [%d] \n", getDateTime().c_str(),
              m_sendMarkedNum, (int)ReadLe32(i_pBuf, i_s32Len, 0), nText, nText > 0 ? i_pBuf + 8 : "",
              (int)ReadLe32(i_pBuf, i_s32Len, 4));
    if (sendto(m_socketClient, i_pBuf, (size_t)i_s32Len, 0, (struct sockaddr*)&m_peerAddr, m_addrLen) < 0)
        qx_perror("sendto");
    return 0;
}

int CUdpListen2vela::WaitForRead() {
    qx_printf("In CUdpListen2vela::WaitForRead......\n");
    if (m_socket <= 0) {
        qx_printf("socket error.... \n");
        return -1;
    }
    qx_printf("m_socket = [%d]  \n", m_socket);
    bool bFirst = true;
    for (;;) {
        fd_set rfds;
        FD_ZERO(&rfds);
        FD_SET(m_socket, &rfds);
        struct timeval tv = bFirst ? Board_Timeval(0, 5000) : Board_Timeval(1, 5000);
        bFirst = false;
        if (select(m_socket + 1, &rfds, nullptr, nullptr, &tv) <= 0) continue;
        struct sockaddr_in from;
        socklen_t fromLen = sizeof(from);
        memset(&from, 0, sizeof(from));
        ssize_t n = recvfrom(m_socket, m_pRecvBuf, QX_UDP_MAX_DATAGRAM, 0, (struct sockaddr*)&from, &fromLen);
        if (n <= 0) continue;
        // Orders come from vela on this board only: anything from outside loopback
        // could otherwise stage a package and reboot the device.
        if ((ntohl(from.sin_addr.s_addr) >> 24) != 127) {
            char szFrom[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &from.sin_addr, szFrom, sizeof(szFrom));
            qx_printf("###### datagram of %d bytes from %s:%u dropped: orders are taken from loopback only\n", (int)n,
                      szFrom, (unsigned)ntohs(from.sin_port));
            continue;
        }
        m_pRecvBuf[n] = '\0';
        ProcessRcvedData(m_pRecvBuf, (int32_t)n);
        memset(m_pRecvBuf, 0, 4);
    }
}

int CUdpListen2vela::ProcessRcvedData(char* i_pData, int32_t i_s32Len) {
    if (i_pData == nullptr) {
        qx_printf("###### In ProcessRcvedData, i_pData == NULL .\n");
        return -1;
    }
    qx_eprintf("function [%s], line = [%d] datalenth[%d].... .... \n", "ProcessRcvedData", 290, i_s32Len);
    TranslateOnePack2Struct(i_pData, i_s32Len);
    return 0;
}

int CUdpListen2vela::TranslateOnePack2Struct(char* i_pData, int32_t i_s32Len) {
    if (i_pData == nullptr) return 0;
    std::string strStamp = getDateTime();
    m_recvMarkedNum++;
    if (m_recvMarkedNum == 50) m_recvMarkedNum = 0;
    int32_t s32Type = (int32_t)ReadLe32(i_pData, i_s32Len, 0);
    int32_t s32Len = (int32_t)ReadLe32(i_pData, i_s32Len, 4);
    qx_printf("[%s]--MarkedNum recv[%d] In comm_master_type_standep_upgrade_command recvbuf[%d] [%d] \n",
              strStamp.c_str(), m_recvMarkedNum, s32Type, s32Len);
    if (s32Type == comm_master_type_standep_upgrade_command) {
        Task_UpdateFile_Path();
    } else if (s32Type == comm_master_type_valens_upgrade_command) {
        size_t nText = 0;
        if (i_s32Len > 8) nText = strnlen(i_pData + 8, (size_t)(i_s32Len - 8));
        if (nText > QX_VALENS_CMD_LEN - 1) nText = QX_VALENS_CMD_LEN - 1;
        char szCmd[QX_VALENS_CMD_LEN];
        memcpy(szCmd, i_pData + 8, nText);
        szCmd[nText] = '\0';
        {
            std::lock_guard<std::mutex> lock(m_ValensCmdMutex);
            memcpy(m_szValensUpCmd, szCmd, nText + 1);
        }
        qx_printf("----------Valens upgrade Uart Cmd :[%s], CmdLen:[%d]\n", szCmd, (int)nText);
        Task_Valens_UpdateFile_Path(szCmd);
    }
    return 0;
}

const char* CUdpListen2vela::GetValensUpCmd() {
    static thread_local char s_szSnapshot[QX_VALENS_CMD_LEN];
    std::lock_guard<std::mutex> lock(m_ValensCmdMutex);
    memcpy(s_szSnapshot, m_szValensUpCmd, sizeof(s_szSnapshot));
    return s_szSnapshot;
}

namespace {
// Runs one staging command, then "sync", so every file operation has reached
// storage before the upgrade flag is raised. Returns the command's status.
int RunSynced(const char* i_pCmd) {
    int nRet = Board_System(i_pCmd);
    int nSync = Board_System("sync");
    (void)nSync;
    return nRet;
}

// The next line of a listing, without its newline; false at the end. Plain
// string splitting: the stream classes would add most of a megabyte to the
// agent, which carries its C++ runtime.
static bool NextLine(const std::string& i_strText, size_t* io_pPos, std::string* o_pLine) {
    if (*io_pPos >= i_strText.size()) return false;
    size_t nEnd = i_strText.find('\n', *io_pPos);
    if (nEnd == std::string::npos) nEnd = i_strText.size();
    o_pLine->assign(i_strText, *io_pPos, nEnd - *io_pPos);
    *io_pPos = nEnd + 1;
    return true;
}

// A package holds its McuUpdate directory with plain files and directories
// only: tar runs as root, so a link, a device or a name outside it could reach
// anywhere on the board. Returns false, with one "######" line, for anything else.
bool PackageIsPlain(int i_fdPkg) {
    std::string strTypes, strNames, strLine;
    lseek(i_fdPkg, 0, SEEK_SET);
    Board_Spawn({"tar", "-tzvf", "-"}, i_fdPkg, -1, &strTypes);
    lseek(i_fdPkg, 0, SEEK_SET);
    Board_Spawn({"tar", "-tzf", "-"}, i_fdPkg, -1, &strNames);
    // A cut or corrupt archive lists what tar can read of it, and that is all it unpacks.
    size_t nPos = 0;
    while (NextLine(strTypes, &nPos, &strLine)) {
        if (!strLine.empty() && strLine[0] != '-' && strLine[0] != 'd') {
            qx_printf("###### package refused: [%s] is neither a file nor a directory\n", strLine.c_str());
            return false;
        }
    }
    nPos = 0;
    while (NextLine(strNames, &nPos, &strLine)) {
        std::string strPlain = strLine;
        while (strPlain.compare(0, 2, "./") == 0) strPlain.erase(0, 2);
        bool bInside = strPlain.compare(0, 9, "McuUpdate") == 0 && (strPlain.size() == 9 || strPlain[9] == '/');
        if (!strLine.empty() && (!bInside || ("/" + strPlain + "/").find("/../") != std::string::npos)) {
            qx_printf("###### package refused: [%s] lies outside McuUpdate/\n", strLine.c_str());
            return false;
        }
    }
    return true;
}

// Unpacks the package (read from its descriptor, so it is the file that was
// checked) into home: never the archive's owners or set-id bits. Returns tar's status.
int UnpackPackage(int i_fdPkg, const char* i_pPkg, const char* i_pHome, const char* i_pTarLog) {
    int fdLog = Board_OpenLog(i_pTarLog);
    lseek(i_fdPkg, 0, SEEK_SET);
    int nRet =
        Board_Spawn({"tar", "-zxvf", "-", "-C", i_pHome, "--no-same-owner", "--no-same-permissions"}, i_fdPkg, fdLog);
    if (fdLog >= 0) close(fdLog);
    int nSync = Board_System("sync");
    (void)nSync;
    qx_printf("cmdBuffer is [tar -zxvf - -C %s --no-same-owner --no-same-permissions < %s > %s 2>&1] nret[%d]\n",
              i_pHome, i_pPkg, i_pTarLog, nRet);
    return nRet;
}
}  // namespace

int CUdpListen2vela::Task_UpdateFile_Path() {
    char szPkg[QX_PATH_BUF(64)];
    char szHome[QX_PATH_BUF(64)];
    char szDir[QX_PATH_BUF(64)];
    char szTarLog[QX_PATH_BUF(64)];
    Board_Path(szPkg, sizeof(szPkg), QX_TXMCU_UPDATE_FILE_PATH);
    Board_Path(szHome, sizeof(szHome), QX_UPDATE_HOME);
    Board_Path(szDir, sizeof(szDir), QX_UPDATE_DIR);
    // On the board tar.log lands in the service's working directory; with a
    // root prefix it stays inside the root.
    if (Board_Root()[0] != '\0')
        Board_Path(szTarLog, sizeof(szTarLog), "/tar.log");
    else
        snprintf(szTarLog, sizeof(szTarLog), "tar.log");
    // Opened once, without following a link or waiting on a FIFO; tar reads this very file.
    int fdPkg = Board_OpenRegular(szPkg);
    if (fdPkg == -1) qx_printf("###### access QX_TXMCU_UPDATE_FILE_PATH is Failed\n");
    if (fdPkg < 0) return -1;
    struct stat stPkg;
    if (fstat(fdPkg, &stPkg) == 0) fchmod(fdPkg, stPkg.st_mode | 0111);
    // Whatever an interrupted upgrade left there is never flashed with this package.
    Board_RemovePath(szDir);
    bool bPlain = PackageIsPlain(fdPkg);
    if (bPlain) UnpackPackage(fdPkg, szPkg, szHome, szTarLog);
    close(fdPkg);
    if (!bPlain) return -1;

    char szMaster[QX_PATH_BUF(64)], szIoMcu[QX_PATH_BUF(64)], szBv[QX_PATH_BUF(64)], szVersion[QX_PATH_BUF(64)];
    Board_Path(szMaster, sizeof(szMaster), QX_MASTER_HEX);
    Board_Path(szIoMcu, sizeof(szIoMcu), QX_IOMCU_HEX);
    Board_Path(szBv, sizeof(szBv), QX_BV_HEX);
    Board_Path(szVersion, sizeof(szVersion), QX_VERSION_JSON);

    // -T: a target that is a link to a directory is replaced, never entered.
    char szCmd[QX_CMD_BUF(256)];
    if (Board_Snprintf(szCmd, sizeof(szCmd), "mv -T %s/%s-Master* %s", szDir, QX_MODEL_WORD, szMaster) >= 0)
        RunSynced(szCmd);
    if (Board_Snprintf(szCmd, sizeof(szCmd), "mv -T %s/%s-IOMCU* %s", szDir, QX_MODEL_WORD, szIoMcu) >= 0)
        RunSynced(szCmd);
    if (Board_Snprintf(szCmd, sizeof(szCmd), "mv -T %s/E*.hex %s", szDir, szBv) >= 0) RunSynced(szCmd);
    if (Board_Snprintf(szCmd, sizeof(szCmd), "mv -T %s/version.json %s", szDir, szVersion) >= 0) RunSynced(szCmd);
    static const char* const s_aBankFmts[3] = {"mv -T %s-*h00 %s.h00", "mv -T %s-*h01 %s.h01", "mv -T %s-*h02 %s.h02"};
    for (const IspEpFamily& family : g_aIspEpFamilies) {
        char szBase[QX_PATH_BUF(128)];
        Board_Path(szBase, sizeof(szBase), family.pBasePath);
        for (const char* pFmt : s_aBankFmts) {
            if (Board_Snprintf(szCmd, sizeof(szCmd), pFmt, szBase, szBase) >= 0) RunSynced(szCmd);
        }
    }
    if (g_pTaskUP4mcu != nullptr) g_pTaskUP4mcu->SetUpgradeflg(true);
    return 0;
}

int CUdpListen2vela::Task_Valens_UpdateFile_Path(const char* i_pCmd) {
    if (i_pCmd == nullptr) return -1;
    // "TX" first: a text with both selects the transmitter.
    static const struct {
        const char* pWord;
        const char* pImage;
        const char* pFailed;
        int nTarget;
    } s_aTargets[] = {{"TX", QX_VALENS_TX_HEX, "###### access VSTX.hex is Failed\n", 1},
                      {"RX", QX_VALENS_RX_HEX, "###### access VSRX.hex is Failed\n", 2}};
    for (const auto& t : s_aTargets) {
        if (strstr(i_pCmd, t.pWord) == nullptr) continue;
        char szPath[QX_PATH_BUF(64)];
        // Only a regular file: the scheduler must never wait on a FIFO or device.
        if (!Board_IsRegular(Board_Path(szPath, sizeof(szPath), t.pImage)))
            qx_printf("%s", t.pFailed);
        else if (g_pTaskUP4mcu != nullptr)
            g_pTaskUP4mcu->SetValensUpFlg(t.nTarget);
        return 0;
    }
    return 0;
}

int QX_SendText2vela(uint32_t i_u32Type, const char* i_pText) {
    if (g_pudp4vela == nullptr || i_pText == nullptr) return -1;
    comm_master_t record;
    memset(&record, 0, sizeof(record));
    size_t nText = strnlen(i_pText, sizeof(record.data) - 1);
    memcpy(record.data, i_pText, nText);
    record.type = i_u32Type;
    record.len = (uint32_t)(nText + 8);
    return g_pudp4vela->Send((char*)&record, (int32_t)(nText + 8));
}
