#include "simulate_agent.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <sstream>
#include <vector>

#include "BlackBox.h"
#include "RunRecord.h"
#include "Sandbox.h"
#include "TreeState.h"
#include "Udp2vela.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::string> Words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// The same command line again, for the process inside the namespaces.
std::vector<std::string> InnerArgs(const AgentRun& run, const sim::ScenarioOptions& o) {
    std::vector<std::string> a = {fs::read_symlink("/proc/self/exe").string(),
                                  "simulate",
                                  "--agent-inner",
                                  "--agent",
                                  fs::absolute(run.agent).string(),
                                  "--seed",
                                  std::to_string(o.seed),
                                  "--timeout",
                                  std::to_string(o.timeout.count())};
    if (!run.runner.empty()) a.insert(a.end(), {"--agent-runner", run.runner});
    if (!run.beside.empty()) a.insert(a.end(), {"--beside", run.beside});
    a.insert(a.end(), {"--web-account", run.webAccount});
    if (!run.driver.empty()) a.insert(a.end(), {"--driver", run.driver});
    for (const std::string& c : run.secondBoots) a.insert(a.end(), {"--second-boot", c});
    if (!run.driverOutput.empty()) a.insert(a.end(), {"--driver-output", fs::absolute(run.driverOutput).string()});
    if (!o.tracePath.empty()) a.insert(a.end(), {"--trace", fs::absolute(o.tracePath).string()});
    a.insert(a.end(), run.forward.begin(), run.forward.end());
    if (run.keep) a.push_back("--keep");
    return a;
}

// As the namespace's first process this one ignores a signal it has no handler
// for: an interrupt or a stop request ends the run here, and with it
// everything in the namespace.
const sim::TempRoot* s_root = nullptr;
void OnSignal(int) {
    if (s_root) {
        sim::LeaveBoardNamespace(*s_root);
        sim::RemoveTree(s_root->path());
    }
    _exit(130);
}

bool StartsWith(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// What the agent may change: its staging in the state directory (the
// directory and the package copied beside it), the record, its logs; and
// vela's version.json. The web account changes its own files at will.
bool Expected(const std::string& path, const sim::TreeEntry* before, const sim::TreeEntry* after,
              const sim::WebAccount& web) {
    if ((before && before->uid == web.uid) || (after && after->uid == web.uid)) return true;
    std::string staging = QX_UPDATE_DIR;
    while (staging.size() > 1 && staging.back() == '/') staging.pop_back();
    const std::string state = std::string(QX_STATE_DIR) + "/";
    const std::string name = StartsWith(path, state) ? path.substr(state.size()) : "";
    return path == staging || StartsWith(path, staging + "/") || StartsWith(path, QX_LAST_RUN) ||
           StartsWith(name, "McuUpdate") ||
           (name.find('/') == std::string::npos && name.size() > 4 && name.compare(name.size() - 4, 4, ".log") == 0) ||
           path == QX_VERSION_JSON;
}

// Around the orders: the trees of the namespace as they were before, the
// command beside the agent, and what changed in the trees by the end.
struct BesideRun {
    const AgentRun& run;
    sim::WebAccount web;
    sim::TreeState before;
    sim::BesideCommand beside;
    std::string startErr;

    void event(const std::string& name) {
        if (name == "orders") {
            before = sim::ReadTreeState(sim::BoardTrees());
            if (!run.beside.empty()) beside.start(Words(run.beside), web, &startErr);
        }
        beside.event(name);
    }
    std::vector<sim::ScenarioCheck> after() {
        std::vector<sim::ScenarioCheck> checks;
        if (!run.beside.empty()) {
            bool started = beside.running();
            int rc = beside.finish(60);
            checks.push_back({"command beside the agent ended well", started && rc == 0,
                              started ? "exit status " + std::to_string(rc) : startErr});
        }
        auto changes = sim::TreeChanges(before, sim::ReadTreeState(sim::BoardTrees()),
                                        [&](const std::string& path, const sim::TreeEntry* b, const sim::TreeEntry* a) {
                                            return Expected(path, b, a, web);
                                        });
        std::string detail;
        for (size_t i = 0; i < changes.size() && i < 6; i++) detail += (i ? " " : "") + changes[i];
        if (changes.size() > 6) detail += " and " + std::to_string(changes.size() - 6) + " more";
        checks.push_back(
            {"no file changed outside the staging directory but the web account's", changes.empty(), detail});
        return checks;
    }
};

// The board's boots for a run with drivers: each comes up with a boot id of
// its own, a fresh /tmp and the agent started again, as the service manager
// does after a reboot; the namespace's /home and state directory keep their
// content and the emulated devices what they hold.
class AgentBoots : public sim::Boots {
public:
    AgentBoots(const AgentRun& run, const sim::TempRoot& root, sim::AgentProcess& agent,
               std::function<pid_t()> spareGroup)
        : root_(root), agent_(agent), spareGroup_(std::move(spareGroup)) {
        commands_.push_back(run.driver);
        commands_.insert(commands_.end(), run.secondBoots.begin(), run.secondBoots.end());
        // Held before anything is mounted over it.
        hostTmp_ = open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC);
    }
    ~AgentBoots() override {
        if (hostTmp_ >= 0) close(hostTmp_);
    }
    size_t commands() const override { return commands_.size(); }
    std::string command(size_t boot) const override { return commands_.at(boot - 1); }
    bool up(size_t boot, const BoardProfile& profile, std::string* err) override {
        ids_.resize(boot);
        if (hostTmp_ < 0) {
            *err = std::string("/tmp: ") + strerror(errno);
            return false;
        }
        if (!sim::FreshTmp(hostTmp_, err)) return false;
        ids_[boot - 1] = sim::NewBootId(root_.path() + "/boot_id." + std::to_string(boot), err);
        if (ids_[boot - 1].empty()) return false;
        FILE* log = fopen((root_.path() + "/agent.log").c_str(), "ae");
        if (log) {
            fprintf(log, "==== boot %zu, boot id %s\n", boot, ids_[boot - 1].c_str());
            fclose(log);
        }
        return agent_.start(profile, root_, err);
    }
    std::string bootId(size_t boot) const override { return boot <= ids_.size() ? ids_[boot - 1] : ""; }
    bool startDriver(size_t boot, std::string* err) override {
        return driver_.start(Words(command(boot)), outPath(boot), err);
    }
    bool driverEnded(int* status) override { return driver_.ended(status); }
    void down(bool powerCut) override {
        agent_.stop(powerCut);
        driver_.stop(powerCut);
        sim::EndBoardProcesses(spareGroup_(), powerCut);
    }
    std::string output(size_t boot) const override { return sim::ReadFile(outPath(boot)); }
    void over() override { sim::HostTmp(); }
    // What every driver printed, boot after boot, into file.
    void keep(const std::string& file) const {
        std::string all;
        for (size_t b = 1; b <= commands_.size(); b++)
            if (fs::exists(outPath(b)))
                all += "==== boot " + std::to_string(b) + ": " + commands_[b - 1] + "\n" + output(b);
        try {
            sim::WriteFile(file, all);
        } catch (const std::exception& e) {
            fprintf(stdout, "fwtool simulate --agent: --driver-output: %s\n", e.what());
        }
    }

private:
    std::string outPath(size_t boot) const { return root_.path() + "/driver-" + std::to_string(boot) + ".log"; }

    const sim::TempRoot& root_;
    sim::AgentProcess& agent_;
    std::function<pid_t()> spareGroup_;
    std::vector<std::string> commands_, ids_;
    sim::DriverCommand driver_;
    int hostTmp_ = -1;
};

