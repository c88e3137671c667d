#include "Udp2vela.h"
#include "QxClock.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
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
#include "RunRecord.h"
#include "Sha256.h"
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
    if (CreateSocket() != 0) return 0;
    m_recvMarkedNum = 0;
    m_sendMarkedNum = 0;
    m_pRecvBuf = (char*)calloc(QX_UDP_MAX_DATAGRAM + 1, 1);
    BoardProfile_Freeze();
    pthread_t tid;
    int nRet = Clock_ThreadCreate(&tid, nullptr, CUdpListen2vela::Udp4WebRecvThread, nullptr);
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

namespace {
// The service manager may hold the order port and hand it over as its
// socket-activation protocol does (descriptor 3): then no other account can
// bind the port before the agent. -1 when none was handed over.
int TakePassedSocket() {
    const char* pPid = getenv("LISTEN_PID");
    const char* pFds = getenv("LISTEN_FDS");
    if (pPid == nullptr || pFds == nullptr || atol(pPid) != (long)getpid() || atoi(pFds) < 1) return -1;
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
    const int fd = 3;
    struct sockaddr_in addr;
    socklen_t addrLen = sizeof(addr);
    int nType = 0;
    socklen_t typeLen = sizeof(nType);
    if (getsockname(fd, (struct sockaddr*)&addr, &addrLen) != 0 || addr.sin_family != AF_INET ||
        getsockopt(fd, SOL_SOCKET, SO_TYPE, &nType, &typeLen) != 0 || nType != SOCK_DGRAM) {
        qx_printf("###### the socket handed over is no IPv4 datagram socket, not used\n");
        return -1;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    return fd;
}
}  // namespace

int CUdpListen2vela::CreateSocket() {
    const BoardProfile& profile = BoardProfile_Get();
    m_socket = TakePassedSocket();
    if (m_socket >= 0) {
        qx_printf("order socket handed over by the service manager\n");
    } else {
        m_socket = socket(AF_INET, SOCK_DGRAM, 0);
        if (m_socket < 0) {
            m_socket = -1;
            qx_perror("setsockopt");
            return -1;
        }
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof(addr));
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_ANY);
        addr.sin_port = htons(profile.u16OrderPort);
        if (bind(m_socket, (struct sockaddr*)&addr, sizeof(addr)) < 0) {
            qx_perror("bind");
            close(m_socket);
            m_socket = -1;
            return -1;
        }
        qx_printf("binded success\n");
    }
    m_socketClient = socket(AF_INET, SOCK_DGRAM, 0);
    if (m_socketClient < 0) {
        m_socketClient = -1;
        qx_perror("socket_client");
    }
    m_peerAddr.sin_family = AF_INET;
    m_peerAddr.sin_port = htons(profile.u16ReportPort);
    inet_pton(AF_INET, profile.strReportIp.c_str(), &m_peerAddr.sin_addr);
    return 0;
}

