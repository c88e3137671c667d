// Virtual time: waits end at their board times exactly, in an order that
// does not depend on the machine, and time moves only when every thread waits.
#include <gtest/gtest.h>
#include <unistd.h>

#include <mutex>
#include <string>
#include <vector>

#include "VirtualClock.h"

namespace {

double Seconds() { return (double)Clock_MonoNs() / 1e9; }

// What the threads did, with the board time of each step.
struct Log {
    double t0 = Seconds();
    std::mutex mutex;
    std::vector<std::string> lines;
    void add(const std::string& what) {
        char at[32];
        snprintf(at, sizeof(at), "%.6f ", Seconds() - t0);
        std::lock_guard<std::mutex> lock(mutex);
        lines.push_back(at + what);
    }
};

}  // namespace

TEST(VirtualClock, WaitsEndAtTheirBoardTimesInNumberOrder) {
    sim::VirtualClock& clock = sim::UseVirtualTime();
    const uint64_t t0 = clock.nowNs();
    Log log;  // after the clock: times from its start
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    std::mutex mutex;
    std::condition_variable cv;
    bool flag = false;
    std::vector<std::thread> threads;
    // A sleeper, a poller that a write ends early, a condition that a notify
    // ends early, and two sleepers due at one instant: the first started runs first.
    threads.push_back(sim::StartThread("sleeper", [&] {
        sim::SleepFor(std::chrono::seconds(5));
        log.add("slept 5 s");
    }));
    threads.push_back(sim::StartThread("poller", [&] {
        struct pollfd p = {fds[0], POLLIN, 0};
        int r = sim::PollFor(&p, 1, 10000);
        log.add("poll " + std::to_string(r));
    }));
    threads.push_back(sim::StartThread("waiter", [&] {
        std::unique_lock<std::mutex> lock(mutex);
        bool got = sim::WaitFor(lock, cv, std::chrono::seconds(30), [&] { return flag; });
        log.add(got ? "notified" : "timed out");
    }));
    threads.push_back(sim::StartThread("writer", [&] {
        sim::SleepFor(std::chrono::milliseconds(2500));
        log.add("write");
        ASSERT_EQ(write(fds[1], "x", 1), 1);
        sim::SleepFor(std::chrono::milliseconds(500));
        {
            std::lock_guard<std::mutex> lock(mutex);
            flag = true;
        }
        log.add("notify");
        sim::NotifyAll(cv);
    }));
    threads.push_back(sim::StartThread("tie a", [&] {
        sim::SleepFor(std::chrono::seconds(7));
        log.add("tie a");
    }));
    threads.push_back(sim::StartThread("tie b", [&] {
        sim::SleepFor(std::chrono::seconds(7));
        log.add("tie b");
    }));
    // A wait on the clock with no deadline of its own: this thread waits too.
    sim::SleepFor(std::chrono::seconds(8));
    for (auto& t : threads) sim::JoinThread(t);
    close(fds[0]);
    close(fds[1]);
    EXPECT_EQ(log.lines, (std::vector<std::string>{"2.500000 write", "2.500000 poll 1", "3.000000 notify",
                                                   "3.000000 notified", "5.000000 slept 5 s", "7.000000 tie a",
                                                   "7.000000 tie b"}));
    EXPECT_GE(clock.nowNs() - t0, 8000000000ull);
}

// An agent condition wait (the channel's, through the seam) ends at its
// deadline on the board clock, or at once when broadcast.
TEST(VirtualClock, AgentConditionWaitsEndAtTheDeadlineOrTheBroadcast) {
    sim::UseVirtualTime();
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    double start = Seconds();
    struct timespec deadline;
    Clock_MonoDeadline(&deadline, 1500);
    pthread_mutex_lock(&mutex);
    EXPECT_EQ(Clock_CondTimedWait(&cond, &mutex, &deadline), ETIMEDOUT);
    pthread_mutex_unlock(&mutex);
    EXPECT_DOUBLE_EQ(Seconds() - start, 1.5);
    std::thread b = sim::StartThread("broadcaster", [&] {
        Clock_SleepUs(250000);
        pthread_mutex_lock(&mutex);
        Clock_CondBroadcast(&cond);
        pthread_mutex_unlock(&mutex);
    });
    start = Seconds();
    Clock_MonoDeadline(&deadline, 60000);
    pthread_mutex_lock(&mutex);
    EXPECT_EQ(Clock_CondTimedWait(&cond, &mutex, &deadline), 0);
    pthread_mutex_unlock(&mutex);
    EXPECT_DOUBLE_EQ(Seconds() - start, 0.25);
    sim::JoinThread(b);
}
