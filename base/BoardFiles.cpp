#include "BoardFiles.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BoardProfile.h"
#include "QxLog.h"

extern char** environ;

namespace {
int RefuseNotRegular(const char* i_pPath) {
    qx_printf("###### %s is not a regular file, not used\n", i_pPath);
    return -2;
}
}  // namespace

int Board_OpenRegular(const char* i_pPath) {
    if (i_pPath == nullptr || i_pPath[0] == '\0') {
        errno = ENOENT;
        return -1;
    }
    // lstat first: a device is never opened, not even for a moment.
    struct stat st;
    if (lstat(i_pPath, &st) != 0) return -1;
    if (!S_ISREG(st.st_mode)) return RefuseNotRegular(i_pPath);
    // The name may have been swapped since: open it as it is now, and look again.
    int fd = open(i_pPath, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return errno == ELOOP || errno == ENXIO ? RefuseNotRegular(i_pPath) : -1;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return RefuseNotRegular(i_pPath);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

bool Board_IsRegular(const char* i_pPath) {
    struct stat st;
    return i_pPath != nullptr && lstat(i_pPath, &st) == 0 && S_ISREG(st.st_mode);
}

int Board_RemovePath(const char* i_pPath) {
    // "rm -rf dir/" follows a link named dir; without the slash rm removes the link itself.
    std::string strPath = i_pPath ? i_pPath : "";
    while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
    if (strPath.empty() || strPath == "/") return -1;
    struct stat st;
    if (lstat(strPath.c_str(), &st) != 0) return errno == ENOENT ? 0 : -1;
    if (!S_ISDIR(st.st_mode)) return unlink(strPath.c_str());
    int nStatus = Board_Spawn({"rm", "-rf", "--", strPath}, -1, -1);
    return (nStatus >= 0 && WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) ? 0 : -1;
}

int Board_OpenLog(const char* i_pPath) {
    // No O_TRUNC: nothing is cut before it has been seen to be our own plain file.
    int fd = open(i_pPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0600);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && ftruncate(fd, 0) == 0) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        return fd;
    }
    qx_printf("###### log %s is not a plain file of its own (%s), not written\n", i_pPath,
              fd < 0 ? strerror(errno) : "refused");
    if (fd >= 0) close(fd);
    return -1;
}

int Board_Spawn(const std::vector<std::string>& i_argv, int i_fdIn, int i_fdOut, std::string* o_pOut, size_t i_maxOut) {
    if (i_argv.empty()) return -1;
    if (BoardProfile_Get().pfnShell != nullptr) {
        // A harness records the command line; it prints nothing.
        std::string strCmd;
        for (const std::string& s : i_argv) strCmd += (strCmd.empty() ? "" : " ") + s;
        if (o_pOut != nullptr) o_pOut->clear();
        return BoardProfile_Get().pfnShell(strCmd.c_str());
    }
    int aPipe[2] = {-1, -1};
    if (o_pOut != nullptr && pipe2(aPipe, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (i_fdIn >= 0)
        posix_spawn_file_actions_adddup2(&actions, i_fdIn, 0);
    else
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (int nTarget = 1; nTarget <= 2; nTarget++) {
        if (nTarget == 1 && o_pOut != nullptr)
            posix_spawn_file_actions_adddup2(&actions, aPipe[1], 1);
        else if (i_fdOut >= 0)
            posix_spawn_file_actions_adddup2(&actions, i_fdOut, nTarget);
        else
            posix_spawn_file_actions_addopen(&actions, nTarget, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> vArgv;
    for (const std::string& s : i_argv) vArgv.push_back(const_cast<char*>(s.c_str()));
    vArgv.push_back(nullptr);
    pid_t pid = -1;
    int nErr = posix_spawnp(&pid, vArgv[0], &actions, nullptr, vArgv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (aPipe[1] >= 0) close(aPipe[1]);
    bool bCut = false;
    if (o_pOut != nullptr) {
        o_pOut->clear();
        char aBuf[4096];
        ssize_t n;
        while (nErr == 0 && ((n = read(aPipe[0], aBuf, sizeof(aBuf))) > 0 || (n < 0 && errno == EINTR))) {
            if (n <= 0) continue;
            if (i_maxOut != 0 && o_pOut->size() + (size_t)n > i_maxOut) {
                // More than the caller can use: the rest is never read into memory.
                bCut = true;
                kill(pid, SIGKILL);
                break;
            }
            o_pOut->append(aBuf, (size_t)n);
        }
        close(aPipe[0]);
    }
    if (nErr != 0) {
        qx_printf("###### %s could not be started: %s\n", vArgv[0], strerror(nErr));
        return -1;
    }
    int nStatus = 0;
    while (waitpid(pid, &nStatus, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return bCut ? -2 : nStatus;
}

int Board_EnsureOwnDir(const char* i_pPath) {
    std::string strPath = i_pPath ? i_pPath : "";
    while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
    if (strPath.empty()) return -1;
    for (size_t nSlash = strPath.find('/', 1);; nSlash = strPath.find('/', nSlash + 1)) {
        std::string strPart = strPath.substr(0, nSlash);
        if (mkdir(strPart.c_str(), 0755) != 0 && errno != EEXIST) break;
        if (nSlash == std::string::npos) break;
    }
    struct stat st;
    if (lstat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & 022) == 0)
        return 0;
    qx_printf("###### %s is not a directory of this user's own that only it can write, not used\n", strPath.c_str());
    return -1;
}

int Board_ReplaceFile(const char* i_pPath, const void* i_pData, size_t i_len, unsigned i_uMode) {
    std::string strPath = i_pPath ? i_pPath : "";
    size_t nSlash = strPath.rfind('/');
    if (nSlash == std::string::npos || nSlash + 1 == strPath.size()) return -1;
    std::string strDir = nSlash == 0 ? "/" : strPath.substr(0, nSlash);
    std::string strNew = strDir + "/." + strPath.substr(nSlash + 1) + ".XXXXXX";
    // mkstemp creates exclusively: a name planted there, a link included, is never opened.
    int fd = mkostemp(&strNew[0], O_CLOEXEC);
    const char* pWhy = nullptr;
    if (fd < 0) {
        pWhy = "no new file";
    } else {
        const char* p = (const char*)i_pData;
        size_t uLeft = i_len;
        while (uLeft > 0 && pWhy == nullptr) {
            ssize_t n = write(fd, p, uLeft);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) pWhy = "write";
            p += n > 0 ? n : 0;
            uLeft -= n > 0 ? (size_t)n : 0;
        }
        if (pWhy == nullptr && (fchmod(fd, (mode_t)i_uMode) != 0 || fsync(fd) != 0)) pWhy = "sync";
        if (close(fd) != 0 && pWhy == nullptr) pWhy = "close";
        if (pWhy == nullptr && rename(strNew.c_str(), strPath.c_str()) != 0) pWhy = "rename";
        if (pWhy != nullptr) unlink(strNew.c_str());
    }
    if (pWhy != nullptr) {
        qx_printf("###### %s not replaced (%s: %s)\n", strPath.c_str(), pWhy, strerror(errno));
        return -1;
    }
    int fdDir = open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir >= 0) {
        fsync(fdDir);
        close(fdDir);
    }
    return 0;
}
