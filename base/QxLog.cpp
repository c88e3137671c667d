#include "QxLog.h"

#include <errno.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <string>

namespace {
std::mutex s_hookMutex;
QxLogHook s_hook = nullptr;
void* s_pHookUser = nullptr;
std::atomic<bool> s_bQuiet{false};
std::atomic<bool> s_bHooked{false};

void Emit(int i_s32Stream, const char* i_pText, size_t i_len) {
    if (!s_bQuiet.load(std::memory_order_relaxed)) {
        FILE* fp = (i_s32Stream == QXLOG_STDERR) ? stderr : stdout;
        fwrite(i_pText, 1, i_len, fp);
    }
    std::lock_guard<std::mutex> lock(s_hookMutex);
    if (s_hook) s_hook(i_s32Stream, i_pText, i_len, s_pHookUser);
}

int VEmit(int i_s32Stream, const char* i_pFmt, va_list i_ap) {
    if (!QxLog_Heard()) return 0;  // formatting nobody reads costs more than the work it logs
    char szBuf[2048];
    va_list ap2;
    va_copy(ap2, i_ap);
    int n = vsnprintf(szBuf, sizeof(szBuf), i_pFmt, i_ap);
    if (n < 0) {
        va_end(ap2);
        return n;
    }
    if ((size_t)n < sizeof(szBuf)) {
        Emit(i_s32Stream, szBuf, (size_t)n);
    } else {
        std::string strBig((size_t)n + 1, '\0');
        vsnprintf(&strBig[0], strBig.size(), i_pFmt, ap2);
        Emit(i_s32Stream, strBig.data(), (size_t)n);
    }
    va_end(ap2);
    return n;
}
}  // namespace

int qx_printf(const char* i_pFmt, ...) {
    va_list ap;
    va_start(ap, i_pFmt);
    int n = VEmit(QXLOG_STDOUT, i_pFmt, ap);
    va_end(ap);
    return n;
}

int qx_eprintf(const char* i_pFmt, ...) {
    va_list ap;
    va_start(ap, i_pFmt);
    int n = VEmit(QXLOG_STDERR, i_pFmt, ap);
    va_end(ap);
    return n;
}

void qx_puts(const char* i_pText) { qx_printf("%s\n", i_pText ? i_pText : "(null)"); }

void qx_perror(const char* i_pPrefix) {
    int nErr = errno;
    char szErr[256];
    const char* pText = strerror_r(nErr, szErr, sizeof(szErr));
    if (i_pPrefix && *i_pPrefix)
        qx_eprintf("%s: %s\n", i_pPrefix, pText);
    else
        qx_eprintf("%s\n", pText);
    errno = nErr;
}

void QxLog_SetHook(QxLogHook i_hook, void* i_pUser) {
    std::lock_guard<std::mutex> lock(s_hookMutex);
    s_hook = i_hook;
    s_pHookUser = i_pUser;
    s_bHooked.store(i_hook != nullptr);
}

void QxLog_SetQuiet(bool i_bQuiet) { s_bQuiet.store(i_bQuiet); }

bool QxLog_Heard() { return !s_bQuiet.load(std::memory_order_relaxed) || s_bHooked.load(std::memory_order_relaxed); }
