#include "VirtualClock.h"

#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

namespace sim {

namespace {
const uint64_t kNever = UINT64_MAX;
// Monotonic time starts here: whole seconds, the same in every run.
const uint64_t kOrigin = 1000ull * 1000000000ull;

uint64_t TsNs(const struct timespec& ts) { return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec; }
struct timespec NsTs(uint64_t ns) {
    struct timespec ts;
    ts.tv_sec = (time_t)(ns / 1000000000ull);
    ts.tv_nsec = (long)(ns % 1000000000ull);
    return ts;
}
uint64_t AddSat(uint64_t a, uint64_t b) { return a > kNever - b ? kNever : a + b; }

std::atomic<VirtualClock*> g_virtual{nullptr};
ScaledClock* g_scaled = nullptr;
}  // namespace

struct VirtualClock::Participant {
    enum Kind { kNone, kSleep, kFds, kKeyed };
    int id = 0;
    std::string name;
    Kind kind = kNone;
    bool waiting = false;   // in a wait of the clock
    bool ready = false;     // its wait is over: it runs when its turn comes
    bool settling = false;  // runs only when nobody else can
    bool aside = false;
    bool notified = false;
    uint64_t deadline = kNever;
    const void* key = nullptr;
    std::vector<struct pollfd> fds;
    std::condition_variable cv;  // its turn came
};

namespace {
thread_local VirtualClock::Participant* tl_self = nullptr;
// A thread that took part leaves when it ends.
struct LeaveAtExit {
    ~LeaveAtExit() {
        if (tl_self != nullptr)
            if (VirtualClock* v = g_virtual.load()) v->leave();
    }
};
thread_local LeaveAtExit tl_leave;

struct Trampoline {
    VirtualClock* clock;
    VirtualClock::Participant* part;
    void* (*fn)(void*);
    void* arg;
};
}  // namespace

VirtualClock::VirtualClock() : now_(kOrigin) {
    struct timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    wallOffsetNs_ = (int64_t)wall.tv_sec * 1000000000ll - (int64_t)kOrigin;
}

VirtualClock::~VirtualClock() {
    for (Participant* p : parts_) delete p;
}

uint64_t VirtualClock::nowNs() const {
    std::lock_guard<std::mutex> lock(mu_);
    return now_;
}

uint64_t VirtualClock::advances() const {
    std::lock_guard<std::mutex> lock(mu_);
    return advances_;
}

uint64_t VirtualClock::turns() const {
    std::lock_guard<std::mutex> lock(mu_);
    return turns_;
}

void VirtualClock::Now(clockid_t id, struct timespec* ts) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t ns = now_;
    if (id == CLOCK_REALTIME) ns = (uint64_t)((int64_t)ns + wallOffsetNs_);
    *ts = NsTs(ns);
}

VirtualClock::Participant* VirtualClock::add(const std::string& name) {
    auto* p = new Participant;
    p->id = nextId_++;
    p->name = name;
    parts_.push_back(p);
    return p;
}

VirtualClock::Participant* VirtualClock::self() {
    (void)&tl_leave;
    if (tl_self == nullptr) {
        // A thread of its own making: it takes part from its first wait on.
        std::lock_guard<std::mutex> lock(mu_);
        tl_self = add("thread");
    }
    return tl_self;
}

void VirtualClock::enroll(const std::string& name) {
    (void)&tl_leave;
    std::unique_lock<std::mutex> lock(mu_);
    if (tl_self != nullptr) return;
    Participant* p = add(name);
    tl_self = p;
    if (turn_ == nullptr && !std::any_of(parts_.begin(), parts_.end(), [](Participant* q) { return q->ready; })) {
        turn_ = p;  // the first to take part runs at once
        return;
    }
    p->ready = true;
    passTurnIfFree();
    awaitTurn(p, lock);
}

void VirtualClock::leave() {
    std::lock_guard<std::mutex> lock(mu_);
    Participant* p = tl_self;
    if (p == nullptr) return;
    tl_self = nullptr;
    parts_.erase(std::remove(parts_.begin(), parts_.end(), p), parts_.end());
    bool hadTurn = turn_ == p;
    delete p;
    if (hadTurn) {
        turn_ = nullptr;
        passTurn();
    }
}

void VirtualClock::standAside(bool aside) {
    Participant* p = self();
    std::unique_lock<std::mutex> lock(mu_);
    if (p->aside == aside) return;
    p->aside = aside;
    if (aside) {
        if (turn_ == p) {
            turn_ = nullptr;
            passTurn();
        }
        return;
    }
    p->ready = true;
    passTurnIfFree();
    awaitTurn(p, lock);
}

