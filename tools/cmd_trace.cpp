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

struct Args {
    std::string file, scenario;
    bool wire = false;
    unsigned seed = 1;
} s_args;

FwCommand::Run Setup(CLI::App& app) {
    app.require_subcommand(1);
    CLI::App* show = app.add_subcommand("show", "print a trace as a dialogue");
    show->add_flag("--wire", s_args.wire, "what two runs of one scenario must share, whatever the timing");
    show->add_option("FILE", s_args.file, "the trace")->required()->check(CLI::ExistingFile);
    CLI::App* record = app.add_subcommand("record", "run one short scenario and write its trace");
    record->add_option("SCENARIO", s_args.scenario, "bv, ep-banks, master or valens")
        ->required()
        ->check(CLI::IsMember(sim::TraceScenarioNames()));
    record->add_option("FILE", s_args.file, "the trace to write")->required();
    record->add_option("--seed", s_args.seed, "seed of the images")->capture_default_str();
    CLI::App* list = app.add_subcommand("scenarios", "list the short scenarios");
    return [show, record, list]() -> int {
        if (show->parsed()) return Show(s_args.file, s_args.wire);
        if (record->parsed()) return Record(s_args.scenario, s_args.file, s_args.seed);
        if (list->parsed())
            for (const auto& n : sim::TraceScenarioNames()) printf("%s\n", n.c_str());
        return 0;
    };
}

FwCommand s_cmd("trace", "read a serial line trace as a dialogue; record a short scenario's trace", &Setup);

}  // namespace
