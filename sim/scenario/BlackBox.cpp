#include "BlackBox.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <thread>

#include "RunRecord.h"

extern char** environ;

namespace fs = std::filesystem;

namespace sim {

namespace {

// Where a reboot may live on a Debian system; each that exists is shadowed.
const char* const kRebootPaths[] = {"/usr/sbin/reboot", "/sbin/reboot",           "/usr/bin/reboot",
                                    "/bin/reboot",      "/usr/local/sbin/reboot", "/usr/local/bin/reboot"};
// The device nodes a shell and the agent's commands need in the fresh /dev.
const char* const kDevNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};

const char kBootIdPath[] = "/proc/sys/kernel/random/boot_id";
// Set once /tmp or the boot id is the namespace's own.
bool s_freshTmp = false, s_bootId = false;

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

// The entries of a directory (held open since before something was mounted
// over it) bound back into the tmpfs now there, links made again.
bool BindBack(int held, const fs::path& dir, std::string* err) {
    std::error_code ec;
    const std::string from = "/proc/self/fd/" + std::to_string(held) + "/";
    std::vector<std::string> names;
    for (fs::directory_iterator it(from, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    if (ec) {
        *err = dir.string() + ": " + ec.message();
        return false;
    }
    bool ok = true;
    for (size_t i = 0; ok && i < names.size(); i++) {
        const std::string src = from + names[i], dst = (dir / names[i]).string();
        struct stat es;
        char target[4096];
        ssize_t n;
        if (lstat(src.c_str(), &es) != 0) continue;  // gone meanwhile
        if (S_ISLNK(es.st_mode)) {
            ok = (n = readlink(src.c_str(), target, sizeof(target) - 1)) > 0 &&
                 symlink(std::string(target, (size_t)n).c_str(), dst.c_str()) == 0;
            if (!ok) *err = "link " + dst + ": " + strerror(errno);
            continue;
        }
        if (S_ISDIR(es.st_mode))
            fs::create_directory(dst, ec);
        else
            std::ofstream(dst).close();
        ok = Mount(src, dst, nullptr, MS_BIND | MS_REC, err);
    }
    return ok;
}

// The agent's state directory as a root-only tmpfs. Where the host has no such
// directory to mount on, its parent becomes a tmpfs too, with the host's
// entries there bound back beside the new one: nothing is created on the host.
bool StateDirectory(const std::string& dir, std::string* err) {
    const fs::path parent = fs::path(dir).parent_path();
    std::error_code ec;
    if (!fs::is_directory(dir, ec)) {
        int held = open(parent.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        struct stat st;
        if (held < 0 || fstat(held, &st) != 0) {
            *err = parent.string() + ": " + strerror(errno);
            if (held >= 0) close(held);
            return false;
        }
        bool ok = Mount("tmpfs", parent.string(), "tmpfs", 0, err) && chmod(parent.c_str(), st.st_mode & 07777) == 0 &&
                  BindBack(held, parent, err);
        close(held);
        if (!ok) return false;
        if (mkdir(dir.c_str(), 0700) != 0) {
            *err = "mkdir " + dir + ": " + strerror(errno);
            return false;
        }
    }
    if (!Mount("tmpfs", dir, "tmpfs", 0, err)) return false;
    if (chmod(dir.c_str(), 0700) == 0 && chown(dir.c_str(), 0, 0) == 0) return true;
    *err = dir + ": " + strerror(errno);
    return false;
}

// The web account's home on the /home tmpfs, and the state directory, both
// also seen through root's tree so the scenario reads them by board path.
bool BoardHome(const TempRoot& root, const WebAccount& web, std::string* err) {
    const std::string home = "/home/ubuntu", state = root.path() + QX_STATE_DIR;
    MkdirP(state);
    if (!Mount("tmpfs", "/home", "tmpfs", 0, err) || chmod("/home", 0755) != 0 || mkdir(home.c_str(), 0755) != 0 ||
        chown(home.c_str(), web.uid, web.gid) != 0) {
        if (err->empty()) *err = home + ": " + strerror(errno);
        return false;
    }
    return Mount("/home", root.path() + "/home", nullptr, MS_BIND, err) && StateDirectory(QX_STATE_DIR, err) &&
           Mount(QX_STATE_DIR, state, nullptr, MS_BIND, err);
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

bool WebAccount::parse(const std::string& text) {
    char* end = nullptr;
    unsigned long u = strtoul(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != ':') return false;
    const char* g = end + 1;
    unsigned long gr = strtoul(g, &end, 10);
    if (end == g || *end != '\0' || u == 0 || gr == 0 || u > 0xFFFFFFFEul || gr > 0xFFFFFFFEul) return false;
    uid = (uid_t)u;
    gid = (gid_t)gr;
    return true;
}

bool PrepareBoardNamespace(const TempRoot& root, const RebootStub& reboot, const WebAccount& web, std::string* err) {
    return Mount("", "/", nullptr, MS_REC | MS_PRIVATE, err) && LoopbackUp(err) && BoardHome(root, web, err) &&
           FreshDev(err) && ShadowReboot(reboot, err) && CheckReboot(reboot, err);
}

void LeaveBoardNamespace(const TempRoot& root) {
    // First the host's /tmp, where the root's own mounts are.
    HostTmp();
    if (s_bootId) umount2(kBootIdPath, MNT_DETACH);
    s_bootId = false;
    umount2((root.path() + "/home").c_str(), MNT_DETACH);
    umount2((root.path() + QX_STATE_DIR).c_str(), MNT_DETACH);
}

bool HostTmp() {
    if (s_freshTmp && umount2("/tmp", MNT_DETACH) != 0) return false;
    s_freshTmp = false;
    return true;
}

bool FreshTmp(int hostTmp, std::string* err) {
    if (!HostTmp()) {
        *err = std::string("umount /tmp: ") + strerror(errno);
        return false;
    }
    if (!Mount("tmpfs", "/tmp", "tmpfs", 0, err)) return false;
    s_freshTmp = true;
    if (chmod("/tmp", 01777) != 0) {
        *err = std::string("/tmp: ") + strerror(errno);
        return false;
    }
    return BindBack(hostTmp, "/tmp", err);
}

std::string NewBootId(const std::string& file, std::string* err) {
    std::random_device rd;
    unsigned char b[16];
    for (auto& c : b) c = (unsigned char)(rd() & 0xFF);
    b[6] = (unsigned char)((b[6] & 0x0F) | 0x40);  // version 4, as the kernel's
    b[8] = (unsigned char)((b[8] & 0x3F) | 0x80);
    char id[40];
    snprintf(id, sizeof(id), "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", b[0], b[1], b[2],
             b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    try {
        WriteFile(file, std::string(id) + "\n");
    } catch (const std::exception& e) {
        *err = e.what();
        return "";
    }
    chmod(file.c_str(), 0444);
    if (s_bootId && umount2(kBootIdPath, 0) != 0) {
        *err = std::string("umount ") + kBootIdPath + ": " + strerror(errno);
        return "";
    }
    s_bootId = false;
    if (!Mount(file, kBootIdPath, nullptr, MS_BIND, err)) return "";
    s_bootId = true;
    // Read-only, as the kernel's own.
    if (!Mount("", kBootIdPath, nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, err)) return "";
    return id;
}

void EndBoardProcesses(pid_t spareGroup, bool now) {
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        std::vector<pid_t> left;
        std::error_code ec;
        for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) continue;
            pid_t pid = (pid_t)atoi(name.c_str());
            if (pid <= 1 || (spareGroup > 0 && getpgid(pid) == spareGroup)) continue;
            left.push_back(pid);
        }
        if (left.empty()) return;
        auto waited = std::chrono::steady_clock::now() - start;
        // As a reboot ends them: asked first, killed after a while.
        int sig = now || waited > std::chrono::seconds(5) ? SIGKILL : SIGTERM;
        for (pid_t pid : left) {
            kill(pid, sig);
            waitpid(pid, nullptr, WNOHANG);  // those left to this process
        }
        if (waited > std::chrono::seconds(30)) return;  // stuck in the kernel: the namespace's end takes it
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::vector<std::string> BoardTrees() { return {"/home", "/dev", QX_STATE_DIR}; }

bool BesideCommand::start(const std::vector<std::string>& argv, const WebAccount& web, std::string* err) {
    int sv[2];
    if (argv.empty() || socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
        *err = std::string("beside command: ") + (argv.empty() ? "none given" : strerror(errno));
        return false;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        // The child of a threaded process: system calls only, up to exec.
        if (dup2(sv[1], 0) < 0 || setpgid(0, 0) != 0 || setgroups(0, nullptr) != 0 || setgid(web.gid) != 0 ||
            setuid(web.uid) != 0 || chdir("/") != 0)
            _exit(126);
        close_range(3, ~0u, 0);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(sv[1]);
    if (pid < 0) {
        *err = std::string("beside command: ") + strerror(errno);
        close(sv[0]);
        return false;
    }
    pid_ = pid;
    in_ = sv[0];
    return true;
}

void BesideCommand::event(const std::string& name) {
    if (in_ < 0) return;
    std::string line = name + "\n";
    // A command that stopped reading loses the rest; it is judged by its exit.
    if (send(in_, line.data(), line.size(), MSG_NOSIGNAL | MSG_DONTWAIT) < 0) {
        close(in_);
        in_ = -1;
    }
}

int BesideCommand::finish(int waitSec) {
    if (in_ >= 0) close(in_);
    in_ = -1;
    if (pid_ <= 0) return -1;
    int st = 0;
    pid_t got = 0;
    for (int i = 0; i < waitSec * 50 && (got = waitpid(pid_, &st, WNOHANG)) == 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (got != pid_) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        st = -1;
    }
    pid_ = -1;
    return st != -1 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

bool AgentProcess::start(const BoardProfile& profile, const TempRoot& root, std::string* err) {
    const BoardProfile board;
    if (!lineBound_ && !Mount(profile.strSerialDev, board.strSerialDev, nullptr, MS_BIND, err)) return false;
    lineBound_ = true;
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

void AgentProcess::stop(bool now) {
    if (pid_ <= 0) return;
    if (now) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return;
    }
    kill(pid_, SIGTERM);
    bool reaped = false;
    for (int i = 0; i < 100 && !reaped; i++) {
        reaped = waitpid(pid_, nullptr, WNOHANG) == pid_;
        if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!reaped && kill(pid_, SIGKILL) == 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
}

bool DriverCommand::start(const std::vector<std::string>& argv, const std::string& outPath, std::string* err) {
    if (argv.empty()) {
        *err = "no command";
        return false;
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    posix_spawn_file_actions_addchdir_np(&fa, "/");
    posix_spawnattr_t at;
    posix_spawnattr_init(&at);
    posix_spawnattr_setflags(&at, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&at, 0);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, &at, args.data(), environ);
    posix_spawnattr_destroy(&at);
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) {
        *err = argv[0] + ": " + strerror(rc);
        return false;
    }
    pid_ = pid;
    return true;
}

bool DriverCommand::ended(int* status) {
    if (pid_ <= 0) return false;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
    pid_ = -1;
    *status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return true;
}

void DriverCommand::stop(bool now) {
    if (pid_ <= 0) return;
    kill(-pid_, now ? SIGKILL : SIGTERM);
    bool reaped = false;
    for (int i = 0; i < 100 && !now && !reaped; i++) {
        reaped = waitpid(pid_, nullptr, WNOHANG) == pid_;
        if (!reaped) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    if (!reaped) {
        kill(-pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    pid_ = -1;
}

}  // namespace sim
