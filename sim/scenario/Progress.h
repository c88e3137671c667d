// Upgrade progress as vela sees it: one row per target, fed only by the
// agent's reports. On a terminal the rows are redrawn in place; on a pipe or
// a file one line goes out per state change and per 10 % step.
#pragma once

#include <stdio.h>

#include <chrono>
#include <string>
#include <vector>

#include "Vela.h"

#include "VirtualClock.h"

namespace sim {

enum class TargetState { Waiting, Flashing, Done, Skipped, Failed };
const char* StateName(TargetState s);

// Times of targets are board times (see VirtualClock.h).
using Clock = BoardClock;

struct TargetRow {
    std::string name;    // "Valens", "EP3", "master", "BV2", "IOMCU"
    std::string report;  // the name in its reports: "VALENS", "EpFile(3)", "ST", "BV(2)", "IoMcu"
    TargetState state = TargetState::Waiting;
    int percent = 0;
    int step = 0;           // the last 10 % step shown
    bool closing = false;   // a 100 % report came
    bool reported = false;  // any report came in its phase
    std::string isEnd;      // of its last report
    Clock::time_point start, end;
    bool started = false, ended = false;
};

class ProgressView {
public:
    enum Mode { Live, Lines, Quiet };
    ProgressView(Mode mode, FILE* out);

    // Index of a target by summary name; -1 when there is none.
    int find(const std::string& name) const;
    // A phase: the rows first..last (in the order the agent takes them) from now on.
    void begin(size_t first, size_t last);
    // Another order in the same phase (after a reboot or a power cut): its
    // rows start again from nothing.
    void restart();
    void report(const Report& r);
    // The phase is over: a row that never got its closing report was skipped,
    // or failed when it had begun.
    void end();
    // Redraws the rows (Live; at most ten times a second unless forced).
    void draw(bool force = false);
    const std::vector<TargetRow>& rows() const { return rows_; }
    static double Seconds(const TargetRow& r);

private:
    void finish(TargetRow& r, TargetState s);
    void line(TargetRow& r);
    std::string rowText(const TargetRow& r) const;

    Mode mode_;
    FILE* out_;
    std::vector<TargetRow> rows_;
    size_t first_ = 0, last_ = 0;
    bool inPhase_ = false;
    Clock::time_point t0_ = Clock::now(), cursor_;
    std::chrono::steady_clock::time_point drawn_;  // redraws follow the wall clock
    size_t drawnRows_ = 0;
};

}  // namespace sim

namespace sim {

// Prints rows, the first as a header, with every column as wide as its widest cell.
void PrintTable(FILE* out, const std::vector<std::vector<std::string>>& rows);

}  // namespace sim
