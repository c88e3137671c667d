// The whole upgrade against the emulated board, as fwtool simulate and the
// system tests run it: a Valens order, then a package order, every target
// checked byte for byte and the report sequence checked.
#pragma once

#include <stdio.h>

#include <chrono>
#include <functional>
#include <string>

#include "Sandbox.h"

namespace sim {

struct ScenarioOptions {
    double timeScale = 0.02;
    unsigned seed = 1;
    std::chrono::seconds timeout{900};
    bool echo = false;  // progress lines while it runs
    // Runs once the agent listens, before the first order (given its order port).
    std::function<void(uint16_t orderPort)> beforeOrders;
};

// Starts the agent in this process (once per process: its threads never end),
// runs both orders and prints a summary table on out. Returns 0 only when
// everything held.
int RunUpgradeScenario(const TempRoot& root, const RebootStub& reboot, const ScenarioOptions& options, FILE* out);

}  // namespace sim
