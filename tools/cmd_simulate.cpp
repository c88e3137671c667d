// fwtool simulate: the whole upgrade against the emulated board. The agent runs
// in this process on a board profile (temp root, pty serial line, free UDP
// ports, virtual time, recording reboot stub); vela's stand-in sends a Valens
// order and then a package order, and every target is checked byte for byte.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "BlackBox.h"
#include "BoardProfile.h"
#include "MgTask.h"
#include "Package.h"
#include "PtyLine.h"
#include "QxLog.h"
#include "RunRecord.h"
#include "Sandbox.h"
#include "SimScenario.h"
#include "Vela.h"
#include "fwtool.h"
#include "simulate_agent.h"

namespace {

struct Options {
    double scale = 0;  // 0: virtual time
    bool realTime = false;
    bool quiet = false;
    bool keep = false;
    unsigned seed = 1;
    bool light = false;
    int timeoutSec = 0;  // 0: 900 s, or two hours for a binary on the board's real-time pauses
    std::string only, package, valens, faults, trace, record, powerCut;
    AgentRun agent;
} s_opt;

std::mutex s_logMutex;
FILE* s_logFile = nullptr;

void LogHook(int, const char* text, size_t len, void*) {
    std::lock_guard<std::mutex> lock(s_logMutex);
    if (s_logFile) fwrite(text, 1, len, s_logFile);
}

// The scenario's options from the command line; false (with a message) when they do not hold.
bool ScenarioFrom(const Options& o, sim::ScenarioOptions* so) {
    std::string err;
    so->timeScale = o.realTime ? 1.0 : o.scale;  // 0: virtual time
    so->seed = o.seed;
    so->timeout = std::chrono::seconds(o.timeoutSec);
    so->package = o.package;
    so->valens = o.valens;
    so->tracePath = o.trace;
    if (!o.record.empty()) so->recordCopy = std::filesystem::absolute(o.record).string();
    if (!so->scope.parse(o.only, &err) || !so->faults.parse(o.faults, &err) ||
        (!o.powerCut.empty() && !so->powerCut.parse(o.powerCut, &err))) {
        fprintf(stderr, "fwtool simulate: %s\n", err.c_str());
        return false;
    }
    return true;
}

// What the process inside the namespaces gets of this command line.
std::vector<std::string> Forwarded(const Options& o) {
    std::vector<std::string> a;
    for (const auto& [flag, value] : {std::pair<const char*, const std::string&>{"--only", o.only},
                                      {"--package", o.package},
                                      {"--valens", o.valens},
                                      {"--faults", o.faults},
                                      {"--power-cut-at", o.powerCut}})
        if (!value.empty()) a.insert(a.end(), {flag, value});
    if (!o.record.empty()) a.insert(a.end(), {"--record", std::filesystem::absolute(o.record).string()});
    if (o.quiet) a.push_back("--quiet");
    return a;
}

// The command that runs the same again: on virtual time, the same run byte for
// byte (the seed draws the images and random faults).
std::string ReplayLine(const Options& o) {
    std::string line = "seed " + std::to_string(o.seed) + "; replay: fwtool simulate";
    std::vector<std::string> a = Forwarded(o);
    a.insert(a.end(), {"--seed", std::to_string(o.seed)});
    if (o.realTime) a.push_back("--real-time");
    if (o.scale != 0) a.insert(a.end(), {"--scale", std::to_string(o.scale)});
    if (!o.trace.empty()) a.insert(a.end(), {"--trace", o.trace});
    for (const std::string& w : a) {
        bool plain = !w.empty() && w.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.,:=/+") ==
                                       std::string::npos;
        line += " " + (plain ? w : "'" + w + "'");
    }
    return line;
}

int Run() {
    Options& o = s_opt;
    if (o.faults == "help") {
        printf("%s", sim::FaultHelp().c_str());
        return 0;
    }
    // The light run: a Valens order and a package with the master and IO MCU images only.
    if (o.light && o.only.empty()) o.only = "valens,master,iomcu";
    if (o.timeoutSec == 0) o.timeoutSec = o.agent.agent.empty() ? 900 : 7200;
    sim::ScenarioOptions so;
    if (!ScenarioFrom(o, &so)) return 2;
    if (!o.agent.agent.empty()) {
        o.agent.keep = o.keep;
        o.agent.forward = Forwarded(o);
        so.view = o.quiet ? sim::ProgressView::Quiet : isatty(1) ? sim::ProgressView::Live : sim::ProgressView::Lines;
        return SimulateAgent(o.agent, so);
    }

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

    so.logHook = &LogHook;
    so.view = o.quiet ? sim::ProgressView::Quiet : isatty(realOut) ? sim::ProgressView::Live : sim::ProgressView::Lines;
    int rc = sim::RunUpgradeScenario(root, reboot, so, out);
    if (rc != 0) fprintf(out, "%s\n", ReplayLine(o).c_str());

    QxLog_SetHook(nullptr, nullptr);
    {
        std::lock_guard<std::mutex> lock(s_logMutex);
        fclose(s_logFile);
        s_logFile = nullptr;
    }
    namespace fs = std::filesystem;
    std::error_code ec;
    if (o.keep) {
        fs::path kept = fs::temp_directory_path(ec) / ("fwtool-simulate-" + std::to_string(getpid()));
        fs::copy(root.path(), kept, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (!ec) fprintf(out, "board root kept in %s (agent log: %s/agent.log)\n", kept.c_str(), kept.c_str());
    }
    fs::remove_all(root.path(), ec);
    // The agent's threads never end (as on the board); leave without joining them.
    fflush(out);
    _exit(rc);
}

FwCommand::Run Setup(CLI::App& app) {
    auto* scale = app.add_option("--scale", s_opt.scale,
                                 "watch it live on a wall clock at this many real seconds a board second (every "
                                 "pause, window and time-out shrunk alike, none below 2 ms); default: virtual time, "
                                 "as fast as the machine goes, the same run every time")
                      ->check(CLI::Range(0.001, 1.0));
    app.add_flag("--real-time", s_opt.realTime, "on the wall clock at the board's own pace (time scale 1)")
        ->excludes(scale);
    app.add_option("--seed", s_opt.seed, "seed of the generated images and of random faults")->capture_default_str();
    app.add_option("--timeout", s_opt.timeoutSec,
                   "wall-clock seconds to wait for each order's end (default 900; 7200 with --agent)")
        ->check(CLI::Range(1, 86400));
    app.add_option(
        "--only", s_opt.only,
        "targets that get a generated image: valens, master, iomcu, bv, ep, ep1-8, ep9-12, ep13-16 (default: all)");
    app.add_option("--package", s_opt.package, "run this update package instead of a generated one")
        ->check(CLI::ExistingFile);
    app.add_option("--valens", s_opt.valens, "run this Valens image instead of a generated one")
        ->check(CLI::ExistingFile);
    app.add_option("--faults", s_opt.faults, "device and line faults, e.g. ep3=silent,valens=fail; 'help' lists them");
    app.add_flag("-q,--quiet", s_opt.quiet, "print only the summary");
    app.add_flag("--keep", s_opt.keep, "keep the board root with the agent's log");
    app.add_option("--trace", s_opt.trace, "write every byte on the serial line, both ways, to this file");
    app.add_option("--record", s_opt.record,
                   "copy the agent's result record (" QX_LAST_RUN "), as the run left it, to this file");
    app.add_flag("--light", s_opt.light, "the master and IO MCU images only (same as --only valens,master,iomcu)");
    CLI::Option* agent =
        app.add_option("--agent", s_opt.agent.agent,
                       "run this agent binary as a black box in private namespaces (root), e.g. build/mgtask")
            ->check(CLI::ExistingFile);
    app.add_option("--agent-runner", s_opt.agent.runner,
                   "command the binary runs under, e.g. \"qemu-arm -L /usr/arm-linux-gnueabihf\"");
    app.add_option("--beside", s_opt.agent.beside,
                   "with --agent: run this command (words split at spaces) in the namespaces beside the agent, as the "
                   "web account; it reads the run's events on its stdin, one a line (orders, valens-sent, valens-done, "
                   "package-sent, package-taken, package-done), its input ends when the orders are over, and it must "
                   "then exit 0")
        ->needs(agent);
    app.add_option("--web-account", s_opt.agent.webAccount,
                   "with --agent: UID:GID of the web account, which owns /home/ubuntu and the uploads there and runs "
                   "--beside")
        ->capture_default_str()
        ->needs(agent)
        ->check([](const std::string& v) {
            sim::WebAccount w;
            return w.parse(v) ? std::string() : std::string("want UID:GID, neither of them 0");
        });
    CLI::Option* driver =
        app.add_option("--driver", s_opt.agent.driver,
                       "with --agent: run this command (words split at spaces) as root in the board's namespaces in "
                       "place of vela's package order, with the board's paths and ports and the reboot stub first in "
                       "PATH; the boot ends with the reboot, a power cut, or the command's end once no upgrade runs "
                       "(one it started goes on to its end)")
            ->needs(agent);
    CLI::Option* second =
        app.add_option("--second-boot", s_opt.agent.secondBoots,
                       "with --driver: after the reboot (or a power cut) the agent and the driver are ended, the board "
                       "comes up with a new boot id, a fresh /tmp and the agent started again, and this command runs; "
                       "given again, the command of the boot after that. The last driver's exit status decides the "
                       "run with the checks (one the reboot ended counts as done)")
            ->needs(driver)
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    app.add_option("--power-cut-at", s_opt.powerCut,
                   "with --second-boot: TARGET:PERCENT (EP1-EP16, MASTER, BV1-BV8, IOMCU; 1-99), e.g. MASTER:50: when "
                   "the agent's reports for TARGET reach PERCENT, the devices stop where they are, the agent and the "
                   "driver are killed, and the next boot follows")
        ->needs(second)
        ->check([](const std::string& v) {
            sim::PowerCut c;
            std::string err;
            return c.parse(v, &err) ? std::string() : err;
        });
    app.add_option("--driver-output", s_opt.agent.driverOutput,
                   "with --driver: keep what every driver printed, boot after boot, in this file")
        ->needs(driver);
    app.add_flag("--agent-inner", s_opt.agent.inner)->group("");  // the process inside the namespaces
    return &Run;
}

FwCommand s_cmd("simulate", "run the whole upgrade against the emulated board and judge every target", &Setup);

}  // namespace
