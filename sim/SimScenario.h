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

struct ScenarioOptions {
    double timeScale = 0.02;
    unsigned seed = 1;
    std::chrono::seconds timeout{900};
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
};

// Starts the agent in this process (once per process: its threads never end),
// runs the orders, shows progress and prints the summary on out. Returns 0
// only when every target had its expected outcome within its bound and every
// check held.
int RunUpgradeScenario(const TempRoot& root, const RebootStub& reboot, const ScenarioOptions& options, FILE* out);

}  // namespace sim
