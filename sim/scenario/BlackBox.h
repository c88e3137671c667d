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

// Before root is removed: its home/ and var/lib/mgtask/ are the namespace's
// no more, nor are /tmp and the boot id.
void LeaveBoardNamespace(const TempRoot& root);

// A boot's /tmp: a fresh tmpfs (the last boot's goes) with the entries of the
// host's /tmp (hostTmp, held open since before the first) bound back into
// it, so that paths given on the command line still lead where they did.
bool FreshTmp(int hostTmp, std::string* err);
// The host's /tmp again in place of the boot's; false when it could not be.
bool HostTmp();

// A boot id of its own for a new boot: a random one written to file (which
// stays) and bound, read-only, over the kernel's as the agent reads it
// (/proc/sys/kernel/random/boot_id). Returns it; "" with *err on failure.
std::string NewBootId(const std::string& file, std::string* err);

// Ends every process of the namespace but this one and those of spareGroup
// (0: none), at once (SIGKILL) or as a reboot ends them (SIGTERM, SIGKILL
// after 5 s), and reaps those left to this process.
void EndBoardProcesses(pid_t spareGroup, bool now);

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
    pid_t group() const { return pid_; }
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
    // Asks it to end, killing it after 2 s; now: kills it at once.
    void stop(bool now = false);

private:
    std::string agent_;
    std::vector<std::string> runner_;
    pid_t pid_ = -1;
    bool lineBound_ = false;
};

// A command run as root in the namespaces in place of vela's order (a
// driver): in its own process group, from /, its input /dev/null, its output
// appended to a file.
class DriverCommand {
public:
    DriverCommand() = default;
    DriverCommand(const DriverCommand&) = delete;
    DriverCommand& operator=(const DriverCommand&) = delete;
    ~DriverCommand() { stop(true); }
    // argv[0] looked up in PATH.
    bool start(const std::vector<std::string>& argv, const std::string& outPath, std::string* err);
    // True once it has ended by itself, with its exit status (-1: it did not exit normally).
    bool ended(int* status);
    // Ends its process group: at once (SIGKILL), or asked first and killed after 2 s.
    void stop(bool now);

private:
    pid_t pid_ = -1;
};

}  // namespace sim
