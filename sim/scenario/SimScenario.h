// The whole upgrade against the emulated board, as fwtool simulate and the
// system tests run it: a Valens order, then a package order; every target
// judged against the outcome it should have, and the report sequence checked.
#pragma once

#include <stdio.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Faults.h"
#include "Progress.h"
#include "QxLog.h"
#include "BoardProfile.h"
#include "Sandbox.h"

namespace sim {

// The targets a generated run covers; the others get no image and are skipped.
struct Scope {
    bool valens = true, master = true, ioMcu = true, bv = true;
    bool epRow[3] = {true, true, true};  // EP13-16, EP9-12, EP1-8 (the package's rows)
    // "valens,master,iomcu,bv,ep,ep1-8,ep9-12,ep13-16", any of them; "" = all.
    bool parse(const std::string& list, std::string* err);
};

// A check of the run: its line in the summary.
struct ScenarioCheck {
    std::string what;
    bool ok;
    std::string detail;
};

// Where a run cuts the power: when the agent's reports for a package target
// reach a percent (below 100, so mid-target).
struct PowerCut {
    std::string target;  // summary name ("EP3", "master", "BV2", "IOMCU"); "" for none
    int percent = 0;
    // "TARGET:PERCENT", e.g. "MASTER:50", "ep3:30" (EP1-16, MASTER, BV1-8, IOMCU; 1-99).
    bool parse(const std::string& text, std::string* err);
    std::string recordName() const;  // the target as the result record names it
};

// The board's processes across boots, for a run whose package orders come
// from driver commands run on the board (the black box): the scenario says
// when a boot ends and how, the host ends and starts the processes.
class Boots {
public:
    virtual ~Boots() = default;
    // Driver commands given: the first boot's, then one for each boot that
    // follows a reboot or a power cut.
    virtual size_t commands() const = 0;
    virtual std::string command(size_t boot) const = 0;  // boots count from 1
    // Boot n comes up: a boot id of its own, a fresh /tmp, the agent started
    // on the profile and listening. false with *err.
    virtual bool up(size_t boot, const BoardProfile& profile, std::string* err) = 0;
    virtual std::string bootId(size_t boot) const = 0;
    // Starts boot n's command; false with *err.
    virtual bool startDriver(size_t boot, std::string* err) = 0;
    // True once the command has ended by itself, with its exit status (-1:
    // it did not exit normally).
    virtual bool driverEnded(int* status) = 0;
    // The board goes down: every process on it ends, at once for a power cut
    // (SIGKILL), otherwise as a reboot ends them.
    virtual void down(bool powerCut) = 0;
    // What boot n's command printed.
    virtual std::string output(size_t boot) const = 0;
    // The boots are over: the files the run writes for its caller (the
    // record's copy, the trace) reach the host's paths again.
    virtual void over() = 0;
};

struct ScenarioOptions {
    // 0: virtual time (the default: as fast as the machine goes, the same run
    // every time); otherwise a wall clock at this many real seconds a board
    // second (1: the board's own pace, as the black box needs).
    double timeScale = 0;
    unsigned seed = 1;
    std::chrono::seconds timeout{900};  // wall time
    ProgressView::Mode view = ProgressView::Quiet;
    Scope scope;
    std::string package;  // an update package to run instead of a generated one (no Valens order then)
    std::string valens;   // a Valens image to run instead of a generated one (no package order then)
    FaultSet faults;
    QxLogHook logHook = nullptr;  // the host's log hook, kept while a given package is staged
    void* logUser = nullptr;
    std::string tracePath;  // when set, every byte on the line is traced into this file
    // Another agent than this process's (a binary in namespaces): started on
    // the profile instead of the in-process service; false when it did not start.
    std::function<bool(const BoardProfile&)> startAgent;
    uint16_t reportPort = 0, orderPort = 0;  // vela's ports; 0: free ones
    // Runs once the agent listens, before the first order (given its order port).
    std::function<void(uint16_t orderPort)> beforeOrders;
    // Moments of the run, for a host that acts beside the agent: "orders" (the
    // agent listens, no order sent yet), "valens-sent", "valens-done",
    // "package-sent", "package-taken" (the first report of the package order),
    // "package-done".
    std::function<void(const std::string& event)> onEvent;
    // Runs once the orders are over; its checks join the summary's.
    std::function<std::vector<ScenarioCheck>()> afterOrders;
    // The owner of what vela uploads into the web account's home (the package,
    // the Valens image); -1 leaves them to this process.
    int uploadUid = -1, uploadGid = -1;
    // When set, the agent's result record as the run left it is copied here.
    std::string recordCopy;
    // When set, driver commands take the place of vela's package order, boot
    // after boot; a run with drivers judges targets by what the devices hold
    // after the last order the agent took.
    Boots* boots = nullptr;
    PowerCut powerCut;  // with boots only
};

// Starts the agent in this process (once per process: its threads never end),
// runs the orders, shows progress and prints the summary on out. Returns 0
// only when every target had its expected outcome within its bound and every
// check held.
int RunUpgradeScenario(const TempRoot& root, const RebootStub& reboot, const ScenarioOptions& options, FILE* out);

}  // namespace sim
