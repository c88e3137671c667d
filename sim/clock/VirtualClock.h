// Time for the emulated board and the agent running beside it.
//
// VirtualClock: time moves only when every thread taking part waits on the
// clock (a pause, a poll with a time-out, a condition wait) and no byte is in
// flight on any descriptor one of them polls; then it jumps to the earliest
// deadline. A run costs only its processor work, and a loaded machine changes
// how long it takes, never what happens in it.
//
// ScaledClock: the wall clock, every duration times a factor (to watch a run
// live at a fiftieth of the board's pace, or at the board's own).
//
// Sim code waits through the helpers at the end, whichever clock is installed.
#pragma once

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "QxClock.h"

namespace sim {

class VirtualClock : public QxClock {
public:
    VirtualClock();
    ~VirtualClock() override;
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    void Now(clockid_t id, struct timespec* ts) override;
    void Sleep(uint64_t ns) override;
    int Poll(struct pollfd* fds, nfds_t n, int64_t timeoutNs) override;
    int CondWait(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* monoDeadline) override;
    void CondBroadcast(pthread_cond_t* cond) override;
    int ThreadCreate(pthread_t* tid, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) override;
    void Drain(int fd) override;
    // What Drain() waits for: the emulated line taking what the agent wrote.
    void setDrain(std::function<void()> drain);

    // Nanoseconds on the monotonic clock.
    uint64_t nowNs() const;
    // Returns once every other thread taking part waits: what they do at this
    // instant is done (all the bytes written now are written).
    void settle();
    // The calling thread takes part (once; later calls do nothing) until it
    // ends or calls leave(). A thread that waits on the clock without having
    // enrolled is enrolled then.
    void enroll(const std::string& name);
    void leave();
    // A thread that takes part from before it runs until it ends.
    std::thread spawn(const std::string& name, std::function<void()> fn);
    // While set, the calling thread does not hold time back (it waits on
    // something outside the clock: a join, a child process, real time).
    void standAside(bool aside);

    // A wait on a condition of the caller's: `realWait` waits for it in real
    // time for a moment (a few ms at most) with the caller's lock released,
    // `kick` wakes such a wait (without the caller's lock). Returns true when
    // notify(key) woke it, false at the deadline (ns, UINT64_MAX: none).
    bool waitKeyed(const void* key, uint64_t deadlineNs, const std::function<void()>& realWait,
                   std::function<void()> kick);
    void notify(const void* key);

    uint64_t advances() const;  // how many times time moved

    struct Participant;

private:
    Participant* self();
    void block(Participant* p);    // mu_ held
    void unblock(Participant* p);  // mu_ held
    void maybeAdvance();           // mu_ held
    void wake(Participant* p);     // mu_ held

    mutable std::mutex mu_;
    uint64_t now_;
    int64_t wallOffsetNs_;  // wall = monotonic + offset
    size_t enrolled_ = 0, blocked_ = 0;
    uint64_t advances_ = 0;
    bool reportedStuck_ = false;
    std::vector<Participant*> parts_;
    std::function<void()> drain_;  // under mu_
};

class ScaledClock : public QxClock {
public:
    // scale: real seconds a board second takes; floorUs: the shortest real
    // wait a non-zero one becomes.
    explicit ScaledClock(double scale, uint32_t floorUs = 0);
    void Now(clockid_t id, struct timespec* ts) override;
    void Sleep(uint64_t ns) override;
    int Poll(struct pollfd* fds, nfds_t n, int64_t timeoutNs) override;
    int CondWait(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* monoDeadline) override;
    void CondBroadcast(pthread_cond_t* cond) override;
    int ThreadCreate(pthread_t* tid, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) override;
    uint64_t realNs(uint64_t boardNs) const;
    double scale() const { return scale_; }

private:
    double scale_;
    uint64_t floorNs_;
    struct timespec monoStart_, realStart_;
};

// Installs the process's virtual clock (made once; later calls install the
// same one) and enrolls the calling thread. Before any agent thread starts.
// A test program runs all its tests on one kind of clock: threads left
// waiting on another clock would wait for ever.
VirtualClock& UseVirtualTime();
// Installs a scaled wall clock (scale 1: the board's pace). Before any agent thread starts.
void UseScaledTime(double scale, uint32_t floorUs = 0);
// The clock for a time scale as the rigs and fwtool take it: 0 virtual time,
// 1 the system's clock (nothing installed), otherwise a scaled wall clock
// whose waits are at least 2 ms. Before any agent thread starts.
void UseTimeScale(double scale);
// The virtual clock when it is the installed one, else null.
VirtualClock* Virtual();

// A std::chrono clock on the installed clock's monotonic time.
struct BoardClock {
    using duration = std::chrono::nanoseconds;
    using rep = duration::rep;
    using period = duration::period;
    using time_point = std::chrono::time_point<BoardClock>;
    static constexpr bool is_steady = true;
    static time_point now() { return time_point(duration((rep)Clock_MonoNs())); }
};

// Board seconds since the epoch on the installed clock.
double BoardWallSeconds();

// Sim threads: started through these they take part in virtual time.
std::thread StartThread(const std::string& name, std::function<void()> fn);
// Joins a thread started with StartThread without holding time back.
void JoinThread(std::thread& t);
// The calling thread stands aside while it lives.
class ClockAside {
public:
    ClockAside();
    ~ClockAside();
    ClockAside(const ClockAside&) = delete;
    ClockAside& operator=(const ClockAside&) = delete;
};

void SleepFor(std::chrono::nanoseconds d);
// On virtual time: returns once every other thread waits (see VirtualClock::settle).
void Settle();
// As poll(), the time-out in board milliseconds (-1: none).
int PollFor(struct pollfd* fds, nfds_t n, int timeoutMs);

// Waits on cv (its lock held) until pred holds or `timeout` of board time
// passed; returns pred(). Wakers call NotifyAll(cv).
bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, std::chrono::nanoseconds timeout,
             const std::function<bool()>& pred);
void NotifyAll(std::condition_variable& cv);

}  // namespace sim
