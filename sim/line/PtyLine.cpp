#include "PtyLine.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

#include "VirtualClock.h"

namespace sim {

namespace {
std::atomic<PtyLine*> s_boardLine{nullptr};  // see SetBoardLine
}  // namespace

unsigned BaudFromSpeed(unsigned s) {
    switch (s) {
        case B9600: return 9600;
        case B19200: return 19200;
        case B38400: return 38400;
        case B57600: return 57600;
        case B115200: return 115200;
        case B230400: return 230400;
        case B460800: return 460800;
        case B921600: return 921600;
        default: return 0;
    }
}

PtyLine::PtyLine() {
    char name[128] = {0};
    struct termios tio;
    memset(&tio, 0, sizeof(tio));
    cfmakeraw(&tio);
    cfsetispeed(&tio, B57600);
    cfsetospeed(&tio, B57600);
    if (openpty(&master_, &slave_, name, &tio, nullptr) != 0)
        throw std::runtime_error(std::string("openpty: ") + strerror(errno));
    slavePath_ = name;
    initial_ = tio;
    // On virtual time a byte always takes its time on the line.
    pacing_ = Virtual() != nullptr;
    if (pacing_) SetBoardLine(this);
    int fl = fcntl(master_, F_GETFL);
    fcntl(master_, F_SETFL, fl | O_NONBLOCK);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
}

PtyLine::~PtyLine() {
    PtyLine* self = this;
    s_boardLine.compare_exchange_strong(self, nullptr);
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
}

void PtyLine::drain(size_t keep) {
    if (Virtual() == nullptr) return;
    // Bytes still on their way: those the board has not taken from the pty
    // yet, and those whose last bit is not over. On the line's time, not on
    // when the board hands them to the device.
    auto onTheWay = [this](uint64_t now) {
        size_t n = (size_t)(arrival_.end() - std::upper_bound(arrival_.begin(), arrival_.end(), now));
        if (taken_ >= holdAfter_) return n;  // the line holds flow: nothing more will cross
        struct pollfd pfd = {master_, POLLIN, 0};
        return ::poll(&pfd, 1, 0) > 0 ? SIZE_MAX : n;
    };
    std::unique_lock<std::mutex> lock(crossMutex_);
    const uint64_t giveUp = Clock_MonoNs() + 60000000000ull;
    for (;;) {
        uint64_t now = Clock_MonoNs();
        size_t left = onTheWay(now);
        if (left <= keep || now >= giveUp) return;
        // When the byte that leaves `keep` behind is over; or the board's
        // next take from the pty.
        uint64_t until = left == SIZE_MAX ? giveUp : arrival_[arrival_.size() - keep - 1];
        WaitFor(lock, crossCv_, std::chrono::nanoseconds(until - now), [&] {
            size_t l = onTheWay(Clock_MonoNs());
            return l <= keep || (left == SIZE_MAX && l != SIZE_MAX);  // taken: the time to wait is known now
        });
    }
}

void SetBoardLine(PtyLine* line) {
    s_boardLine = line;
    if (VirtualClock* v = Virtual())
        v->setDrain([](size_t keep) {
            if (PtyLine* l = s_boardLine.load()) l->drain(keep);
        });
}

void PtyLine::powerCut() {
    {
        std::lock_guard<std::mutex> lock(crossMutex_);
        fifo_.clear();
        arrival_.clear();
        batch_ = 0;
    }
    tcflush(master_, TCIOFLUSH);
    tcflush(slave_, TCIOFLUSH);
    tcsetattr(slave_, TCSANOW, &initial_);
}

unsigned PtyLine::baud() const {
    struct termios tio;
    if (tcgetattr(slave_, &tio) != 0) return 0;
    return BaudFromSpeed(cfgetospeed(&tio));
}

void PtyLine::pace(size_t bytes) {
    if (!pacing_) return;
    unsigned b = baud();
    if (b == 0) return;
    // The line carries both ways at once: what the agent writes meanwhile
    // goes on the line when it is written.
    const uint64_t end = Clock_MonoNs() + (uint64_t)bytes * 10u * 1000000000u / b;
    for (uint64_t now = Clock_MonoNs(); now < end; now = Clock_MonoNs()) {
        struct timespec wait = {(time_t)((end - now) / 1000000000u), (long)((end - now) % 1000000000u)};
        struct pollfd pfd = {master_, POLLIN, 0};
        bool holding = taken_ >= holdAfter_;
        if (Clock_PPoll(holding ? nullptr : &pfd, holding ? 0 : 1, &wait) > 0) takeInstant();
    }
}

bool PtyLine::write(const void* data, size_t len) {
    const uint8_t* p = static_cast<const uint8_t*>(data);
    if (LineTap* tap = tap_.load()) {
        auto now = BoardClock::now();
        tap->onLine(false, p, len, baud(), now, now);
    }
    size_t done = 0;
    bool paced = false;
    while (done < len) {
        // Paced: hand the bytes over in small slices at the line rate.
        // Each slice reaches the agent once it has crossed the line.
        size_t chunk = pacing_ ? std::min<size_t>(len - done, 64) : len - done;
        if (!paced) pace(chunk);
        paced = false;
        ssize_t n = ::write(master_, p + done, chunk);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) {
                paced = true;
                struct pollfd pfd = {master_, POLLOUT, 0};
                PollFor(&pfd, 1, 10);
                continue;
            }
            return false;
        }
        // A part written: the rest of the slice has crossed the line too.
        paced = (size_t)n < chunk;
        done += (size_t)n;
    }
    return true;
}

