// Set-up shared by the fuzz targets: a quiet log and a board profile on a
// fast clock whose shell commands are recorded instead of run.
#pragma once

#include <stdlib.h>
#include <sys/prctl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BoardProfile.h"
#include "QxClock.h"
#include "QxLog.h"

namespace fuzzboard {

// The wall clock with every duration times a factor.
class FastClock : public QxClock {
public:
    explicit FastClock(double i_dScale) : m_dScale(i_dScale) { clock_gettime(CLOCK_MONOTONIC, &m_start); }
    void Now(clockid_t i_id, struct timespec* o_pTs) override {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        double dNs = ((double)(now.tv_sec - m_start.tv_sec) * 1e9 + (double)(now.tv_nsec - m_start.tv_nsec)) / m_dScale;
        uint64_t u = (uint64_t)m_start.tv_sec * 1000000000u + (uint64_t)m_start.tv_nsec + (uint64_t)dNs;
        if (i_id == CLOCK_REALTIME) u += 1700000000ull * 1000000000u;
        o_pTs->tv_sec = (time_t)(u / 1000000000u);
        o_pTs->tv_nsec = (long)(u % 1000000000u);
    }
    void Sleep(uint64_t i_u64Ns) override {
        struct timespec ts = Real(i_u64Ns);
        nanosleep(&ts, nullptr);
    }
    int Poll(struct pollfd* io_pFds, nfds_t i_n, int64_t i_s64TimeoutNs) override {
        if (i_s64TimeoutNs < 0) return poll(io_pFds, i_n, -1);
        struct timespec ts = Real((uint64_t)i_s64TimeoutNs);
        return ppoll(io_pFds, i_n, &ts, nullptr);
    }
    int CondWait(pthread_cond_t* i_pCond, pthread_mutex_t* i_pMutex, const struct timespec* i_pDeadline) override {
        if (i_pDeadline == nullptr) return pthread_cond_wait(i_pCond, i_pMutex);
        struct timespec now, real;
        Now(CLOCK_MONOTONIC, &now);
        double dLeft = (double)(i_pDeadline->tv_sec - now.tv_sec) * 1e9 + (double)(i_pDeadline->tv_nsec - now.tv_nsec);
        struct timespec wait = Real(dLeft > 0 ? (uint64_t)dLeft : 0);
        clock_gettime(CLOCK_MONOTONIC, &real);
        real.tv_sec += wait.tv_sec;
        real.tv_nsec += wait.tv_nsec;
        if (real.tv_nsec >= 1000000000L) {
            real.tv_sec++;
            real.tv_nsec -= 1000000000L;
        }
        return pthread_cond_clockwait(i_pCond, i_pMutex, CLOCK_MONOTONIC, &real);
    }
    void CondBroadcast(pthread_cond_t* i_pCond) override { pthread_cond_broadcast(i_pCond); }
    int ThreadCreate(pthread_t* o_pTid, const pthread_attr_t* i_pAttr, void* (*i_fn)(void*), void* i_pArg) override {
        return pthread_create(o_pTid, i_pAttr, i_fn, i_pArg);
    }

private:
    struct timespec Real(uint64_t i_u64Ns) const {
        uint64_t u = i_u64Ns == 0 ? 0 : (uint64_t)((double)i_u64Ns * m_dScale) + 1;
        return {(time_t)(u / 1000000000u), (long)(u % 1000000000u)};
    }
    double m_dScale;
    struct timespec m_start;
};

inline std::vector<std::string>& Commands() {
    static std::vector<std::string> s_commands;
    return s_commands;
}

inline int RecordCommand(const char* i_pCmd) {
    Commands().push_back(i_pCmd ? i_pCmd : "");
    return 0;
}

// Once per process: a private root under TMPDIR, time i_dScale times real time.
inline const std::string& Init(double i_dScale) {
    static std::string s_root;
    if (!s_root.empty()) return s_root;
    QxLog_SetQuiet(getenv("FUZZ_VERBOSE") == nullptr);  // the agent's log, when replaying one input
    prctl(PR_SET_TIMERSLACK, 1UL);                      // a scaled pause lasts its microseconds, not 50 more
    const char* pTmp = getenv("TMPDIR");
    std::string strTemplate = std::string(pTmp && *pTmp ? pTmp : "/tmp") + "/fuzzroot.XXXXXX";
    std::vector<char> name(strTemplate.begin(), strTemplate.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) abort();
    s_root = name.data();
    atexit([] { std::filesystem::remove_all(s_root); });
    BoardProfile profile;
    profile.strRoot = s_root;
    QxClock_Install(new FastClock(i_dScale));  // for the life of the process
    profile.strRebootCmd = "reboot-stub";
    profile.pfnShell = RecordCommand;
    if (BoardProfile_Set(profile) != 0) abort();
    return s_root;
}

}  // namespace fuzzboard