std::string CUdpListen2vela::getDateTime() {
    struct timeval tv;
    Clock_TimeOfDay(&tv);
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
        struct timeval tv = {bFirst ? 0 : 1, 5000};
        bFirst = false;
        if (Clock_Select(m_socket + 1, &rfds, nullptr, nullptr, &tv) <= 0) continue;
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
        std::string strOrderId = RunRecord_OrderId(i_pData + 8, i_s32Len > 8 ? (size_t)(i_s32Len - 8) : 0);
        Task_UpdateFile_Path(strOrderId.c_str());
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

bool StartsWith(const std::string& i_str, const std::string& i_strHead) { return i_str.compare(0, i_strHead.size(), i_strHead) == 0; }
bool EndsWith(const std::string& i_str, const char* i_pTail) {
    size_t n = strlen(i_pTail);
    return i_str.size() >= n && i_str.compare(i_str.size() - n, n, i_pTail) == 0;
}

// The most a member may unpack to, by the fixed name it will be staged under
// (the same globs as the renames); 0 when no image limit applies to it.
uint64_t MemberLimit(const std::string& i_strName) {
    const std::string strTop = "McuUpdate/", strModel = strTop + QX_MODEL_WORD;
    if (StartsWith(i_strName, strModel + "-Master") || StartsWith(i_strName, strModel + "-IOMCU")) return QX_PKG_MAX_IMAGE;
    if (i_strName == strTop + "version.json") return QX_PKG_MAX_VERSION_JSON;
    if (StartsWith(i_strName, strTop + "E") && EndsWith(i_strName, ".hex") &&
        i_strName.find('/', strTop.size()) == std::string::npos)
        return QX_FILEBUF_LEN;
    for (const char* pBank : {"h00", "h01", "h02"})
        if (EndsWith(i_strName, pBank)) return QX_FILEBUF_LEN;
    return 0;
}

// What a package holds, read from tar's verbose listing.
struct PackageListing {
    uint32_t u32Members = 0;
    uint64_t u64Unpacked = 0;
};

// One line of "tar -tvf": type and mode, owner/group, size, date, time, name.
// False, with one "######" line, for a member the package must not hold.
bool CheckMember(const std::string& i_strLine, PackageListing* io_pList, std::string* o_pReason) {
    char szMode[16] = "", szOwner[64] = "", szDate[32] = "", szTime[32] = "";
    unsigned long long ullSize = 0;
    int nName = 0;
    if (sscanf(i_strLine.c_str(), "%15s %63s %llu %31s %31s %n", szMode, szOwner, &ullSize, szDate, szTime, &nName) < 5 ||
        nName <= 0 || (szMode[0] != '-' && szMode[0] != 'd')) {
        qx_printf("###### package refused: [%s] is neither a file nor a directory\n", i_strLine.c_str());
        *o_pReason = "not-plain";
        return false;
    }
    std::string strName = i_strLine.substr((size_t)nName), strPlain = strName;
    while (StartsWith(strPlain, "./")) strPlain.erase(0, 2);
    bool bInside = StartsWith(strPlain, "McuUpdate") && (strPlain.size() == 9 || strPlain[9] == '/');
    if (!bInside || ("/" + strPlain + "/").find("/../") != std::string::npos) {
        qx_printf("###### package refused: [%s] lies outside McuUpdate/\n", strName.c_str());
        *o_pReason = "not-plain";
        return false;
    }
    uint64_t u64Limit = szMode[0] == '-' ? MemberLimit(strPlain) : 0;
    io_pList->u32Members++;
    io_pList->u64Unpacked += ullSize;
    const char* pLimit = nullptr;
    char szLimit[256];
    if (u64Limit != 0 && ullSize > u64Limit) {
        snprintf(szLimit, sizeof(szLimit), "[%s] is %llu bytes, more than the %llu its target can hold", strPlain.c_str(),
                 ullSize, (unsigned long long)u64Limit);
        pLimit = szLimit;
    } else if (io_pList->u32Members > QX_PKG_MAX_MEMBERS) {
        snprintf(szLimit, sizeof(szLimit), "more than %d members", QX_PKG_MAX_MEMBERS);
        pLimit = szLimit;
    } else if (io_pList->u64Unpacked > QX_PKG_MAX_UNPACKED) {
        snprintf(szLimit, sizeof(szLimit), "more than %u MiB unpacked", QX_PKG_MAX_UNPACKED >> 20);
        pLimit = szLimit;
    }
    if (pLimit == nullptr) return true;
    qx_printf("###### package refused: %s\n", pLimit);
    *o_pReason = "too-large";
    return false;
}

// A package holds its McuUpdate directory with plain files and directories
// only (tar runs as root: a link, a device or a name outside it could reach
// anywhere on the board), within the limits. Read from the staged copy.
// Returns false, with one "######" line and the reason, for anything else.
bool PackageIsPlain(int i_fdPkg, std::string* o_pReason) {
    std::string strList, strLine;
    lseek(i_fdPkg, 0, SEEK_SET);
    // Numeric owners: a name with a space in it must not shift the columns.
    // Enough room for the members allowed, each on a line of full length.
    const size_t uMaxList = (size_t)(QX_PKG_MAX_MEMBERS + 1) * 4200;
    int nStatus = Board_Spawn({"tar", "--numeric-owner", "-tzvf", "-"}, i_fdPkg, -1, &strList, uMaxList);
    if (nStatus == -2) {
        qx_printf("###### package refused: more than %d members\n", QX_PKG_MAX_MEMBERS);
        *o_pReason = "too-large";
        return false;
    }
    PackageListing stList;
    size_t nPos = 0;
    while (NextLine(strList, &nPos, &strLine))
        if (!strLine.empty() && !CheckMember(strLine, &stList, o_pReason)) return false;
    // A cut or corrupt archive lists what tar can read of it: never half a package.
    if (nStatus != 0 && BoardProfile_Get().pfnShell == nullptr) {
        qx_printf("###### package refused: it cannot be read whole (tar status %d)\n", nStatus);
        *o_pReason = "unpack-failed";
        return false;
    }
    return true;
}

// Unpacks the staged copy (read from its descriptor, so it is the file that
// was checked) into the state directory: never the archive's owners or set-id
// bits. Returns tar's status.
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

// Copies the package, through the descriptor that was checked, to a new file
// in the state directory, and hashes what it copied. Returns the copy's
// descriptor (read from its start), or -1 with one "######" line and the reason.
int CopyPackage(int i_fdPkg, const char* i_pCopy, std::string* o_pSha, std::string* o_pReason) {
    struct stat st;
    if (fstat(i_fdPkg, &st) != 0 || (uint64_t)st.st_size > QX_PKG_MAX_PACKED) {
        qx_printf("###### package refused: more than %u MiB packed\n", QX_PKG_MAX_PACKED >> 20);
        *o_pReason = "too-large";
        return -1;
    }
    Board_RemovePath(i_pCopy);
    int fdCopy = open(i_pCopy, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    Sha256Ctx stSha;
    Sha256_Init(&stSha);
    uint64_t u64Copied = 0;
    bool bOk = fdCopy >= 0;
    static char s_aBuf[64 * 1024];
    while (bOk) {
        ssize_t n = read(i_fdPkg, s_aBuf, sizeof(s_aBuf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            bOk = n == 0;
            break;
        }
        // The file may grow while it is read: no more than the limit is ever taken.
        u64Copied += (uint64_t)n;
        if (u64Copied > QX_PKG_MAX_PACKED) {
            qx_printf("###### package refused: more than %u MiB packed\n", QX_PKG_MAX_PACKED >> 20);
            *o_pReason = "too-large";
            close(fdCopy);
            return -1;
        }
        Sha256_Update(&stSha, s_aBuf, (size_t)n);
        for (ssize_t nDone = 0; bOk && nDone < n;) {
            ssize_t w = write(fdCopy, s_aBuf + nDone, (size_t)(n - nDone));
            if (w < 0 && errno == EINTR) continue;
            bOk = w > 0;
            nDone += w > 0 ? w : 0;
        }
    }
    if (bOk) bOk = fsync(fdCopy) == 0;
    if (!bOk) {
        qx_printf("###### package not copied to %s: %s\n", i_pCopy, strerror(errno));
        *o_pReason = "copy-failed";
        if (fdCopy >= 0) close(fdCopy);
        return -1;
    }
    *o_pSha = Sha256_Hex(&stSha);
    lseek(fdCopy, 0, SEEK_SET);
    return fdCopy;
}

// vela's version.json goes into its home through a new file, renamed into place.
void PublishVersionJson(const char* i_pStaged, const char* i_pTarget) {
    int fd = Board_OpenRegular(i_pStaged);
    if (fd < 0) return;
    std::string strText;
    char aBuf[4096];
    ssize_t n;
    while ((n = read(fd, aBuf, sizeof(aBuf))) > 0 && strText.size() <= QX_PKG_MAX_VERSION_JSON)
        strText.append(aBuf, (size_t)n);
    close(fd);
    Board_ReplaceFile(i_pTarget, strText.data(), strText.size(), 0644);
    Board_RemovePath(i_pStaged);
}

// The thirteen renames onto the fixed names the procedures read.
void RenameStagedImages(const char* i_pDir) {
    char szMaster[QX_PATH_BUF(64)], szIoMcu[QX_PATH_BUF(64)], szBv[QX_PATH_BUF(64)], szVersion[QX_PATH_BUF(64)];
    Board_Path(szMaster, sizeof(szMaster), QX_MASTER_HEX);
    Board_Path(szIoMcu, sizeof(szIoMcu), QX_IOMCU_HEX);
    Board_Path(szBv, sizeof(szBv), QX_BV_HEX);
    // -T: a target that is a link to a directory is replaced, never entered.
    char szCmd[QX_CMD_BUF(256)];
    if (Board_Snprintf(szCmd, sizeof(szCmd), "mv -T %s/%s-Master* %s", i_pDir, QX_MODEL_WORD, szMaster) >= 0)
        RunSynced(szCmd);
    if (Board_Snprintf(szCmd, sizeof(szCmd), "mv -T %s/%s-IOMCU* %s", i_pDir, QX_MODEL_WORD, szIoMcu) >= 0)
        RunSynced(szCmd);
    if (Board_Snprintf(szCmd, sizeof(szCmd), "mv -T %s/E*.hex %s", i_pDir, szBv) >= 0) RunSynced(szCmd);
    char szStaged[QX_PATH_BUF(64)];
    if (Board_Snprintf(szStaged, sizeof(szStaged), "%s/version.json", i_pDir) >= 0)
        PublishVersionJson(szStaged, Board_Path(szVersion, sizeof(szVersion), QX_VERSION_JSON));
    static const char* const s_aBankFmts[3] = {"mv -T %s-*h00 %s.h00", "mv -T %s-*h01 %s.h01", "mv -T %s-*h02 %s.h02"};
    for (const IspEpFamily& family : g_aIspEpFamilies) {
        char szBase[QX_PATH_BUF(128)];
        Board_Path(szBase, sizeof(szBase), family.pBasePath);
        for (const char* pFmt : s_aBankFmts) {
            if (Board_Snprintf(szCmd, sizeof(szCmd), pFmt, szBase, szBase) >= 0) RunSynced(szCmd);
        }
    }
}

// A package order that cannot be staged: nothing of it stays, no flag is
// raised, and the record says why (its own record only when no upgrade runs).
int RefusePackage(bool i_bBegun, const char* i_pOrderId, const std::string& i_strReason, int i_fd = -1) {
    if (i_fd >= 0) close(i_fd);
    char szPath[QX_PATH_BUF(64)];
    Board_RemovePath(Board_Path(szPath, sizeof(szPath), QX_UPDATE_DIR));
    Board_RemovePath(Board_Path(szPath, sizeof(szPath), QX_STAGED_PACKAGE));
    if (i_bBegun)
        RunRecord_Phase("refused", i_strReason.c_str());
    else
        RunRecord_Refused(emOrderPackage, i_pOrderId, i_strReason.c_str());
    return -1;
}
}  // namespace

int CUdpListen2vela::Task_UpdateFile_Path(const char* i_pOrderId) {
    CTaskfile2mcu* pTask = g_pTaskUP4mcu;
    const char* pOrderId = i_pOrderId ? i_pOrderId : "";
    // One package at a time: a staged or running one is never touched by a second order.
    if (pTask != nullptr && (pTask->m_bPackageRun.load() || pTask->GetUpgradeflg())) {
        qx_printf("###### package order refused: a package upgrade is staged or running\n");
        RunRecord_Refused(emOrderPackage, pOrderId, "busy");
        return -1;
    }
    char szPkg[QX_PATH_BUF(64)], szState[QX_PATH_BUF(64)], szDir[QX_PATH_BUF(64)], szCopy[QX_PATH_BUF(64)],
        szTarLog[QX_PATH_BUF(64)];
    Board_Path(szPkg, sizeof(szPkg), QX_TXMCU_UPDATE_FILE_PATH);
    Board_Path(szState, sizeof(szState), QX_STAGING_HOME);
    Board_Path(szDir, sizeof(szDir), QX_UPDATE_DIR);
    Board_Path(szCopy, sizeof(szCopy), QX_STAGED_PACKAGE);
    Board_Path(szTarLog, sizeof(szTarLog), QX_TAR_LOG);
    // Opened once, without following a link or waiting on a FIFO; the copy is taken from this very file.
    int fdPkg = Board_OpenRegular(szPkg);
    if (fdPkg == -1) qx_printf("###### access QX_TXMCU_UPDATE_FILE_PATH is Failed\n");
    if (fdPkg < 0) return RefusePackage(false, pOrderId, "no-package");
    struct stat stPkg;
    if (fstat(fdPkg, &stPkg) == 0) fchmod(fdPkg, stPkg.st_mode | 0111);
    if (Board_EnsureOwnDir(szState) != 0) return RefusePackage(false, pOrderId, "no-state-dir", fdPkg);
    // Whatever an interrupted upgrade left there is never flashed with this package.
    Board_RemovePath(szDir);
    std::string strSha, strReason;
    int fdCopy = CopyPackage(fdPkg, szCopy, &strSha, &strReason);
    close(fdPkg);
    if (fdCopy < 0) return RefusePackage(false, pOrderId, strReason);
    // A Valens upgrade under way keeps its record; the scheduler begins the
    // package's when it takes the package.
    bool bBegun = pTask == nullptr || pTask->GetValensUpFlg() == 0;
    if (bBegun) RunRecord_Begin(emOrderPackage, pOrderId, strSha.c_str(), "staging");
    if (!PackageIsPlain(fdCopy, &strReason)) return RefusePackage(bBegun, pOrderId, strReason, fdCopy);
    int nTar = UnpackPackage(fdCopy, szCopy, szState, szTarLog);
    close(fdCopy);
    if (nTar != 0 && BoardProfile_Get().pfnShell == nullptr) {
        qx_printf("###### package not staged: unpacking failed (tar status %d)\n", nTar);
        return RefusePackage(bBegun, pOrderId, "unpack-failed");
    }
    RenameStagedImages(szDir);
    if (pTask != nullptr) {
        snprintf(pTask->m_szOrderId, sizeof(pTask->m_szOrderId), "%s", pOrderId);
        snprintf(pTask->m_szPackageSha, sizeof(pTask->m_szPackageSha), "%s", strSha.c_str());
        pTask->m_bPackageRun.store(true);
        pTask->SetUpgradeflg(true);
    }
    return 0;
}

int CUdpListen2vela::Task_Valens_UpdateFile_Path(const char* i_pCmd) {
    if (i_pCmd == nullptr) return -1;
    CTaskfile2mcu* pTask = g_pTaskUP4mcu;
    // One Valens upgrade at a time; a package upgrade may be staged or running beside it.
    if (pTask != nullptr && pTask->GetValensUpFlg() != 0) {
        qx_printf("###### Valens order refused: a Valens upgrade is staged or running\n");
        RunRecord_Refused(emOrderValens, "", "busy");
        return -1;
    }
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
        if (!Board_IsRegular(Board_Path(szPath, sizeof(szPath), t.pImage))) {
            qx_printf("%s", t.pFailed);
        } else if (pTask != nullptr) {
            // A package upgrade under way keeps its record; the scheduler begins this one's.
            if (!pTask->m_bPackageRun.load()) RunRecord_Begin(emOrderValens, "", "", "staging");
            pTask->SetValensUpFlg(t.nTarget);
        }
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
