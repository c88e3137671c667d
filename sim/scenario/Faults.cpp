#include "Faults.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>

#include <sstream>

namespace sim {

struct FaultKnob {
    const char* device;  // "ep", "bv", "master", "iomcu", "valens", "line"
    const char* name;
    const char* arg;  // "" (none), "N" (a count or a block number), "P" (a chance per byte)
    Outcome expect;
    double boundSec;  // board seconds the faulted target may keep the agent busy
    const char* what;
    void (*apply)(const Fault& f, DeviceFaults* d);
};

namespace {

IspFaults& Isp(const Fault& f, DeviceFaults* d) {
    return f.knob->device[0] == 'e' ? d->ep[f.port - 1] : d->bv[f.port - 1];
}
BootloaderOptions& Mcu(const Fault& f, DeviceFaults* d) { return f.knob->device[0] == 'm' ? d->master : d->ioMcu; }
int N(const Fault& f) { return (int)f.value; }

using O = Outcome;
// One row per knob and device kind: what the device does, and what the agent
// is meant to make of it. A target is reported at 100 % only when it holds
// its image and confirmed it; any other end is reported with the percent
// reached (a BV port or an MCU that never answers), but for an EP port given
// up after its retries, which gets no closing report at all (the record tells
// its outcome); a boot loader that takes the image without its closing text
// has not confirmed it.
// clang-format off
const FaultKnob kKnobs[] = {
    {"ep", "silent",          "",  O::PassedOver,       3000, "never answers",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).silent = true; }},
    {"ep", "prompt-fe",       "N", O::Flashed,           3000, "answers the first N entry texts with FE",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).promptFE = N(f); }},
    {"ep", "refuse-address",  "N", O::Flashed,           3000, "answers '>' to the first N address requests",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).refuseAddress = N(f); }},
    {"ep", "withhold-ack",    "N", O::Flashed,           3000, "withholds the 'Z' of N blocks from the second on",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).missZFromBlock = 1; Isp(f, d).missZ = N(f); }},
    {"ep", "burst",           "N", O::Flashed,           3000, "answers the 86 before block N with 24 bytes",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).burstBeforeBlock = N(f); }},
    {"ep", "silent-after",    "N", O::PassedOver,       3000, "falls silent once N blocks are in",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).silentAfterBlock = N(f); }},
    {"ep", "withhold-ack-always", "N", O::ReportedFailed, 6000, "withholds the 'Z' of block N in every attempt",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).withholdZBlock = N(f); }},
    {"ep", "noise",           "",  O::PassedOver,       6000, "sends noise for ever besides its answers",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).noise = true; }},
    {"bv", "silent",          "",  O::ReportedFailed,    1500, "never answers",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).silent = true; }},
    {"bv", "prompt-fe",       "N", O::Flashed,           3000, "answers the first N entry texts with FE",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).promptFE = N(f); }},
    {"bv", "refuse-address",  "N", O::Flashed,           3000, "answers '>' to the first N address requests",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).refuseAddress = N(f); }},
    {"bv", "withhold-ack",    "N", O::Flashed,           3000, "withholds the 'Z' of N blocks from the second on",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).missZFromBlock = 1; Isp(f, d).missZ = N(f); }},
    {"bv", "burst",           "N", O::Flashed,           3000, "answers the 86 before block N with 24 bytes",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).burstBeforeBlock = N(f); }},
    {"bv", "silent-after",    "N", O::ReportedFailed,    1500, "falls silent once N blocks are in",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).silentAfterBlock = N(f); }},
    {"bv", "withhold-ack-always", "N", O::ReportedFailed, 6000, "withholds the 'Z' of block N in every attempt",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).withholdZBlock = N(f); }},
    {"bv", "noise",           "",  O::ReportedFailed,    6000, "sends noise for ever besides its answers",
     [](const Fault& f, DeviceFaults* d) { Isp(f, d).noise = true; }},
    {"master", "no-ready-text",   "", O::ReportedFailed,    3000, "boot loader never says its ready token",
     [](const Fault& f, DeviceFaults* d) { Mcu(f, d).silent = true; }},
    {"master", "no-closing-text", "", O::Unreported,        1500, "takes the image, then says nothing",
     [](const Fault& f, DeviceFaults* d) { Mcu(f, d).noClosingText = true; }},
    {"iomcu", "no-ready-text",    "", O::ReportedFailed,    7500, "boot loader never says its ready token",
     [](const Fault& f, DeviceFaults* d) { Mcu(f, d).silent = true; }},
    {"iomcu", "no-closing-text",  "", O::Unreported,        1500, "takes the image, then says nothing",
     [](const Fault& f, DeviceFaults* d) { Mcu(f, d).noClosingText = true; }},
    {"master", "repeat-token",    "", O::Flashed,           1500, "says its ready token every 250 ms until the end record",
     [](const Fault& f, DeviceFaults* d) { Mcu(f, d).repeatToken = true; }},
    {"master", "noise",           "", O::ReportedFailed,    3000, "says nothing but noise, for ever",
     [](const Fault& f, DeviceFaults* d) { Mcu(f, d).noise = true; }},
    {"iomcu", "repeat-token",     "", O::Flashed,           1500, "says its ready token every 250 ms until the end record",
     [](const Fault& f, DeviceFaults* d) { Mcu(f, d).repeatToken = true; }},
    {"iomcu", "noise",            "", O::ReportedFailed,    7500, "says nothing but noise, for ever",
     [](const Fault& f, DeviceFaults* d) { Mcu(f, d).noise = true; }},
    {"valens", "silent",        "",  O::Failed, 7500, "never says anything",
     [](const Fault&, DeviceFaults* d) { d->valens.silent = true; }},
    {"valens", "no-verdict",    "",  O::Failed,  1500, "takes the file, then says nothing",
     [](const Fault&, DeviceFaults* d) { d->valens.noVerdict = true; }},
    {"valens", "fail",          "",  O::Failed,  1500, "takes the file, then says FAIL",
     [](const Fault&, DeviceFaults* d) { d->valens.verdict = ValensOptions::Fail; }},
    {"valens", "both-verdicts", "",  O::Failed,  1500, "says SUCCESS and FAIL",
     [](const Fault&, DeviceFaults* d) { d->valens.verdict = ValensOptions::Both; }},
    {"valens", "nak",           "N", O::Flashed, 1500, "NAKs data packet N once",
     [](const Fault& f, DeviceFaults* d) { d->valens.nakBlock = N(f); d->valens.nakTimes = 1; }},
    {"valens", "nak-forever",   "N", O::Failed,  1500, "NAKs data packet N every time",
     [](const Fault& f, DeviceFaults* d) { d->valens.nakBlock = N(f); d->valens.nakTimes = 1 << 30; }},
    {"valens", "cancel",        "N", O::Failed,  1500, "cancels (CAN CAN) at data packet N",
     [](const Fault& f, DeviceFaults* d) { d->valens.canBlock = N(f); }},
    {"valens", "extra-c",       "N", O::Flashed, 1500, "answers N header packets with 'C' instead of ACK",
     [](const Fault& f, DeviceFaults* d) { d->valens.extraC = N(f); }},
    {"valens", "nak-eot",       "",  O::Flashed, 1500, "NAKs the first EOT",
     [](const Fault&, DeviceFaults* d) { d->valens.nakFirstEot = true; }},
    {"valens", "endless-request", "", O::Failed, 3000, "asks for the closing packet with 'C' for ever, never takes it",
     [](const Fault&, DeviceFaults* d) { d->valens.cForever = true; }},
    {"valens", "ack-every",     "N", O::Failed, 3000, "takes a data packet only at every Nth send of it, silent at the others",
     [](const Fault& f, DeviceFaults* d) { d->valens.ackEvery = N(f); }},
    {"line", "flip",            "P", O::Flashed, 3000, "flips one bit of a byte with chance P, either way",
     [](const Fault& f, DeviceFaults* d) { d->lineFlip = f.value; }},
};
// clang-format on

