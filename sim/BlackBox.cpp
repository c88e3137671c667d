#include "BlackBox.h"

#include <errno.h>
#include <fcntl.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

extern char** environ;

namespace fs = std::filesystem;

namespace sim {

namespace {

// Where a reboot may live on a Debian system; each that exists is shadowed.
const char* const kRebootPaths[] = {"/usr/sbin/reboot", "/sbin/reboot",           "/usr/bin/reboot",
                                    "/bin/reboot",      "/usr/local/sbin/reboot", "/usr/local/bin/reboot"};
// The device nodes a shell and the agent's commands need in the fresh /dev.
const char* const kDevNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};

bool Mount(const std::string& src, const std::string& dst, const char* type, unsigned long flags, std::string* err) {
    if (mount(src.empty() ? nullptr : src.c_str(), dst.c_str(), type, flags, nullptr) == 0) return true;
    *err = "mount " + src + " on " + dst + ": " + strerror(errno);
    return false;
}

bool LoopbackUp(std::string* err) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
    bool ok = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP | IFF_RUNNING;
    ok = ok && ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    if (!ok) *err = std::string("loopback: ") + strerror(errno);
    if (fd >= 0) close(fd);
    return ok;
}

// A tmpfs /dev with the few nodes needed, each bound from the old node held
// open meanwhile (no path to the host's /dev stays in reach), and an empty
// ttyO1 for the line to be bound over.
bool FreshDev(std::string* err) {
    std::vector<std::pair<std::string, int>> held;
    for (const char* n : kDevNodes) held.push_back({std::string("/dev/") + n, -1});
    held.push_back({"/dev/pts", -1});
    for (auto& h : held) h.second = open(h.first.c_str(), O_PATH | O_CLOEXEC);
    bool ok = Mount("tmpfs", "/dev", "tmpfs", 0, err);
    for (auto& h : held) {
        if (!ok) break;
        if (h.second < 0) continue;  // not on this machine
        if (h.first == "/dev/pts")
            fs::create_directory(h.first);
        else
            std::ofstream(h.first).close();
        ok = Mount("/proc/self/fd/" + std::to_string(h.second), h.first, nullptr, MS_BIND | MS_REC, err);
    }
    for (auto& h : held)
        if (h.second >= 0) close(h.second);
    std::error_code ec;
    fs::create_symlink("pts/ptmx", "/dev/ptmx", ec);
    std::ofstream("/dev/ttyO1").close();
    return ok;
}

// Binds the stub over every real reboot, once over each file the paths lead
// to (binding through a path that already leads to the stub would mount the
// stub over itself), and puts it first in PATH.
bool ShadowReboot(const RebootStub& reboot, std::string* err) {
    std::set<fs::path> real;
    for (const char* p : kRebootPaths)
        if (fs::exists(p)) real.insert(fs::canonical(p));
    for (const auto& p : real)
        if (!Mount(reboot.command(), p.string(), nullptr, MS_BIND, err)) return false;
    std::string path = fs::path(reboot.command()).parent_path().string();
    const char* old = getenv("PATH");
    setenv("PATH", (path + ":" + (old ? old : "/usr/sbin:/usr/bin:/sbin:/bin")).c_str(), 1);
    return true;
}

// "reboot" by PATH as the agent's shell finds it, and each real one by its
// path: every run must reach the stub.
bool CheckReboot(const RebootStub& reboot, std::string* err) {
    std::vector<std::string> tries = {"reboot"};
    for (const char* p : kRebootPaths)
        if (fs::exists(p)) tries.push_back(p);
    for (const auto& t : tries) {
        int before = reboot.count();
        if (WaitProgram(SpawnProgram({t})) != 0 || reboot.count() != before + 1) {
            *err = "\"" + t + "\" did not reach the recording stub";
            return false;
        }
    }
    reboot.reset();
    return true;
}

bool ListensOnUdp(uint16_t port) {
    char want[16];
    snprintf(want, sizeof(want), ":%04X ", port);
    std::ifstream in("/proc/net/udp");
    std::string line;
    while (std::getline(in, line))
        if (line.find(want) != std::string::npos && line.find(want) < 20) return true;
    return false;
}

}  // namespace

pid_t SpawnProgram(const std::vector<std::string>& argv, const std::string& outPath, const std::string& cwd) {
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (!outPath.empty()) {
        posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&fa, 1, 2);
    }
    if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, cwd.c_str());
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    return rc == 0 ? pid : -1;
}

int WaitProgram(pid_t pid) {
    if (pid <= 0) return -1;
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int RunInNamespaces(const std::vector<std::string>& argv) {
    std::vector<std::string> all = {"unshare", "--mount", "--net", "--pid", "--fork", "--mount-proc", "--kill-child"};
    all.insert(all.end(), argv.begin(), argv.end());
    return WaitProgram(SpawnProgram(all));
}

bool PrepareBoardNamespace(const TempRoot& root, const RebootStub& reboot, std::string* err) {
    return Mount("", "/", nullptr, MS_REC | MS_PRIVATE, err) && LoopbackUp(err) &&
           Mount("tmpfs", "/home", "tmpfs", 0, err) && fs::create_directory("/home/ubuntu") &&
           Mount("/home", root.path() + "/home", nullptr, MS_BIND, err) && FreshDev(err) && ShadowReboot(reboot, err) &&
           CheckReboot(reboot, err);
}

void LeaveBoardNamespace(const TempRoot& root) { umount2((root.path() + "/home").c_str(), MNT_DETACH); }

bool AgentProcess::start(const BoardProfile& profile, const TempRoot& root, std::string* err) {
    const BoardProfile board;
    if (!Mount(profile.strSerialDev, board.strSerialDev, nullptr, MS_BIND, err)) return false;
    std::vector<std::string> argv = runner_;
    argv.push_back(agent_);
    pid_ = SpawnProgram(argv, root.path() + "/agent.log", root.path());
    if (pid_ < 0) {
        *err = "cannot start " + agent_;
        return false;
    }
    // Listening for orders; a binary under an emulator takes a while.
    for (int i = 0; i < 600 && !ListensOnUdp(board.u16OrderPort); i++) {
        if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
            pid_ = -1;
            *err = agent_ + " ended at start (see its log)";
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (ListensOnUdp(board.u16OrderPort)) return true;
    *err = agent_ + " does not listen on UDP port " + std::to_string(board.u16OrderPort);
    return false;
}

void AgentProcess::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    bool reaped = false;
    for (int i = 0; i < 100 && !reaped; i++) {
        reaped = waitpid(pid_, nullptr, WNOHANG) == pid_;
        if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!reaped && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

}  // namespace sim
