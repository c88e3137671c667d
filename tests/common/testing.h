// Shared fixtures: a temp board root, the agent's log, vela, the reboot stub, fwtool.
#pragma once

#include <ctype.h>

#include <chrono>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log_capture.h"
#include "BoardProfile.h"
#include "Sandbox.h"
#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "Vela.h"
#include "VirtualClock.h"

namespace fwtest {

// Under an emulator (the armhf build's tests run under qemu-user) the agent
// runs several times slower; rigs with tight answer windows stretch them by this.
#ifndef FWAGENT_TEST_SLOWDOWN
#define FWAGENT_TEST_SLOWDOWN 1
#endif
constexpr double kTestSlowdown = FWAGENT_TEST_SLOWDOWN;

using namespace sim;

// A profile for an agent in root: free order port, reports to vela, stub reboot.
BoardProfile TestProfile(const TempRoot& root, const VelaStandIn& vela, const RebootStub& reboot,
                         const std::string& serialDev = "/dev/null");

// Installs p as the board profile; throws when it is refused.
void SetProfile(const BoardProfile& p);

// What an agent test stands on, its log captured quietly.
struct AgentHome {
    // scale >= 0: its clock is installed before vela's stand-in starts its thread.
    explicit AgentHome(double scale = -1) : clock(scale) {}
    // The profile for this home on dev, and the clock for scale (0 virtual time).
    void install(const std::string& dev = "/dev/null", double scale = 1.0) {
        sim::UseTimeScale(scale);
        SetProfile(TestProfile(root, vela, reboot, dev));
    }
    struct UseClock {
        explicit UseClock(double scale) {
            if (scale >= 0) sim::UseTimeScale(scale);
        }
    } clock;
    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot{root};
    LogCapture log{true};
};

// g_pTaskUP4mcu and g_pudp4vela for one test; a listening link's receive
// thread outlives the test, so both are then left to the process.
class AgentGlobals {
public:
    enum Link { kNoLink, kSockets, kListening };
    explicit AgentGlobals(CTaskfile2mcu* task, Link kind = kNoLink);
    ~AgentGlobals();
    AgentGlobals(const AgentGlobals&) = delete;
    AgentGlobals& operator=(const AgentGlobals&) = delete;
    CUdpListen2vela* link = nullptr;

private:
    bool task_;
    Link kind_;
};

inline std::string RandomBytes(size_t n, unsigned seed = 7) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = (char)(gen() & 0xFF);
    return s;
}
inline double SecondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
// A test's name from a row's legend: its words in letters and digits, '_' between.
inline std::string TestName(const std::string& legend) {
    std::string name;
    for (char c : legend) {
        if (isalnum((unsigned char)c))
            name += c;
        else if (!name.empty() && name.back() != '_')
            name += '_';
    }
    while (!name.empty() && name.back() == '_') name.pop_back();
    return name;
}
template <class Row>
auto RowLegend(const Row& r) -> decltype(std::string(r.legend)) { return r.legend; }
template <class Row>
auto RowLegend(const Row& r) -> decltype(std::string(r.name)) { return r.name; }
// For INSTANTIATE_TEST_SUITE_P: each row named after its legend (or name).
struct LegendName {
    template <class Info>
    std::string operator()(const Info& info) const {
        return TestName(RowLegend(info.param));
    }
};
// The lines of a data file in the source tree, but blank ones and '#' comments.
inline std::vector<std::string> DataLines(const std::string& relative) {
    std::istringstream file(ReadFile(std::string(FWAGENT_SOURCE_DIR) + "/" + relative));
    std::vector<std::string> lines;
    for (std::string line; std::getline(file, line);)
        if (!line.empty() && line[0] != '#') lines.push_back(line);
    return lines;
}
// Runs fwtool (behind the emulator in cross builds) with args, no shell between.
inline int Fwtool(std::vector<std::string> args, std::string* out = nullptr) {
    std::vector<std::string> argv;
    std::istringstream cmd(FWTOOL_PATH);
    for (std::string w; cmd >> w;) argv.push_back(w);
    argv.insert(argv.end(), args.begin(), args.end());
    return sim::RunArgv(argv, out);
}
// Polls pred every 5 ms until it holds; false when it still fails after ms
// (board milliseconds on virtual time, where a real sleep would hold time still).
inline bool WaitFor(const std::function<bool()>& pred, int ms = 20000) {
    for (int i = 0; i < ms / 5; i++) {
        if (pred()) return true;
        if (sim::Virtual() != nullptr)
            sim::SleepFor(std::chrono::milliseconds(5));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return pred();
}

}  // namespace fwtest