const char* const kOutcomeNames[] = {"flashed", "skipped",    "refused",        "passed-over", "reported-unflashed",
                                     "failed",  "unreported", "reported-failed"};

// "ep3" -> ("ep", 3); "valens" -> ("valens", 0).
bool SplitTarget(const std::string& t, std::string* device, unsigned* port) {
    size_t digits = t.find_first_of("0123456789");
    *device = t.substr(0, digits);
    *port = 0;
    if (digits == std::string::npos) return *device != "ep" && *device != "bv";
    char* end = nullptr;
    unsigned long p = strtoul(t.c_str() + digits, &end, 10);
    unsigned max = *device == "ep" ? 16 : (*device == "bv" ? 8 : 0);
    if (*end != '\0' || p < 1 || p > max) return false;
    *port = (unsigned)p;
    return true;
}

std::string SummaryName(const std::string& device, unsigned port) {
    if (device == "ep") return "EP" + std::to_string(port);
    if (device == "bv") return "BV" + std::to_string(port);
    if (device == "iomcu") return "IOMCU";
    if (device == "valens") return "Valens";
    return device;
}

bool ParseValue(const FaultKnob& k, const std::string& text, double* v) {
    if (*k.arg == '\0') return text.empty();
    char* end = nullptr;
    *v = strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0') return false;
    if (*k.arg == 'P') return *v > 0 && *v < 1;
    return *v >= 0 && *v <= 1e6 && *v == (double)(int)*v;
}

