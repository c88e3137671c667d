// A sandbox for one agent: a private board root and a reboot command that
// only records that it ran.
#pragma once

#include <string>
#include <vector>

namespace sim {

// A private directory tree removed with everything in it on destruction.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::string& path() const { return path_; }
    // path() + board path, e.g. file("/home/ubuntu/valens/VSTX.hex").
    std::string file(const std::string& boardPath) const { return path_ + boardPath; }
    // Writes a file (creating its directories); returns the full path.
    std::string write(const std::string& boardPath, const std::string& content) const;
    std::string read(const std::string& boardPath) const;
    bool exists(const std::string& boardPath) const;
    void mkdirs(const std::string& boardPath) const;

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
void MkdirP(const std::string& path);
void RemoveTree(const std::string& path);

// A reboot command that only records that it ran.
class RebootStub {
public:
    explicit RebootStub(const TempRoot& root);
    const std::string& command() const { return command_; }
    int count() const;  // times it ran
    void reset() const;  // forgets the runs so far
    // From now on each run is recorded and ends with this exit status (0: a
    // reboot that worked, anything else one that failed).
    void exitWith(int status) const;
    bool waitForRun(int timeoutMs = 30000) const;

private:
    std::string command_;
    std::string log_;
};

// Runs a shell command; returns its exit status and fills *output with stdout+stderr.
int RunCommand(const std::string& cmd, std::string* output = nullptr);
// Runs a program found in PATH with these arguments, no shell between; returns
// its exit status (-1 when it could not run or was killed) and fills *output
// with its stdout and stderr.
int RunArgv(const std::vector<std::string>& argv, std::string* output = nullptr);

}  // namespace sim
