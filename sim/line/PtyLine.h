// The board's serial line, emulated: a pty whose slave the agent opens as its
// serial device and whose master the emulated devices use.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <termios.h>

#include <atomic>
#include <deque>
#include <condition_variable>
#include <mutex>
#include <string>

#include "VirtualClock.h"

namespace sim {

// Sees every byte that crosses the line (a trace recorder).
class LineTap {
public:
    virtual ~LineTap() = default;
    // fromAgent: written by the agent (read by the board); baud: the line's
    // speed then; start, end: when the first byte went on the line and when
    // the last one is over (the same for bytes the board writes).
    virtual void onLine(bool fromAgent, const uint8_t* data, size_t len, unsigned baud, BoardClock::time_point start,
                        BoardClock::time_point end) = 0;
};

class PtyLine {
public:
    // Opens the pty and puts the slave in raw mode; throws std::runtime_error on failure.
    PtyLine();
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return master_; }
    // Current line speed in bit/s as the agent set it on the slave (0 if unknown).
    unsigned baud() const;

    // Pacing at the line rate, 8N1 (10 bits a byte), in both directions: on
    // from the start on virtual time, off on a wall clock unless set.
    void setPacing(bool on) { pacing_ = on; }
    bool pacing() const { return pacing_; }
    // Fault knob: once the devices have taken this many bytes from the agent,
    // the line holds flow control: it takes no more, so when the pty's buffer
    // is full the agent's writes make no progress (0: at once; SIZE_MAX: never).
    void holdAfter(size_t bytes) { holdAfter_ = bytes; }

    // Writes every byte toward the agent; false on error.
    bool write(const void* data, size_t len);
    // Reads what the agent wrote; waits at most timeoutMs (-1: no limit).
    // Returns the byte count, 0 on time-out, -1 on error.
    ssize_t read(void* buf, size_t len, int timeoutMs);
    // The same with the time-out to the nanosecond (negative: no limit).
    ssize_t read(void* buf, size_t len, std::chrono::nanoseconds timeout);

    // Set before the line is used, cleared after; nullptr: no tap.
    void setTap(LineTap* tap) { tap_ = tap; }

    // Returns once what the agent wrote has crossed the line but `keep`
    // bytes (on virtual time; at once on a wall clock): as stty drains a
    // serial port's output before it changes the speed (0), and as a write
    // waits for room in the port's transmit buffer.
    void drain(size_t keep = 0);

    // What a power cut leaves, once nobody writes: nothing in flight either
    // way, and the port at the speed and mode it comes up with.
    void powerCut();

private:
    void pace(size_t bytes);
    int master_ = -1;
    int slave_ = -1;  // kept open so the line never hangs up between agent opens
    struct termios initial_ {};  // as the port comes up
    std::string slavePath_;
    std::atomic<bool> pacing_{false};
    std::atomic<size_t> holdAfter_{SIZE_MAX};
    std::atomic<size_t> taken_{0};
    std::atomic<LineTap*> tap_{nullptr};
    // On virtual time, what the agent wrote on its way over the line: each
    // byte with the board time it arrives.
    void takeInstant();
    ssize_t readOnTheLine(uint8_t* buf, size_t len, std::chrono::nanoseconds timeout);
    std::mutex takeMutex_;
    std::mutex crossMutex_;
    std::condition_variable crossCv_;
    std::deque<uint8_t> fifo_;
    std::deque<uint64_t> arrival_;
    uint64_t lastArrival_ = 0;
    size_t batch_ = 0;  // bytes of the batch under way (their last one's arrival ends it)
};

// The board's line: the agent's Clock_Drain and Clock_TxRoom wait for it
// (null: none). A line made on virtual time is the board's line until
// another is made or it goes.
void SetBoardLine(PtyLine* line);

// Speed constant (B57600...) to bit/s; 0 when unknown.
unsigned BaudFromSpeed(unsigned speedConstant);

}  // namespace sim
