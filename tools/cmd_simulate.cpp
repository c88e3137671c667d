// fwtool simulate: the whole upgrade against the emulated board. The agent runs
// in this process on a board profile (temp root, pty serial line, free UDP
// ports, scaled time, recording reboot stub); vela's stand-in sends a Valens
// order and then a package order, and every target is checked byte for byte.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <stdexcept>

#include "BoardProfile.h"
#include "MgTask.h"
#include "Package.h"
#include "PtyLine.h"
#include "QxLog.h"
#include "Sandbox.h"
#include "SimScenario.h"
#include "Vela.h"
#include "fwtool.h"
#include "simulate_agent.h"

namespace {

struct Options {
    double scale = 0.02;
    bool verbose = false;
    bool keep = false;
    unsigned seed = 1;
    int timeoutSec = 0;  // 0: 900 s, or two hours for a binary on the board's real-time pauses
    std::string trace;
    bool light = false;
    AgentRun agent;
};

std::mutex s_logMutex;
FILE* s_logFile = nullptr;

void LogHook(int, const char* text, size_t len, void*) {
    std::lock_guard<std::mutex> lock(s_logMutex);
    if (s_logFile) fwrite(text, 1, len, s_logFile);
}

sim::ScenarioOptions Scenario(const Options& o) {
    sim::ScenarioOptions so;
    so.timeScale = o.scale;
    so.seed = o.seed;
    so.timeout = std::chrono::seconds(o.timeoutSec);
    so.echo = o.verbose;
    so.tracePath = o.trace;
    so.light = o.light;
    return so;
}

int Main(const std::vector<std::string>& args) {
    Options o;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "--scale" && hasValue) {
            o.scale = atof(args[++i].c_str());
        } else if (a == "--real-time") {
            o.scale = 1.0;
        } else if (a == "--seed" && hasValue) {
            o.seed = (unsigned)strtoul(args[++i].c_str(), nullptr, 0);
        } else if (a == "--timeout" && hasValue) {
            o.timeoutSec = atoi(args[++i].c_str());
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else if (a == "--trace" && hasValue) {
            o.trace = args[++i];
        } else if (a == "--agent" && hasValue) {
            o.agent.agent = args[++i];
        } else if (a == "--agent-runner" && hasValue) {
            o.agent.runner = args[++i];
        } else if (a == "--light") {
            o.light = true;
        } else if (a == "--agent-inner") {
            o.agent.inner = true;
        } else if (a == "--keep") {
            o.keep = true;
        } else {
            fprintf(stderr, "fwtool simulate: unknown argument %s\n", a.c_str());
            return FwUsage("simulate");
        }
    }
    if (o.timeoutSec == 0) o.timeoutSec = o.agent.agent.empty() ? 900 : 7200;
    if (!(o.scale > 0) || o.scale > 1 || o.timeoutSec <= 0) return FwUsage("simulate");
    o.agent.keep = o.keep;
    if (!o.agent.agent.empty()) return SimulateAgent(o.agent, Scenario(o));

    // Not a scoped TempRoot: the agent's threads outlive this function, so the
    // tree is removed by hand before the process leaves.
    auto* pRoot = new sim::TempRoot();
    sim::TempRoot& root = *pRoot;
    sim::RebootStub reboot(root);
    std::string agentLog = root.path() + "/agent.log";
    s_logFile = fopen(agentLog.c_str(), "a");
    // The agent's shell commands (stty, tar, mv) print on the process's own
    // stdout and stderr: send those to the agent log too, and keep the real
    // stdout for the summary.
    int realOut = dup(1);
    fflush(stdout);
    dup2(fileno(s_logFile), 1);
    dup2(fileno(s_logFile), 2);
    FILE* out = fdopen(realOut, "w");
    setvbuf(out, nullptr, _IOLBF, 0);
    setvbuf(s_logFile, nullptr, _IONBF, 0);
    QxLog_SetQuiet(true);
    QxLog_SetHook(&LogHook, nullptr);

    sim::ScenarioOptions so = Scenario(o);
    int rc = sim::RunUpgradeScenario(root, reboot, so, out);

    QxLog_SetHook(nullptr, nullptr);
    {
        std::lock_guard<std::mutex> lock(s_logMutex);
        fclose(s_logFile);
        s_logFile = nullptr;
    }
    if (o.keep) {
        std::string kept = "/tmp/fwtool-simulate-" + std::to_string(getpid());
        std::string cmd = "cp -a '" + root.path() + "' '" + kept + "'";
        if (system(cmd.c_str()) == 0)
            fprintf(out, "board root kept in %s (agent log: %s/agent.log)\n", kept.c_str(), kept.c_str());
    }
    sim::RemoveTree(root.path());
    // The agent's threads never end (as on the board); leave without joining them.
    fflush(out);
    _exit(rc);
}

FwCommand s_cmd("simulate", "[--scale F | --real-time] [--seed N] [--timeout SEC] [--verbose] [--keep] [--trace FILE]\n"
                "                [--light] [--agent PATH [--agent-runner CMD]]\n"
                "  --light: a package with the master and IO MCU images only\n"
                "  --agent: that binary, run as a black box in private namespaces (root)",
                "run a Valens upgrade and a whole package upgrade against the emulated board and check every target",
                &Main);

}  // namespace
