// Device and line faults by name ("ep3=silent,valens=fail,line=flip:1e-5"),
// as fwtool simulate --faults and the fault table take them. Each knob states
// what the agent is meant to do about it and how long it may take.
#pragma once

#include <string>
#include <vector>

#include "Bootloader.h"
#include "IspDevice.h"
#include "ValensChip.h"

namespace sim {

// What the agent did for one target, as the summary states it.
enum class Outcome {
    Flashed,            // the device holds the image, the closing report went out
    Skipped,            // no image: the device was never addressed, no report
    Refused,            // the image is bad: nothing written, the run reported as ended
    PassedOver,         // the device was tried and given up, never reported on
    ReportedUnflashed,  // reported at 100 %, yet the device does not hold the image: a lie
    Failed,             // the agent reported the failure (Valens: isEnd -1)
    Unreported,         // the device holds the image, never reported at 100 %
    ReportedFailed,     // reported below 100 %, and the device does not hold the image
};
const char* OutcomeName(Outcome o);
bool ParseOutcome(const std::string& name, Outcome* out);

// Every knob the emulated devices and the line have, set for one run.
struct DeviceFaults {
    IspFaults ep[16], bv[8];
    BootloaderOptions master, ioMcu;
    ValensOptions valens;
    double lineFlip = 0;  // chance that a byte on the line has one bit flipped, either way
};

struct FaultKnob;

// One item of a fault list: a knob on a target.
struct Fault {
    const FaultKnob* knob = nullptr;
    std::string target;  // as in the summary: "EP3", "BV2", "master", "IOMCU", "Valens", "line"
    unsigned port = 0;   // EP or BV port
    double value = 0;    // the knob's argument
};

class FaultSet {
public:
    // Parses "target=knob[:value],..."; false with *err naming the bad item.
    bool parse(const std::string& text, std::string* err);
    bool empty() const { return items_.empty(); }
    const std::vector<Fault>& items() const { return items_; }
    void apply(DeviceFaults* d) const;
    // The outcome a fault on this target calls for; false when none is set on it.
    bool expected(const std::string& target, Outcome* out) const;
    // Seconds (in fast mode) within which the agent must be done with the target.
    double boundSec(const std::string& target) const;
    bool lineFaults() const;

private:
    std::vector<Fault> items_;
};

// The knob list for "--faults help".
std::string FaultHelp();

}  // namespace sim
