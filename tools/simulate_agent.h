// fwtool simulate --agent: the whole upgrade against a binary of the agent run
// as a black box in private namespaces (see sim/scenario/BlackBox.h).
#pragma once

#include <string>
#include <vector>

#include "SimScenario.h"

struct AgentRun {
    std::string agent;   // the binary, e.g. build/mgtask
    std::string runner;  // command it runs under, words split at spaces ("" none)
    bool inner = false;  // this process is the one inside the namespaces
    bool keep = false;   // keep the agent's log
    std::string beside;  // command run beside the agent as the web account, words split at spaces ("" none)
    std::string webAccount = "65534:65534";  // "UID:GID" that owns /home/ubuntu and runs beside
    std::string driver;                      // command run as root in place of vela's package order ("" none)
    std::vector<std::string> secondBoots;    // a command for each boot after a reboot or a power cut
    std::string driverOutput;                // file that keeps what the drivers printed ("" none)
    std::vector<std::string> forward;  // scenario options for the process inside
};

// Outside: checks root and starts this program again inside the namespaces;
// inside: sets up the board and runs the scenario. Returns the exit status.
int SimulateAgent(const AgentRun& run, sim::ScenarioOptions options);