ssize_t PtyLine::read(void* buf, size_t len, std::chrono::nanoseconds timeout) {
    if (pacing_) return readOnTheLine(static_cast<uint8_t*>(buf), len, timeout);
    return read(buf, len, timeout.count() < 0 ? -1 : (int)((timeout.count() + 999999) / 1000000));
}

ssize_t PtyLine::read(void* buf, size_t len, int timeoutMs) {
    if (pacing_)
        return readOnTheLine(static_cast<uint8_t*>(buf), len,
                             std::chrono::milliseconds(timeoutMs < 0 ? -1 : timeoutMs));
    size_t room = holdAfter_ > taken_ ? holdAfter_ - taken_ : 0;
    if (room == 0) {
        PollFor(nullptr, 0, timeoutMs < 0 ? 10 : timeoutMs);
        return 0;
    }
    struct pollfd pfd = {master_, POLLIN, 0};
    int r = PollFor(&pfd, 1, timeoutMs);
    if (r < 0) return errno == EINTR ? 0 : -1;
    if (r == 0) return 0;
    ssize_t n = ::read(master_, buf, std::min(len, room));
    if (n < 0) return (errno == EAGAIN || errno == EINTR || errno == EIO) ? 0 : -1;
    taken_ += (size_t)n;
    if (LineTap* tap = tap_.load(); tap && n > 0) {
        auto now = BoardClock::now();
        tap->onLine(true, static_cast<uint8_t*>(buf), (size_t)n, baud(), now, now);
    }
    return n;
}

// Everything the agent writes at this instant goes on the line: once every
// other thread waits (its writes of the instant are done) the pty is emptied,
// again while the agent, given room, writes more. How the kernel split the
// writes makes no difference to what is on the line, nor when it arrives.
void PtyLine::takeInstant() {
    std::lock_guard<std::mutex> taking(takeMutex_);  // in line order, whichever thread takes
    uint8_t tmp[4096];
    for (;;) {
        Settle();
        size_t got = 0;
        for (;;) {
            size_t room = holdAfter_ > taken_ ? holdAfter_ - taken_ : 0;
            if (room == 0) break;
            ssize_t n = ::read(master_, tmp, std::min(sizeof(tmp), room));
            if (n <= 0) {
                // A poll hands over what the kernel still holds for the reader.
                struct pollfd pfd = {master_, POLLIN, 0};
                if (n < 0 && errno == EAGAIN && ::poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN)) continue;
                break;
            }
            taken_ += (size_t)n;
            got += (size_t)n;
            unsigned b = baud();
            // Each byte takes 10 bits at the line's speed, after the one before it.
            uint64_t start;
            {
                std::lock_guard<std::mutex> lock(crossMutex_);
                start = std::max<uint64_t>(Clock_MonoNs(), lastArrival_);
                for (ssize_t i = 0; i < n; i++) {
                    fifo_.push_back(tmp[i]);
                    arrival_.push_back(b ? start + (uint64_t)(i + 1) * 10000000000ull / b : start);
                }
                lastArrival_ = arrival_.back();
            }
            if (LineTap* tap = tap_.load())
                tap->onLine(true, tmp, (size_t)n, b, BoardClock::time_point(std::chrono::nanoseconds(start)),
                            BoardClock::time_point(std::chrono::nanoseconds(lastArrival_)));
        }
        // A writer waiting for room in the transmit buffer looks again.
        if (got > 0) NotifyAll(crossCv_);
        if (got == 0) return;
    }
}

// On virtual time: bytes reach the board when the line has carried them, in
// batches of what was on the line when the batch began (at most len).
ssize_t PtyLine::readOnTheLine(uint8_t* buf, size_t len, std::chrono::nanoseconds timeout) {
    const uint64_t deadline = timeout.count() < 0 ? UINT64_MAX : Clock_MonoNs() + (uint64_t)timeout.count();
    for (;;) {
        uint64_t now = Clock_MonoNs(), due = deadline;
        {
            std::lock_guard<std::mutex> lock(crossMutex_);
            if (batch_ == 0) batch_ = std::min(fifo_.size(), len);
            if (batch_ > 0) {
                due = std::min(deadline, arrival_[batch_ - 1]);
                if (arrival_[batch_ - 1] <= now) {
                    size_t n = batch_;
                    std::copy(fifo_.begin(), fifo_.begin() + (long)n, buf);
                    fifo_.erase(fifo_.begin(), fifo_.begin() + (long)n);
                    arrival_.erase(arrival_.begin(), arrival_.begin() + (long)n);
                    batch_ = 0;
                    NotifyAll(crossCv_);
                    return (ssize_t)n;
                }
            }
        }
        if (due <= now) return 0;
        struct timespec wait = {(time_t)std::min<uint64_t>((due - now) / 1000000000u, INT32_MAX),
                                (long)((due - now) % 1000000000u)};
        struct pollfd pfd = {master_, POLLIN, 0};
        bool holding = taken_ >= holdAfter_;
        int r = Clock_PPoll(holding ? nullptr : &pfd, holding ? 0 : 1, &wait);
        if (r > 0) takeInstant();
    }
}

}  // namespace sim

