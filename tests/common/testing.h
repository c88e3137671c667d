// Shared fixtures: a temp board root, log capture, a vela stand-in on free
// loopback ports, a recording reboot stub, and a way to run fwtool.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BoardProfile.h"

namespace fwtest {

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

// Sees every line the agent logs while it lives.
class LogCapture {
public:
    explicit LogCapture(bool quiet = false);
    ~LogCapture();
    std::string text() const;
    size_t count(const std::string& needle) const;
    bool contains(const std::string& needle) const { return count(needle) > 0; }
    // Waits until needle has been logged at least n times; false on time-out.
    bool waitFor(const std::string& needle, int timeoutMs = 30000, size_t n = 1) const;
    void clear();

private:
    static void Hook(int stream, const char* text, size_t len, void* user);
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::string text_;
};

// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeUdpPort();

struct Datagram {
    std::vector<uint8_t> bytes;
    std::chrono::steady_clock::time_point at;
    uint32_t type() const;
    uint32_t len() const;
    std::string payload() const;  // bytes from offset 8
};

// A parsed progress report ("set upgradestatus{...}").
struct Report {
    std::string name, total, current, percent, isEnd;
    int percentValue() const;
};
// Parses a report text; false when it is not one.
bool ParseReport(const std::string& text, Report* out);

// vela, as far as the agent sees it: sends orders, collects every datagram.
class VelaStandIn {
public:
    VelaStandIn();  // binds a free report port on 127.0.0.1
    ~VelaStandIn();
    uint16_t reportPort() const { return reportPort_; }
    uint16_t orderPort() const { return orderPort_; }
    void setOrderPort(uint16_t port) { orderPort_ = port; }
    // Sends raw bytes / a record to the agent's order port.
    void sendRaw(const std::vector<uint8_t>& bytes);
    void sendOrder(uint32_t type, const std::string& payload = "");
    std::vector<Datagram> datagrams() const;
    std::vector<Report> reports() const;
    // Waits until pred holds over the datagrams so far; false on time-out.
    bool waitUntil(const std::function<bool(const std::vector<Datagram>&)>& pred, int timeoutMs = 30000) const;
    bool waitForCount(size_t n, int timeoutMs = 30000) const;

private:
    void run();
    int rx_ = -1;
    int tx_ = -1;
    uint16_t reportPort_ = 0;
    uint16_t orderPort_ = 0;
    std::atomic<bool> running_{true};
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Datagram> got_;
    std::thread thread_;
};

// A reboot command that only records that it ran.
class RebootStub {
public:
    explicit RebootStub(const TempRoot& root);
    const std::string& command() const { return command_; }
    int count() const;  // times it ran
    bool waitForRun(int timeoutMs = 30000) const;

private:
    std::string command_;
    std::string log_;
};

// A profile for an agent in root: free order port, reports to vela, stub reboot.
BoardProfile TestProfile(const TempRoot& root, const VelaStandIn& vela, const RebootStub& reboot,
                         const std::string& serialDev = "/dev/null", double timeScale = 1.0);

// Runs a shell command; returns its exit status and fills *output with stdout+stderr.
int RunCommand(const std::string& cmd, std::string* output = nullptr);

}  // namespace fwtest
