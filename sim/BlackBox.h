// The production agent as a black box: the binary runs unmodified on the
// board's own paths and ports, inside private mount, network and PID
// namespaces that fwtool sets up as the board: a tmpfs /home whose ubuntu/
// belongs to the web account, a root-only tmpfs as the agent's state
// directory, a /dev whose ttyO1 is the emulated line's pty, loopback up, and
// a recording reboot shadowing the real one (first in PATH and bound over
// every real reboot).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "BoardProfile.h"
#include "Sandbox.h"

namespace sim {

// Starts a program (argv[0] looked up in PATH) with stdout and stderr to
// outPath ("" keeps ours) and the working directory cwd ("" keeps ours);
// returns its pid, -1 on failure.
pid_t SpawnProgram(const std::vector<std::string>& argv, const std::string& outPath = "", const std::string& cwd = "");
// Waits for a program; returns its exit status, -1 when it did not exit normally.
int WaitProgram(pid_t pid);

// Runs argv (this program and its arguments) again inside new mount, network
// and PID namespaces, as their first process; returns its exit status.
int RunInNamespaces(const std::vector<std::string>& argv);

// The account of the board's web-facing side: it owns /home/ubuntu.
struct WebAccount {
    uid_t uid = 65534;
    gid_t gid = 65534;
    // "UID:GID", neither of them root; false when it is not that.
    bool parse(const std::string& text);
};

// Inside the namespaces: makes this mount namespace the board's for root
// (its /home, a tmpfs with ubuntu/ owned by the web account, is also root's
// home/; the agent's state directory a root-only tmpfs, also root's
// var/lib/mgtask/; /dev a fresh tmpfs), brings loopback up and shadows every
// real reboot with the stub, then runs "reboot" the way the agent would and
// checks the stub saw it. false with *err when any step fails.
bool PrepareBoardNamespace(const TempRoot& root, const RebootStub& reboot, const WebAccount& web, std::string* err);

// Before root is removed: its home/ and var/lib/mgtask/ are the namespace's no more.
void LeaveBoardNamespace(const TempRoot& root);

// The trees of the namespace that anyone there could write to, or the agent
// could be led to: /home, /dev and the agent's state directory.
std::vector<std::string> BoardTrees();

// A command run beside the agent as the web account, in its own process
// group: it reads the run's events on its stdin, one a line, and finds the
// end of its input when the orders are over.
class BesideCommand {
public:
    BesideCommand() = default;
    BesideCommand(const BesideCommand&) = delete;
    BesideCommand& operator=(const BesideCommand&) = delete;
    ~BesideCommand() { finish(0); }
    // argv[0] looked up in PATH; its stdout and stderr are ours.
    bool start(const std::vector<std::string>& argv, const WebAccount& web, std::string* err);
    bool running() const { return pid_ > 0; }
    void event(const std::string& name);
    // Ends its input and waits up to waitSec for it to exit (then kills it);
    // its exit status, -1 when it had to be killed or did not exit normally.
    int finish(int waitSec);

private:
    pid_t pid_ = -1;
    int in_ = -1;
};

// The agent binary, run under runner (e.g. {"qemu-arm", "-L", "/usr/arm-linux-gnueabihf"}) or directly.
class AgentProcess {
public:
    AgentProcess(std::string agent, std::vector<std::string> runner) : agent_(std::move(agent)), runner_(runner) {}
    ~AgentProcess() { stop(); }
    // Puts the profile's serial line at the board's serial device, starts the
    // agent in root (its output in root/agent.log) and waits until it listens
    // for orders. false with *err when it does not.
    bool start(const BoardProfile& profile, const TempRoot& root, std::string* err);
    void stop();

private:
    std::string agent_;
    std::vector<std::string> runner_;
    pid_t pid_ = -1;
};

}  // namespace sim
