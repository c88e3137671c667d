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
// How long a condition wait sleeps in real time before it looks again at what
// the clock decided (a wake-up that raced with the start of the wait).
const auto kRealSlice = std::chrono::milliseconds(2);

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
    std::string name;
    Kind kind = kNone;
    bool blocked = false;
    bool aside = false;
    bool woken = false;     // by the clock: the deadline, or a notify
    bool notified = false;  // by a notify
    uint64_t deadline = kNever;
    const void* key = nullptr;
    std::function<void()> kick;
    std::vector<struct pollfd> fds;
    int wakeFd = -1;
    std::condition_variable cv;
    ~Participant() {
        if (wakeFd >= 0) close(wakeFd);
    }
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

void VirtualClock::Now(clockid_t id, struct timespec* ts) {
    std::lock_guard<std::mutex> lock(mu_);
    uint64_t ns = now_;
    if (id == CLOCK_REALTIME) ns = (uint64_t)((int64_t)ns + wallOffsetNs_);
    *ts = NsTs(ns);
}

VirtualClock::Participant* VirtualClock::self() {
    (void)&tl_leave;
    if (tl_self == nullptr) enroll("thread");
    return tl_self;
}

void VirtualClock::enroll(const std::string& name) {
    (void)&tl_leave;
    std::lock_guard<std::mutex> lock(mu_);
    if (tl_self != nullptr) return;
    auto* p = new Participant;
    p->name = name;
    parts_.push_back(p);
    enrolled_++;
    tl_self = p;
}

void VirtualClock::leave() {
    std::lock_guard<std::mutex> lock(mu_);
    Participant* p = tl_self;
    if (p == nullptr) return;
    tl_self = nullptr;
    unblock(p);
    if (!p->aside) enrolled_--;
    parts_.erase(std::remove(parts_.begin(), parts_.end(), p), parts_.end());
    delete p;
    maybeAdvance();
}

void VirtualClock::standAside(bool aside) {
    Participant* p = self();
    std::lock_guard<std::mutex> lock(mu_);
    if (p->aside == aside) return;
    p->aside = aside;
    if (aside) {
        enrolled_--;
        maybeAdvance();
    } else {
        enrolled_++;
    }
}

void VirtualClock::block(Participant* p) {
    p->blocked = true;
    if (!p->aside) blocked_++;
    maybeAdvance();
}

void VirtualClock::unblock(Participant* p) {
    if (!p->blocked) return;
    p->blocked = false;
    if (!p->aside) blocked_--;
}

void VirtualClock::wake(Participant* p) {
    unblock(p);
    p->woken = true;
    switch (p->kind) {
        case Participant::kSleep:
            p->cv.notify_one();
            break;
        case Participant::kFds: {
            uint64_t one = 1;
            if (write(p->wakeFd, &one, sizeof(one)) < 0) perror("virtual clock: wake");
            break;
        }
        case Participant::kKeyed:
            if (p->kick) p->kick();
            break;
        case Participant::kNone:
            break;
    }
}

void VirtualClock::maybeAdvance() {
    if (enrolled_ == 0 || blocked_ < enrolled_) return;
    // A byte in flight: a poller whose descriptor is ready has only not run
    // yet. (A poll of a pty waits for the bytes the kernel is still handing
    // over, so nothing written before the writer blocked is missed.)
    // Such a poller is woken as well: a pty does not always wake a writer
    // when room comes back, so its own poll might sleep on.
    bool ready = false;
    for (Participant* p : parts_) {
        if (!p->blocked || p->kind != Participant::kFds) continue;
        if (::poll(p->fds.data(), (nfds_t)p->fds.size(), 0) != 0) {
            unblock(p);
            uint64_t one = 1;
            if (write(p->wakeFd, &one, sizeof(one)) < 0) perror("virtual clock: wake");
            ready = true;
        }
    }
    if (ready) return;
    uint64_t next = kNever;
    for (Participant* p : parts_)
        if (p->blocked) next = std::min(next, p->deadline);
    if (next == kNever) {
        // A thread standing aside (a join, a child process) may yet wake one.
        bool aside = std::any_of(parts_.begin(), parts_.end(), [](Participant* p) { return p->aside; });
        if (!reportedStuck_ && !aside) {
            reportedStuck_ = true;
            std::string who;
            for (Participant* p : parts_)
                if (p->blocked) who += " " + p->name;
            fprintf(stderr, "virtual clock: every thread waits and none has a deadline:%s\n", who.c_str());
        }
        return;
    }
    reportedStuck_ = false;
    if (next > now_) {
        now_ = next;
        advances_++;
    }
    for (Participant* p : parts_)
        if (p->blocked && p->deadline <= now_) wake(p);
}

void VirtualClock::Sleep(uint64_t ns) {
    if (ns == 0) {
        sched_yield();
        return;
    }
    Participant* p = self();
    std::unique_lock<std::mutex> lock(mu_);
    p->kind = Participant::kSleep;
    p->deadline = AddSat(now_, ns);
    p->woken = false;
    block(p);
    p->cv.wait(lock, [p] { return p->woken; });
    p->woken = false;
    p->kind = Participant::kNone;
    p->deadline = kNever;
}

void VirtualClock::settle() {
    Participant* p = self();
    std::unique_lock<std::mutex> lock(mu_);
    p->kind = Participant::kSleep;
    p->deadline = now_;
    p->woken = false;
    block(p);
    p->cv.wait(lock, [p] { return p->woken; });
    p->woken = false;
    p->kind = Participant::kNone;
    p->deadline = kNever;
}

