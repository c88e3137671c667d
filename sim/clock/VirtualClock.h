// Time for the emulated board and the agent running beside it.
//
// VirtualClock: the threads taking part run one at a time, like the events of
// a discrete-event simulation. The one that runs keeps going until it waits on
// the clock (a pause, a poll with a time-out, a condition wait); then the
// waiting thread with the lowest number whose wait is over (its descriptor is
// ready, it was notified, its deadline came) runs next. When none is, time
// jumps to the earliest deadline. A run costs only its processor work, and it
// is the same run, to the nanosecond, on a loaded machine and an idle one.
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
    void Drain(int fd, size_t keep) override;
    // What Drain() waits for: the emulated line carrying what the agent wrote
    // until at most `keep` bytes are left.
    void setDrain(std::function<void(size_t keep)> drain);

    // Nanoseconds on the monotonic clock.
    uint64_t nowNs() const;
    // Lets every other thread that can run at this instant run first: what
    // they do now is done when this returns (all the bytes written now are
    // written).
    void settle();
    // The calling thread takes part (once; later calls do nothing) until it
    // ends or calls leave(); it runs when its turn comes. A thread that waits
    // on the clock without having enrolled is enrolled then.
    void enroll(const std::string& name);
    void leave();
    // A thread that takes part from before it runs until it ends.
    std::thread spawn(const std::string& name, std::function<void()> fn);
    // While set, the calling thread runs outside the turns and does not hold
    // time back (it waits on something outside the clock: a join, a child
    // process, real time).
    void standAside(bool aside);

    // A wait on a condition of the caller's: `unlock` releases the caller's
    // lock for the wait, `relock` takes it again. Returns true when
    // notify(key) ended it, false at the deadline (ns, UINT64_MAX: none).
    bool waitKeyed(const void* key, uint64_t deadlineNs, const std::function<void()>& unlock,
                   const std::function<void()>& relock);
    void notify(const void* key);

    uint64_t advances() const;  // how many times time moved
    uint64_t turns() const;     // how many times a thread was given its turn

    struct Participant;

private:
    Participant* self();
    Participant* add(const std::string& name);  // mu_ held
    // The caller's wait, set up in p: gives the turn away and returns with
    // the turn back (lock on mu_).
    void wait(Participant* p, std::unique_lock<std::mutex>& lock);
    void awaitTurn(Participant* p, std::unique_lock<std::mutex>& lock);
    void passTurn();        // mu_ held, nobody's turn: the next one's, time moved if need be
    void passTurnIfFree();  // mu_ held

    mutable std::mutex mu_;
    uint64_t now_;
    int64_t wallOffsetNs_;  // wall = monotonic + offset
    uint64_t advances_ = 0, turns_ = 0;
    int nextId_ = 0;
    bool reportedStuck_ = false;
    Participant* turn_ = nullptr;  // the thread that runs
    std::vector<Participant*> parts_;
    std::function<void(size_t)> drain_;  // under mu_
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