void VirtualClock::passTurnIfFree() {
    if (turn_ == nullptr) passTurn();
}

void VirtualClock::awaitTurn(Participant* p, std::unique_lock<std::mutex>& lock) {
    p->cv.wait(lock, [&] { return turn_ == p; });
}

void VirtualClock::wait(Participant* p, std::unique_lock<std::mutex>& lock) {
    // A thread outside the turns takes its turn for the wait and gives it up after.
    bool aside = p->aside;
    p->aside = false;
    p->waiting = true;
    p->ready = false;
    if (turn_ == p) turn_ = nullptr;
    passTurnIfFree();
    awaitTurn(p, lock);
    p->waiting = false;
    p->ready = false;
    if (aside) {
        p->aside = true;
        turn_ = nullptr;
        passTurn();
    }
}

void VirtualClock::passTurn() {
    for (;;) {
        // Whose wait is over, at this instant? A descriptor that is ready
        // counts: a poll of a pty hands over what the kernel still holds for
        // the reader, so nothing written before is missed.
        // In number order: the first whose wait is over runs (a settling
        // one only when nobody else can), so few descriptors are looked at.
        Participant* next = nullptr;
        Participant* settler = nullptr;
        for (Participant* p : parts_) {
            if (p->aside || (!p->waiting && !p->ready)) continue;
            if (p->settling && settler != nullptr) continue;
            if (!p->ready) {
                if (p->deadline <= now_)
                    p->ready = true;
                else if (p->kind == Participant::kFds && ::poll(p->fds.data(), (nfds_t)p->fds.size(), 0) != 0)
                    p->ready = true;
            }
            if (!p->ready) continue;
            if (!p->settling) {
                next = p;
                break;
            }
            settler = p;
        }
        if (next == nullptr) next = settler;
        if (next != nullptr) {
            turn_ = next;
            turns_++;

            next->cv.notify_one();
            return;
        }
        uint64_t soonest = kNever;
        for (Participant* p : parts_)
            if (!p->aside && p->waiting) soonest = std::min(soonest, p->deadline);
        if (soonest == kNever) {
            // With a thread outside the turns (joining one, say) that may be as meant.
            bool outside = std::any_of(parts_.begin(), parts_.end(), [](Participant* p) { return p->aside; });
            if (!reportedStuck_ && !outside) {
                reportedStuck_ = true;
                std::string who;
                for (Participant* p : parts_)
                    if (p->waiting && !p->aside) who += " " + p->name;
                if (!who.empty())
                    fprintf(stderr, "virtual clock: every thread waits and none has a deadline:%s\n", who.c_str());
            }
            return;  // a thread outside the turns may still end a wait
        }
        reportedStuck_ = false;
        now_ = soonest;
        advances_++;
    }
}

void VirtualClock::Sleep(uint64_t ns) {
    Participant* p = self();
    std::unique_lock<std::mutex> lock(mu_);
    p->kind = Participant::kSleep;
    p->deadline = AddSat(now_, ns);  // 0: the others ready now run first
    wait(p, lock);
    p->kind = Participant::kNone;
    p->deadline = kNever;
}

void VirtualClock::settle() {
    Participant* p = self();
    std::unique_lock<std::mutex> lock(mu_);
    p->kind = Participant::kSleep;
    p->deadline = now_;
    p->settling = true;
    wait(p, lock);
    p->settling = false;
    p->kind = Participant::kNone;
    p->deadline = kNever;
}

int VirtualClock::Poll(struct pollfd* fds, nfds_t n, int64_t timeoutNs) {
    if (timeoutNs == 0) return ::poll(fds, n, 0);
    Participant* p = self();
    {
        std::unique_lock<std::mutex> lock(mu_);
        p->kind = Participant::kFds;
        p->fds.assign(fds, fds + n);
        p->deadline = timeoutNs < 0 ? kNever : AddSat(now_, (uint64_t)timeoutNs);
        wait(p, lock);
        p->kind = Participant::kNone;
        p->deadline = kNever;
        p->fds.clear();
    }
    return ::poll(fds, n, 0);
}

bool VirtualClock::waitKeyed(const void* key, uint64_t deadlineNs, const std::function<void()>& unlock,
                             const std::function<void()>& relock) {
    Participant* p = self();
    bool notified;
    {
        std::unique_lock<std::mutex> lock(mu_);
        if (deadlineNs <= now_) return false;
        p->kind = Participant::kKeyed;
        p->key = key;
        p->deadline = deadlineNs;
        p->notified = false;
        unlock();  // after the wait is known: a notify from now on finds it
        wait(p, lock);
        notified = p->notified;
        p->notified = false;
        p->kind = Participant::kNone;
        p->key = nullptr;
        p->deadline = kNever;
    }
    relock();
    return notified;
}

