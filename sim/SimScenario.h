// The whole upgrade against the emulated board, as fwtool simulate and the
// system tests run it: a Valens order, then a package order, every target
// checked byte for byte and the report sequence checked.
#pragma once

#include <stdio.h>

#include <chrono>
#include <functional>
#include <string>

#include "BoardProfile.h"
#include "Sandbox.h"

namespace sim {

struct ScenarioOptions {
    double timeScale = 0.02;
    unsigned seed = 1;
    std::chrono::seconds timeout{900};
    bool echo = false;  // progress lines while it runs
    std::string tracePath;  // when set, every byte on the line is traced into this file
    // Another agent than this process's (a binary in namespaces): started on
    // the profile instead of the in-process service; false when it did not start.
    std::function<bool(const BoardProfile&)> startAgent;
    uint16_t reportPort = 0, orderPort = 0;  // vela's ports; 0: free ones
    bool light = false;  // a package with the master and IO MCU images only
};

// Starts the agent in this process (once per process: its threads never end),
// runs both orders and prints a summary table on out. Returns 0 only when
// everything held.
int RunUpgradeScenario(const TempRoot& root, const RebootStub& reboot, const ScenarioOptions& options, FILE* out);

}  // namespace sim