bool ParseItem(const std::string& item, Fault* f, std::string* err) {
    size_t eq = item.find('=');
    std::string device, knob = eq == std::string::npos ? "" : item.substr(eq + 1), value;
    size_t colon = knob.find(':');
    if (colon != std::string::npos) {
        value = knob.substr(colon + 1);
        knob.resize(colon);
    }
    if (eq == std::string::npos || !SplitTarget(item.substr(0, eq), &device, &f->port)) {
        *err = "'" + item + "': want TARGET=KNOB[:VALUE], TARGET one of ep1-16, bv1-8, master, iomcu, valens, line";
        return false;
    }
    for (const FaultKnob& k : kKnobs) {
        if (device != k.device || knob != k.name) continue;
        if (!ParseValue(k, value, &f->value)) {
            *err = "'" + item + "': " +
                   (*k.arg == '\0'  ? "takes no value"
                    : *k.arg == 'P' ? "wants a chance between 0 and 1"
                                    : "wants a whole number");
            return false;
        }
        f->knob = &k;
        f->target = SummaryName(device, f->port);
        return true;
    }
    *err = "'" + item + "': no knob '" + knob + "' on " + device + " (see --faults help)";
    return false;
}

}  // namespace

const char* OutcomeName(Outcome o) { return kOutcomeNames[(int)o]; }

bool ParseOutcome(const std::string& name, Outcome* out) {
    for (size_t i = 0; i < sizeof(kOutcomeNames) / sizeof(kOutcomeNames[0]); i++)
        if (name == kOutcomeNames[i]) {
            *out = (Outcome)i;
            return true;
        }
    return false;
}

bool FaultSet::parse(const std::string& text, std::string* err) {
    items_.clear();
    std::stringstream ss(text);
    std::string item;
    while (std::getline(ss, item, ',')) {
        Fault f;
        if (!ParseItem(item, &f, err)) return false;
        items_.push_back(f);
    }
    return true;
}

void FaultSet::apply(DeviceFaults* d) const {
    for (const Fault& f : items_) f.knob->apply(f, d);
}

bool FaultSet::expected(const std::string& target, Outcome* out) const {
    bool found = false;
    for (const Fault& f : items_)
        if (f.target == target && (!found || f.knob->expect != Outcome::Flashed)) {
            *out = f.knob->expect;
            found = true;
        }
    return found;
}

double FaultSet::boundSec(const std::string& target) const {
    double b = 0;
    for (const Fault& f : items_)
        if (f.target == target || f.target == "line") b = std::max(b, f.knob->boundSec);
    return b;
}

bool FaultSet::lineFaults() const {
    for (const Fault& f : items_)
        if (f.target == "line") return true;
    return false;
}

std::string FaultHelp() {
    int w = 4;  // the knob column fits the longest name
    for (const FaultKnob& k : kKnobs) w = std::max(w, (int)strlen(k.name));
    std::string s = "--faults TARGET=KNOB[:VALUE],...   TARGET: ep1-16, bv1-8, master, iomcu, valens, line\n\n";
    char line[320];
    snprintf(line, sizeof(line), "%-7s %-*s %-6s %-22s %8s  %s\n", "target", w, "knob", "value",
             "the agent is meant to", "bound(s)", "what the device does");
    s += line;
    for (const FaultKnob& k : kKnobs) {
        snprintf(line, sizeof(line), "%-7s %-*s %-6s %-22s %8.0f  %s\n", k.device, w, k.name, k.arg,
                 OutcomeName(k.expect), k.boundSec, k.what);
        s += line;
    }
    s += "\nBounds are in board seconds (the board's own pace, as virtual time runs).\n";
    return s;
}

}  // namespace sim
