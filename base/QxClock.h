// The agent's clock: every pause, every wait with a time-out, every condition
// wait and every reading of the time passes here. On the board no clock is
// installed and each call is the plain system call it stands for. A simulation
// installs a clock of its own (virtual time, or a scaled wall clock) before the
// agent's first thread starts; the agent's code is the same either way.
#pragma once

#include <poll.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/select.h>
#include <sys/time.h>
#include <time.h>

// What a simulation's clock provides. Time-outs and deadlines are in the
// clock's own time; a negative time-out means no limit.
class QxClock {
public:
    virtual ~QxClock() = default;
    // CLOCK_MONOTONIC or CLOCK_REALTIME, as clock_gettime.
    virtual void Now(clockid_t i_id, struct timespec* o_pTs) = 0;
    virtual void Sleep(uint64_t i_u64Ns) = 0;
    // As poll(), the time-out in nanoseconds.
    virtual int Poll(struct pollfd* io_pFds, nfds_t i_n, int64_t i_s64TimeoutNs) = 0;
    // As pthread_cond_timedwait with the deadline on the monotonic clock
    // (null: no limit). The mutex is held on entry and on return.
    virtual int CondWait(pthread_cond_t* i_pCond, pthread_mutex_t* i_pMutex, const struct timespec* i_pMonoDeadline) = 0;
    virtual void CondBroadcast(pthread_cond_t* i_pCond) = 0;
    // As pthread_create; the clock learns of the thread before it runs.
    virtual int ThreadCreate(pthread_t* o_pTid, const pthread_attr_t* i_pAttr, void* (*i_fn)(void*), void* i_pArg) = 0;
    // Returns once at most i_uKeep of the bytes written to the serial port
    // have not left it yet.
    virtual void Drain(int i_fd, size_t i_uKeep) {
        (void)i_fd;
        (void)i_uKeep;
    }
};

// Installs the process's clock (null: the system's). Once, before any thread
// of the agent starts; the agent reads it without a lock afterwards.
void QxClock_Install(QxClock* i_pClock);
QxClock* QxClock_Installed();

uint64_t Clock_MonoNs();
uint64_t Clock_MonoMs();
// now + i_u32Ms on the monotonic clock, for Clock_CondTimedWait.
void Clock_MonoDeadline(struct timespec* o_pTs, uint32_t i_u32Ms);
time_t Clock_Time();
void Clock_TimeOfDay(struct timeval* o_pTv);

void Clock_SleepUs(uint64_t i_u64Us);
int Clock_Poll(struct pollfd* io_pFds, nfds_t i_n, int i_s32TimeoutMs);
// As ppoll() without a signal mask (null: no limit).
int Clock_PPoll(struct pollfd* io_pFds, nfds_t i_n, const struct timespec* i_pTimeout);
// As select() on descriptors below FD_SETSIZE; the time-out is not updated.
int Clock_Select(int i_s32Nfds, fd_set* io_pRead, fd_set* io_pWrite, fd_set* io_pExcept, const struct timeval* i_pTv);
int Clock_CondWait(pthread_cond_t* i_pCond, pthread_mutex_t* i_pMutex);
// The deadline on the monotonic clock (see Clock_MonoDeadline); the condition
// must have been set up with CLOCK_MONOTONIC.
int Clock_CondTimedWait(pthread_cond_t* i_pCond, pthread_mutex_t* i_pMutex, const struct timespec* i_pMonoDeadline);
int Clock_CondBroadcast(pthread_cond_t* i_pCond);
// Before the serial port's speed changes: returns once what was written to
// it has gone out. On the board stty itself waits for that, so this does
// nothing there.
void Clock_Drain(int i_fd);
// After a write to the serial port: returns once the port's transmit buffer
// (QX_TX_BUFFER bytes) has room again. On the board the write itself waits
// for that (or takes less), so this does nothing there.
#define QX_TX_BUFFER 4096
void Clock_TxRoom(int i_fd);
int Clock_ThreadCreate(pthread_t* o_pTid, const pthread_attr_t* i_pAttr, void* (*i_fn)(void*), void* i_pArg);
