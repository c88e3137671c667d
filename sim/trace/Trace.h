// A record of the serial line: every byte, both ways, with the board time,
// the line speed and the device holding the line, in a text a person can read
// and diff. One line per burst:
//
//     12.3456  57600 router  >  "UPG MCUSIG\r\n"
//     12.4012 115200 valens  <  "C"
//
// ">" is the agent writing, "<" the board answering. Bytes print as one quoted
// text when all are printable; otherwise as hex, with runs of four or more
// printable bytes quoted in between.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "PtyLine.h"
#include "VirtualClock.h"

namespace sim {

struct TraceRecord {
    double t = 0;        // seconds since the trace began, on the agent's clock
    unsigned baud = 0;   // the line's speed, 0 when unknown
    std::string holder;  // router, master, io, valens, ep1-ep16, bv1-bv8
    bool fromAgent = false;
    std::string bytes;
};

// Records a line through its tap, in board seconds. Bytes that follow each
// other on the line (one direction, one speed, one holder, under 2 ms apart)
// are one burst, however they were handed over; what the agent writes is cut
// where the board's answer starts, byte by byte on the line's time.
class Trace : public LineTap {
public:
    Trace() = default;
    // Who holds the line, as the board names it ("" for the router).
    void setHolder(std::function<std::string()> holder) { holder_ = std::move(holder); }
    void onLine(bool fromAgent, const uint8_t* data, size_t len, unsigned baud, BoardClock::time_point start,
                BoardClock::time_point end) override;
    std::vector<TraceRecord> records() const;
    // Writes the trace text to path; false with *err when it cannot.
    bool save(const std::string& path, std::string* err) const;

private:
    const BoardClock::time_point t0_ = BoardClock::now();
    std::function<std::string()> holder_;
    mutable std::mutex mutex_;
    std::vector<TraceRecord> records_;  // the board's answers
    BoardClock::time_point last_;
    // The agent's bytes, each with the time it went on the line and its end.
    struct AgentByte {
        uint8_t byte;
        unsigned baud;
        std::string holder;
        BoardClock::time_point start, end;
    };
    std::vector<AgentByte> agent_;
};

// The board's device name as a trace shows it: "" router, "iomcu" io, "EP3" ep3.
std::string TraceHolderName(const std::string& boardName);

std::string FormatTrace(const std::vector<TraceRecord>& records);
// Parses a trace text; false with *err naming the first bad line.
bool ParseTrace(const std::string& text, std::vector<TraceRecord>* out, std::string* err);
// What stays of a trace when timing is left out: consecutive records of one
// direction, holder and speed joined, times zeroed (or, keepTimes, each the
// first one's). Two runs of one scenario give the same wire.
std::vector<TraceRecord> WireOnly(const std::vector<TraceRecord>& records, bool keepTimes = false);
// What two runs of a scenario share whatever the machine's load: per holder
// and speed, the agent's requests and then the board's answers, decoded as in
// the dialogue, a unit repeated back to back (asked again after a late
// answer, a receiver's periodic 'C') kept once.
std::string TraceCanonical(const std::vector<TraceRecord>& records);
// The trace as a dialogue: text commands and answers, YMODEM packets, ISP
// requests by their codes, image pushes summarised.
std::string TraceDialogue(const std::vector<TraceRecord>& records);

}  // namespace sim