void VirtualClock::notify(const void* key) {
    std::lock_guard<std::mutex> lock(mu_);
    for (Participant* p : parts_)
        if (p->waiting && !p->ready && p->kind == Participant::kKeyed && p->key == key) p->ready = p->notified = true;
    passTurnIfFree();  // a notify from outside the turns
}

int VirtualClock::CondWait(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* monoDeadline) {
    uint64_t deadline = monoDeadline != nullptr ? TsNs(*monoDeadline) : kNever;
    bool notified = waitKeyed(
        cond, deadline, [mutex] { pthread_mutex_unlock(mutex); }, [mutex] { pthread_mutex_lock(mutex); });
    return notified ? 0 : ETIMEDOUT;
}

void VirtualClock::CondBroadcast(pthread_cond_t* cond) {
    notify(cond);
    pthread_cond_broadcast(cond);
}

int VirtualClock::ThreadCreate(pthread_t* tid, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
    Trampoline* t;
    {
        std::lock_guard<std::mutex> lock(mu_);
        t = new Trampoline{this, add("agent"), fn, arg};
        t->part->ready = true;
    }
    int r = pthread_create(
        tid, attr,
        [](void* a) -> void* {
            auto* tr = static_cast<Trampoline*>(a);
            (void)&tl_leave;
            tl_self = tr->part;
            {
                std::unique_lock<std::mutex> lock(tr->clock->mu_);
                tr->clock->awaitTurn(tr->part, lock);
            }
            void* (*f)(void*) = tr->fn;
            void* farg = tr->arg;
            delete tr;
            return f(farg);
        },
        t);
    if (r != 0) {
        std::lock_guard<std::mutex> lock(mu_);
        parts_.erase(std::remove(parts_.begin(), parts_.end(), t->part), parts_.end());
        delete t->part;
        delete t;
    }
    return r;
}

void VirtualClock::setDrain(std::function<void(size_t)> drain) {
    std::lock_guard<std::mutex> lock(mu_);
    drain_ = std::move(drain);
}

void VirtualClock::Drain(int, size_t keep) {
    std::function<void(size_t)> drain;
    {
        std::lock_guard<std::mutex> lock(mu_);
        drain = drain_;
    }
    if (drain) drain(keep);
}

std::thread VirtualClock::spawn(const std::string& name, std::function<void()> fn) {
    Participant* p;
    {
        std::lock_guard<std::mutex> lock(mu_);
        p = add(name);
        p->ready = true;
    }
    return std::thread([this, p, fn = std::move(fn)] {
        (void)&tl_leave;
        tl_self = p;
        {
            std::unique_lock<std::mutex> lock(mu_);
            awaitTurn(p, lock);
        }
        fn();
    });
}

// ---- the scaled wall clock

ScaledClock::ScaledClock(double scale, uint32_t floorUs) : scale_(scale > 0 ? scale : 1.0), floorNs_(floorUs * 1000ull) {
    clock_gettime(CLOCK_MONOTONIC, &monoStart_);
    clock_gettime(CLOCK_REALTIME, &realStart_);
}

uint64_t ScaledClock::realNs(uint64_t boardNs) const {
    if (boardNs == 0 || boardNs == kNever) return boardNs;
    uint64_t ns = (uint64_t)((double)boardNs * scale_);
    return std::max<uint64_t>({ns, floorNs_, 1});
}

void ScaledClock::Now(clockid_t id, struct timespec* ts) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t real = (int64_t)(TsNs(now) - TsNs(monoStart_));
    int64_t elapsed = (int64_t)((double)real / scale_);
    if (id != CLOCK_REALTIME) {
        *ts = NsTs(TsNs(monoStart_) + (uint64_t)elapsed);
        return;
    }
    // The wall clock keeps the system's steps (set by hand or faked by a
    // test): only the time that passed is scaled.
    struct timespec wall;
    clock_gettime(CLOCK_REALTIME, &wall);
    int64_t step = (int64_t)TsNs(wall) - (int64_t)TsNs(realStart_) - real;
    *ts = NsTs((uint64_t)((int64_t)TsNs(realStart_) + elapsed + step));
}

