#include "Sandbox.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "VirtualClock.h"

namespace sim {

void MkdirP(const std::string& path) {
    std::string cur;
    std::stringstream ss(path);
    std::string part;
    if (!path.empty() && path[0] == '/') cur = "";
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        cur += "/" + part;
        mkdir(cur.c_str(), 0755);
    }
}

void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        // Names first, removal after: a directory read while it shrinks may
        // skip entries (so it does under qemu-user, which re-seeks by position).
        std::vector<std::string> names;
        DIR* d = opendir(path.c_str());
        if (d) {
            while (struct dirent* e = readdir(d)) {
                if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
            }
            closedir(d);
        }
        for (const auto& n : names) RemoveTree(path + "/" + n);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0) MkdirP(path.substr(0, slash));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), (std::streamsize)content.size());
    if (!out) throw std::runtime_error("cannot write " + path);
}

TempRoot::TempRoot() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/fwagent-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
    MkdirP(path_ + "/home/ubuntu");
}

TempRoot::~TempRoot() { RemoveTree(path_); }

std::string TempRoot::write(const std::string& boardPath, const std::string& content) const {
    WriteFile(file(boardPath), content);
    return file(boardPath);
}

std::string TempRoot::read(const std::string& boardPath) const { return ReadFile(file(boardPath)); }

bool TempRoot::exists(const std::string& boardPath) const { return access(file(boardPath).c_str(), F_OK) == 0; }

void TempRoot::mkdirs(const std::string& boardPath) const { MkdirP(file(boardPath)); }

// ---- reboot stub -------------------------------------------------------------

RebootStub::RebootStub(const TempRoot& root) {
    command_ = root.path() + "/stub-bin/reboot";
    log_ = root.path() + "/stub-bin/reboot.log";
    exitWith(0);
}

void RebootStub::exitWith(int status) const {
    // A new file renamed into place: a shell that runs the old one reads it whole.
    WriteFile(command_ + ".new",
              "#!/bin/sh\necho \"reboot $*\" >> '" + log_ + "'\nexit " + std::to_string(status) + "\n");
    chmod((command_ + ".new").c_str(), 0755);
    rename((command_ + ".new").c_str(), command_.c_str());
}

static size_t CountReboots(const std::string& s) {
    size_t n = 0;
    for (size_t pos = s.find("reboot"); pos != std::string::npos; pos = s.find("reboot", pos + 6)) n++;
    return n;
}

int RebootStub::count() const {
    std::string s = ReadFile(log_);
    return (int)CountReboots(s);
}

void RebootStub::reset() const { WriteFile(log_, ""); }

bool RebootStub::waitForRun(int timeoutMs) const {
    auto end = BoardClock::now() + std::chrono::milliseconds(timeoutMs);
    while (BoardClock::now() < end) {
        if (count() > 0) return true;
        SleepFor(std::chrono::milliseconds(20));
    }
    return count() > 0;
}

int RunArgv(const std::vector<std::string>& argv, std::string* output) {
    int fds[2];
    if (argv.empty() || pipe2(fds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 1);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    close(fds[1]);
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof(buf))) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) out.append(buf, (size_t)n);
    close(fds[0]);
    if (output) *output = out;
    int st = 0;
    if (rc != 0 || waitpid(pid, &st, 0) != pid) return -1;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

int RunCommand(const std::string& cmd, std::string* output) {
    std::string full = cmd + " 2>&1";
    FILE* fp = popen(full.c_str(), "r");
    if (!fp) return -1;
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), fp)) > 0) out.append(buf, n);
    int st = pclose(fp);
    if (output) *output = out;
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

}  // namespace sim