int Inside(const AgentRun& run, sim::ScenarioOptions o) {
    // The mounts below are only for a namespace of our own: never the host's.
    if (getpid() != 1) {
        fprintf(stderr, "fwtool simulate: --agent-inner runs only as the first process of new namespaces\n");
        return 2;
    }
    sim::TempRoot root;
    sim::RebootStub reboot(root);
    s_root = &root;
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    std::string err;
    BesideRun beside{run, {}, {}, {}, {}};
    if (!beside.web.parse(run.webAccount)) {
        fprintf(stderr, "fwtool simulate: --web-account %s: want UID:GID, neither of them 0\n", run.webAccount.c_str());
        return 2;
    }
    if (!sim::PrepareBoardNamespace(root, reboot, beside.web, &err)) {
        fprintf(stderr, "fwtool simulate --agent: the board's namespace: %s\n", err.c_str());
        sim::LeaveBoardNamespace(root);
        return 1;
    }
    printf("reboot shadowed by the recording stub: checked\n");
    sim::AgentProcess agent(run.agent, Words(run.runner));
    const BoardProfile board;
    o.timeScale = 1.0;  // the binary's pauses are the board's
    o.reportPort = board.u16ReportPort;
    o.orderPort = board.u16OrderPort;
    o.uploadUid = (int)beside.web.uid;
    o.uploadGid = (int)beside.web.gid;
    o.onEvent = [&](const std::string& name) { beside.event(name); };
    o.afterOrders = [&] { return beside.after(); };
    o.startAgent = [&](const BoardProfile& p) {
        bool ok = agent.start(p, root, &err);
        if (!ok) fprintf(stdout, "%s\n", err.c_str());
        return ok;
    };
    AgentBoots boots(run, root, agent, [&] { return beside.beside.group(); });
    if (!run.driver.empty()) o.boots = &boots;
    int rc = 1;
    try {
        rc = sim::RunUpgradeScenario(root, reboot, o, stdout);
    } catch (const std::exception& e) {
        fprintf(stdout, "fwtool simulate --agent: %s\n", e.what());
    }
    agent.stop();
    if (o.boots) sim::EndBoardProcesses(0, false);
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    // The host's /tmp again, where what is kept must go.
    sim::LeaveBoardNamespace(root);
    if (o.boots && !run.driverOutput.empty()) boots.keep(run.driverOutput);
    if (run.keep) {
        std::string kept = "/tmp/fwtool-agent-" + fs::path(root.path()).filename().string() + ".log";
        fs::copy_file(root.path() + "/agent.log", kept, fs::copy_options::overwrite_existing);
        printf("agent log kept in %s\n", kept.c_str());
    }
    return rc;
}

}  // namespace

int SimulateAgent(const AgentRun& run, sim::ScenarioOptions options) {
    if (run.inner) return Inside(run, options);
    if (geteuid() != 0) {
        fprintf(stderr, "fwtool simulate --agent: needs root (it sets up private mount, network and PID namespaces)\n");
        return 2;
    }
    if (access(run.agent.c_str(), X_OK) != 0) {
        fprintf(stderr, "fwtool simulate --agent: %s is not an executable file\n", run.agent.c_str());
        return 2;
    }
    fflush(stdout);
    return sim::RunInNamespaces(InnerArgs(run, options));
}
