// Shared fixtures: a temp board root, the agent's log, a vela stand-in on free
// loopback ports, a recording reboot stub, and a way to run fwtool.
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

// The lab's facilities (temp roots, vela's stand-in, the reboot stub, running
// programs) under the tests' own namespace.
using namespace sim;

// A profile for an agent in root: free order port, reports to vela, stub reboot.
BoardProfile TestProfile(const TempRoot& root, const VelaStandIn& vela, const RebootStub& reboot,
                         const std::string& serialDev = "/dev/null");

// Installs p as the board profile; throws when it is refused.
void SetProfile(const BoardProfile& p);

// What an agent test stands on: a temp root, vela's stand-in, the reboot stub
// and the agent's log, captured quietly.
struct AgentHome {
    // scale >= 0: its clock (see sim::UseTimeScale) is installed first, before
    // vela's stand-in starts its thread.
    explicit AgentHome(double scale = -1) : clock(scale) {}
    // Installs the profile for this home with the serial device given, and
    // the clock for the time scale (see sim::UseTimeScale: 0 virtual time).
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

// The agent's process-wide task object and host link for one test: while
// this lives g_pTaskUP4mcu is task (when given) and g_pudp4vela a link with
// its sockets, listening for orders too with kListening. A listening link's
// receive thread outlives the test: both are then left to the process.
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
// For INSTANTIATE_TEST_SUITE_P: each row named after its legend.
struct LegendName {
    template <class Info>
    std::string operator()(const Info& info) const {
        return TestName(info.param.legend);
    }
};
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