void ScaledClock::Sleep(uint64_t ns) {
    struct timespec ts = NsTs(realNs(ns));
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int ScaledClock::Poll(struct pollfd* fds, nfds_t n, int64_t timeoutNs) {
    if (timeoutNs < 0) return ::poll(fds, n, -1);
    struct timespec ts = NsTs(realNs((uint64_t)timeoutNs));
    return ppoll(fds, n, &ts, nullptr);
}

int ScaledClock::CondWait(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* monoDeadline) {
    if (monoDeadline == nullptr) return pthread_cond_wait(cond, mutex);
    struct timespec now;
    Now(CLOCK_MONOTONIC, &now);
    uint64_t left = TsNs(*monoDeadline) > TsNs(now) ? TsNs(*monoDeadline) - TsNs(now) : 0;
    struct timespec real;
    clock_gettime(CLOCK_MONOTONIC, &real);
    real = NsTs(TsNs(real) + realNs(left));
    return pthread_cond_clockwait(cond, mutex, CLOCK_MONOTONIC, &real);
}

void ScaledClock::CondBroadcast(pthread_cond_t* cond) { pthread_cond_broadcast(cond); }

int ScaledClock::ThreadCreate(pthread_t* tid, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
    return pthread_create(tid, attr, fn, arg);
}

// ---- installation and helpers

VirtualClock& UseVirtualTime() {
    static VirtualClock* clock = [] {
        auto* c = new VirtualClock;  // lives as long as the process: the agent's threads never end
        g_virtual.store(c);
        return c;
    }();
    if (QxClock_Installed() != clock) QxClock_Install(clock);  // threads already read it
    clock->enroll("main");
    return *clock;
}

void UseScaledTime(double scale, uint32_t floorUs) {
    if (g_scaled == nullptr || g_scaled->scale() != scale) g_scaled = new ScaledClock(scale, floorUs);
    if (QxClock_Installed() != g_scaled) QxClock_Install(g_scaled);
}

void UseTimeScale(double scale) {
    if (scale == 0)
        UseVirtualTime();
    else if (scale != 1)
        UseScaledTime(scale, 2000);
    else if (QxClock_Installed() != nullptr)
        QxClock_Install(nullptr);
}

VirtualClock* Virtual() {
    VirtualClock* v = g_virtual.load();
    return v != nullptr && QxClock_Installed() == v ? v : nullptr;
}

double BoardWallSeconds() {
    struct timeval tv;
    Clock_TimeOfDay(&tv);
    return (double)tv.tv_sec + (double)tv.tv_usec / 1e6;
}

std::thread StartThread(const std::string& name, std::function<void()> fn) {
    if (VirtualClock* v = Virtual()) return v->spawn(name, std::move(fn));
    return std::thread(std::move(fn));
}

void JoinThread(std::thread& t) {
    if (!t.joinable()) return;
    ClockAside aside;
    t.join();
}

ClockAside::ClockAside() {
    if (VirtualClock* v = Virtual()) v->standAside(true);
}
ClockAside::~ClockAside() {
    if (VirtualClock* v = Virtual()) v->standAside(false);
}

void SleepFor(std::chrono::nanoseconds d) {
    if (d.count() <= 0) return;
    if (QxClock* c = QxClock_Installed()) {
        c->Sleep((uint64_t)d.count());
        return;
    }
    std::this_thread::sleep_for(d);
}

void Settle() {
    if (VirtualClock* v = Virtual()) v->settle();
}

int PollFor(struct pollfd* fds, nfds_t n, int timeoutMs) { return Clock_Poll(fds, n, timeoutMs); }

bool WaitFor(std::unique_lock<std::mutex>& lock, std::condition_variable& cv, std::chrono::nanoseconds timeout,
             const std::function<bool()>& pred) {
    if (VirtualClock* v = Virtual()) {
        uint64_t deadline = AddSat(v->nowNs(), (uint64_t)std::max<int64_t>(timeout.count(), 0));
        while (!pred()) {
            if (v->nowNs() >= deadline) return false;
            v->waitKeyed(
                &cv, deadline, [&] { lock.unlock(); }, [&] { lock.lock(); });
        }
        return true;
    }
    auto real = timeout;
    if (g_scaled != nullptr && QxClock_Installed() == g_scaled)
        real = std::chrono::nanoseconds(g_scaled->realNs((uint64_t)std::max<int64_t>(timeout.count(), 0)));
    return cv.wait_for(lock, real, pred);
}

void NotifyAll(std::condition_variable& cv) {
    if (VirtualClock* v = Virtual()) v->notify(&cv);
    cv.notify_all();
}

}  // namespace sim
