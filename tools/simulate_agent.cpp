#include "simulate_agent.h"

#include <signal.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
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
    int rc = 1;
    try {
        rc = sim::RunUpgradeScenario(root, reboot, o, stdout);
    } catch (const std::exception& e) {
        fprintf(stdout, "fwtool simulate --agent: %s\n", e.what());
    }
    agent.stop();
    if (run.keep) {
        std::string kept = "/tmp/fwtool-agent-" + fs::path(root.path()).filename().string() + ".log";
        fs::copy_file(root.path() + "/agent.log", kept, fs::copy_options::overwrite_existing);
        printf("agent log kept in %s\n", kept.c_str());
    }
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    sim::LeaveBoardNamespace(root);
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
