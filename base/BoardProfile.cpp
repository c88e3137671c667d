#include "BoardProfile.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

#include "QxClock.h"
#include "QxLog.h"

namespace {
BoardProfile s_profile;
std::atomic<bool> s_bFrozen{false};

// Paths go into shell commands unquoted (the staging commands rely on globs),
// so only characters the shell takes literally are accepted.
bool IsPlainPath(const std::string& i_str) {
    for (char c : i_str) {
        bool bOk = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
                   c == '-' || c == '+' || c == '/';
        if (!bOk) return false;
    }
    return true;
}

}  // namespace

int BoardProfile_Set(const BoardProfile& i_profile, std::string* o_pErr) {
    std::string strErr;
    if (s_bFrozen.load()) {
        strErr = "the agent is running; a profile is set once, before it starts";
    } else if (i_profile.strRoot.size() > QX_ROOT_MAX) {
        strErr = "board root is " + std::to_string(i_profile.strRoot.size()) + " characters long; at most " +
                 std::to_string(QX_ROOT_MAX) + " are accepted";
    } else if (!i_profile.strRoot.empty() && i_profile.strRoot[0] != '/') {
        strErr = "board root must be an absolute path: " + i_profile.strRoot;
    } else if (i_profile.strSerialDev.empty() || i_profile.strSerialDev.size() > QX_DEVPATH_MAX) {
        strErr = "serial device path must have 1 to " + std::to_string(QX_DEVPATH_MAX) + " characters";
    } else if (!IsPlainPath(i_profile.strRoot) || !IsPlainPath(i_profile.strSerialDev)) {
        strErr = "board root and serial device may hold only letters, digits and . _ - + /";
    } else if (i_profile.strRebootCmd.empty()) {
        strErr = "reboot command must not be empty";
    }
    if (!strErr.empty()) {
        fprintf(stderr, "###### board profile refused: %s\n", strErr.c_str());
        if (o_pErr) *o_pErr = strErr;
        return -1;
    }
    s_profile = i_profile;
    // A trailing slash would double up with the board paths, which all start with one.
    while (s_profile.strRoot.size() > 1 && s_profile.strRoot.back() == '/') s_profile.strRoot.pop_back();
    if (s_profile.strRoot == "/") s_profile.strRoot.clear();
    return 0;
}

void BoardProfile_Freeze() { s_bFrozen.store(true); }

const BoardProfile& BoardProfile_Get() { return s_profile; }
const char* Board_Root() { return s_profile.strRoot.c_str(); }
const char* Board_SerialDev() { return s_profile.strSerialDev.c_str(); }

int Board_Snprintf(char* o_pBuf, size_t i_size, const char* i_pFmt, ...) {
    if (o_pBuf == nullptr || i_size == 0) return -1;
    va_list ap;
    va_start(ap, i_pFmt);
    int n = vsnprintf(o_pBuf, i_size, i_pFmt, ap);
    va_end(ap);
    if (n < 0 || (size_t)n >= i_size) {
        o_pBuf[0] = '\0';
        qx_printf("###### text of %d bytes does not fit its %zu-byte buffer, not used\n", n, i_size);
        return -1;
    }
    return n;
}

char* Board_Path(char* o_pBuf, size_t i_size, const char* i_pPath) {
    Board_Snprintf(o_pBuf, i_size, "%s%s", s_profile.strRoot.c_str(), i_pPath ? i_pPath : "");
    return o_pBuf;
}

void Board_usleep(uint64_t i_u64Us) { Clock_SleepUs(i_u64Us); }

void Board_sleep(unsigned i_u32Sec) { Clock_SleepUs((uint64_t)i_u32Sec * 1000000u); }

int Board_System(const char* i_pCmd) {
    if (s_profile.pfnShell != nullptr) return s_profile.pfnShell(i_pCmd);
    return system(i_pCmd);
}

int Board_Reboot() { return Board_System(s_profile.strRebootCmd.c_str()); }
