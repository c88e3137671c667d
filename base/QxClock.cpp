#include "QxClock.h"

#include <errno.h>

#include <atomic>

namespace {
// Set before the agent's threads start; atomic so that a harness installing
// one while a thread of its own already reads it is still well defined.
std::atomic<QxClock*> s_clock{nullptr};

uint64_t TsNs(const struct timespec& i_ts) { return (uint64_t)i_ts.tv_sec * 1000000000u + (uint64_t)i_ts.tv_nsec; }

void Now(clockid_t i_id, struct timespec* o_pTs) {
    if (QxClock* pClock = QxClock_Installed())
        pClock->Now(i_id, o_pTs);
    else
        clock_gettime(i_id, o_pTs);
}
}  // namespace

void QxClock_Install(QxClock* i_pClock) { s_clock.store(i_pClock, std::memory_order_release); }
QxClock* QxClock_Installed() { return s_clock.load(std::memory_order_acquire); }

uint64_t Clock_MonoNs() {
    struct timespec ts;
    Now(CLOCK_MONOTONIC, &ts);
    return TsNs(ts);
}

uint64_t Clock_MonoMs() { return Clock_MonoNs() / 1000000u; }

void Clock_MonoDeadline(struct timespec* o_pTs, uint32_t i_u32Ms) {
    Now(CLOCK_MONOTONIC, o_pTs);
    o_pTs->tv_sec += (time_t)(i_u32Ms / 1000u);
    o_pTs->tv_nsec += (long)(i_u32Ms % 1000u) * 1000000L;
    if (o_pTs->tv_nsec >= 1000000000L) {
        o_pTs->tv_sec++;
        o_pTs->tv_nsec -= 1000000000L;
    }
}

time_t Clock_Time() {
    QxClock* const pClock = QxClock_Installed();
    if (pClock == nullptr) return time(nullptr);
    struct timespec ts;
    pClock->Now(CLOCK_REALTIME, &ts);
    return ts.tv_sec;
}

void Clock_TimeOfDay(struct timeval* o_pTv) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock == nullptr) {
        gettimeofday(o_pTv, nullptr);
        return;
    }
    struct timespec ts;
    pClock->Now(CLOCK_REALTIME, &ts);
    o_pTv->tv_sec = ts.tv_sec;
    o_pTv->tv_usec = (suseconds_t)(ts.tv_nsec / 1000);
}

void Clock_SleepUs(uint64_t i_u64Us) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock != nullptr) {
        pClock->Sleep(i_u64Us * 1000u);
        return;
    }
    struct timespec ts;
    ts.tv_sec = (time_t)(i_u64Us / 1000000u);
    ts.tv_nsec = (long)(i_u64Us % 1000000u) * 1000;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int Clock_Poll(struct pollfd* io_pFds, nfds_t i_n, int i_s32TimeoutMs) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock == nullptr) return poll(io_pFds, i_n, i_s32TimeoutMs);
    return pClock->Poll(io_pFds, i_n, i_s32TimeoutMs < 0 ? -1 : (int64_t)i_s32TimeoutMs * 1000000);
}

int Clock_PPoll(struct pollfd* io_pFds, nfds_t i_n, const struct timespec* i_pTimeout) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock == nullptr) return ppoll(io_pFds, i_n, i_pTimeout, nullptr);
    return pClock->Poll(io_pFds, i_n, i_pTimeout == nullptr ? -1 : (int64_t)TsNs(*i_pTimeout));
}

int Clock_Select(int i_s32Nfds, fd_set* io_pRead, fd_set* io_pWrite, fd_set* io_pExcept, const struct timeval* i_pTv) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock == nullptr) {
        struct timeval tv;
        if (i_pTv != nullptr) tv = *i_pTv;
        return select(i_s32Nfds, io_pRead, io_pWrite, io_pExcept, i_pTv != nullptr ? &tv : nullptr);
    }
    // The same wait as poll(): one entry a descriptor named in any set.
    struct pollfd aFds[FD_SETSIZE];
    nfds_t n = 0;
    for (int fd = 0; fd < i_s32Nfds && fd < FD_SETSIZE; fd++) {
        short sEvents = 0;
        if (io_pRead != nullptr && FD_ISSET(fd, io_pRead)) sEvents |= POLLIN;
        if (io_pWrite != nullptr && FD_ISSET(fd, io_pWrite)) sEvents |= POLLOUT;
        if (io_pExcept != nullptr && FD_ISSET(fd, io_pExcept)) sEvents |= POLLPRI;
        if (sEvents != 0) aFds[n++] = {fd, sEvents, 0};
    }
    int64_t s64Ns = i_pTv == nullptr ? -1 : (int64_t)i_pTv->tv_sec * 1000000000 + (int64_t)i_pTv->tv_usec * 1000;
    int nRet = pClock->Poll(aFds, n, s64Ns);
    if (nRet < 0) return nRet;
    if (io_pRead != nullptr) FD_ZERO(io_pRead);
    if (io_pWrite != nullptr) FD_ZERO(io_pWrite);
    if (io_pExcept != nullptr) FD_ZERO(io_pExcept);
    int nReady = 0;
    for (nfds_t i = 0; i < n; i++) {
        bool bAny = false;
        // A hang-up or an error reads as readable, as select() has it.
        if (io_pRead != nullptr && (aFds[i].events & POLLIN) && (aFds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
            FD_SET(aFds[i].fd, io_pRead);
            bAny = true;
        }
        if (io_pWrite != nullptr && (aFds[i].events & POLLOUT) && (aFds[i].revents & (POLLOUT | POLLERR))) {
            FD_SET(aFds[i].fd, io_pWrite);
            bAny = true;
        }
        if (io_pExcept != nullptr && (aFds[i].revents & POLLPRI)) {
            FD_SET(aFds[i].fd, io_pExcept);
            bAny = true;
        }
        if (bAny) nReady++;
    }
    return nReady;
}

int Clock_CondWait(pthread_cond_t* i_pCond, pthread_mutex_t* i_pMutex) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock == nullptr) return pthread_cond_wait(i_pCond, i_pMutex);
    return pClock->CondWait(i_pCond, i_pMutex, nullptr);
}

int Clock_CondTimedWait(pthread_cond_t* i_pCond, pthread_mutex_t* i_pMutex, const struct timespec* i_pMonoDeadline) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock == nullptr) return pthread_cond_timedwait(i_pCond, i_pMutex, i_pMonoDeadline);
    return pClock->CondWait(i_pCond, i_pMutex, i_pMonoDeadline);
}

int Clock_CondBroadcast(pthread_cond_t* i_pCond) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock == nullptr) return pthread_cond_broadcast(i_pCond);
    pClock->CondBroadcast(i_pCond);
    return 0;
}

void Clock_Drain(int i_fd) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock != nullptr) pClock->Drain(i_fd, 0);
}

void Clock_TxRoom(int i_fd) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock != nullptr) pClock->Drain(i_fd, QX_TX_BUFFER);
}

int Clock_ThreadCreate(pthread_t* o_pTid, const pthread_attr_t* i_pAttr, void* (*i_fn)(void*), void* i_pArg) {
    QxClock* const pClock = QxClock_Installed();
    if (pClock == nullptr) return pthread_create(o_pTid, i_pAttr, i_fn, i_pArg);
    return pClock->ThreadCreate(o_pTid, i_pAttr, i_fn, i_pArg);
}