int VirtualClock::Poll(struct pollfd* fds, nfds_t n, int64_t timeoutNs) {
    if (timeoutNs == 0) return ::poll(fds, n, 0);
    Participant* p = self();
    if (p->wakeFd < 0) p->wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::vector<struct pollfd> all(fds, fds + n);
    all.push_back({p->wakeFd, POLLIN, 0});
    {
        std::lock_guard<std::mutex> lock(mu_);
        p->kind = Participant::kFds;
        p->fds.assign(fds, fds + n);
        p->deadline = timeoutNs < 0 ? kNever : AddSat(now_, (uint64_t)timeoutNs);
        p->woken = false;
        block(p);
    }
    for (;;) {
        for (auto& f : all) f.revents = 0;
        int r = ::poll(all.data(), (nfds_t)all.size(), -1);
        int err = errno;
        std::lock_guard<std::mutex> lock(mu_);
        if (all[n].revents != 0) {
            uint64_t count;
            while (read(p->wakeFd, &count, sizeof(count)) > 0) {
            }
        }
        int ready = 0;
        for (nfds_t i = 0; i < n; i++) {
            fds[i].revents = all[i].revents;
            if (all[i].revents != 0) ready++;
        }
        if (r < 0 && err != EINTR) {
            unblock(p);
            p->kind = Participant::kNone;
            errno = err;
            return -1;
        }
        if (ready > 0 || p->woken) {
            unblock(p);
            p->woken = false;
            p->kind = Participant::kNone;
            p->deadline = kNever;
            p->fds.clear();
            return ready;
        }
        // Woken for a descriptor that is not ready after all: wait on.
        if (!p->blocked) block(p);
    }
}

bool VirtualClock::waitKeyed(const void* key, uint64_t deadlineNs, const std::function<void()>& realWait,
                             std::function<void()> kick) {
    Participant* p = self();
    {
        std::lock_guard<std::mutex> lock(mu_);
        if (deadlineNs <= now_) return false;
        p->kind = Participant::kKeyed;
        p->key = key;
        p->kick = std::move(kick);
        p->deadline = deadlineNs;
        p->woken = p->notified = false;
        block(p);
    }
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (p->woken) {
                bool notified = p->notified;
                p->woken = p->notified = false;
                p->kind = Participant::kNone;
                p->key = nullptr;
                p->kick = nullptr;
                p->deadline = kNever;
                return notified;
            }
        }
        realWait();
    }
}

void VirtualClock::notify(const void* key) {
    std::lock_guard<std::mutex> lock(mu_);
    for (Participant* p : parts_)
        if (p->blocked && p->kind == Participant::kKeyed && p->key == key) {
            unblock(p);
            p->woken = p->notified = true;
        }
}

int VirtualClock::CondWait(pthread_cond_t* cond, pthread_mutex_t* mutex, const struct timespec* monoDeadline) {
    uint64_t deadline = monoDeadline != nullptr ? TsNs(*monoDeadline) : kNever;
    bool notified = waitKeyed(
        cond, deadline,
        [cond, mutex] {
            struct timespec t;
            clock_gettime(CLOCK_MONOTONIC, &t);
            t = NsTs(TsNs(t) + (uint64_t)std::chrono::nanoseconds(kRealSlice).count());
            pthread_cond_clockwait(cond, mutex, CLOCK_MONOTONIC, &t);
        },
        [cond] { pthread_cond_broadcast(cond); });
    return notified ? 0 : ETIMEDOUT;
}

void VirtualClock::CondBroadcast(pthread_cond_t* cond) {
    notify(cond);
    pthread_cond_broadcast(cond);
}

int VirtualClock::ThreadCreate(pthread_t* tid, const pthread_attr_t* attr, void* (*fn)(void*), void* arg) {
    auto* t = new Trampoline{this, new Participant, fn, arg};
    t->part->name = "agent";
    {
        std::lock_guard<std::mutex> lock(mu_);
        parts_.push_back(t->part);
        enrolled_++;
    }
    int r = pthread_create(
        tid, attr,
        [](void* a) -> void* {
            auto* tr = static_cast<Trampoline*>(a);
            (void)&tl_leave;
            tl_self = tr->part;
            void* (*f)(void*) = tr->fn;
            void* farg = tr->arg;
            delete tr;
            return f(farg);
        },
        t);
    if (r != 0) {
        std::lock_guard<std::mutex> lock(mu_);
        parts_.erase(std::remove(parts_.begin(), parts_.end(), t->part), parts_.end());
        enrolled_--;
        delete t->part;
        delete t;
        maybeAdvance();
    }
    return r;
}

std::thread VirtualClock::spawn(const std::string& name, std::function<void()> fn) {
    auto* p = new Participant;
    p->name = name;
    {
        std::lock_guard<std::mutex> lock(mu_);
        parts_.push_back(p);
        enrolled_++;
    }
    return std::thread([p, fn = std::move(fn)] {
        (void)&tl_leave;
        tl_self = p;
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
    double elapsed = (double)(TsNs(now) - TsNs(monoStart_)) / scale_;
    uint64_t base = TsNs(id == CLOCK_REALTIME ? realStart_ : monoStart_);
    *ts = NsTs(base + (uint64_t)elapsed);
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
                &cv, deadline, [&] { cv.wait_for(lock, kRealSlice); }, [&cv] { cv.notify_all(); });
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
