// fwtool trace: serial line traces. "show" reads one (from fwtool simulate
// --trace or "record") as a dialogue, or with --wire as what two runs must
// share (see TraceCanonical); "record" runs one short scenario against the
// emulated board and writes its trace.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "QxLog.h"
#include "Sandbox.h"
#include "Trace.h"
#include "TraceScenarios.h"
#include "fwtool.h"

namespace {

int Show(const std::string& path, bool wire) {
    std::string err;
    std::vector<sim::TraceRecord> records;
    if (!sim::ParseTrace(sim::ReadFile(path), &records, &err)) {
        fprintf(stderr, "fwtool trace: %s: %s\n", path.c_str(), err.c_str());
        return 1;
    }
    fputs((wire ? sim::TraceCanonical(records) : sim::TraceDialogue(records)).c_str(), stdout);
    return 0;
}

int Record(const std::string& scenario, const std::string& path, unsigned seed) {
    QxLog_SetQuiet(true);
    // The agent's shell commands (stty) print on the process's own stdout and
    // stderr: silence both, keep a copy of stderr for our own message.
    FILE* errOut = fdopen(dup(2), "w");
    int devnull = open("/dev/null", O_WRONLY);
    dup2(devnull, 1);
    dup2(devnull, 2);
    close(devnull);
    std::string err;
    if (!sim::RecordTraceScenario(scenario, seed, path, &err)) {
        fprintf(errOut, "fwtool trace record %s: %s\n", scenario.c_str(), err.c_str());
        return 1;
    }
    return 0;
}

int Main(const std::vector<std::string>& args) {
    if (args.size() == 2 && args[0] == "show") return Show(args[1], false);
    if (args.size() == 3 && args[0] == "show" && args[1] == "--wire") return Show(args[2], true);
    if ((args.size() == 3 || args.size() == 5) && args[0] == "record") {
        unsigned seed = 1;
        if (args.size() == 5) {
            if (args[3] != "--seed") return FwUsage("trace");
            seed = (unsigned)strtoul(args[4].c_str(), nullptr, 0);
        }
        return Record(args[1], args[2], seed);
    }
    if (args.size() == 1 && args[0] == "scenarios") {
        for (const auto& n : sim::TraceScenarioNames()) printf("%s\n", n.c_str());
        return 0;
    }
    return FwUsage("trace");
}

FwCommand s_cmd("trace", "show [--wire] FILE | record SCENARIO FILE [--seed N] | scenarios",
                "read a serial line trace as a dialogue; record a short scenario's trace (bv, ep-banks, master, "
                "valens)",
                &Main);

}  // namespace
