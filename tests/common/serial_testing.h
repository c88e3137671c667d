// Fixtures for the serial tests: the agent's task object on a pty and its host
// link toward a vela stand-in.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "BoardProfile.h"
#include "PtyLine.h"
#include "socat_peer.h"
#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "testing.h"

namespace fwtest {

// Installs a profile whose serial device is dev (no root, default ports).
inline void UseSerialDevice(const std::string& dev, double scale = 1.0) {
    BoardProfile p;
    p.strSerialDev = dev;
    p.dTimeScale = scale;
    SetProfile(p);
}

// The task object, reachable through g_pTaskUP4mcu, with its port open on dev.
class TaskOnPort {
public:
    explicit TaskOnPort(const std::string& dev, int speed = 115200) {
        task.m_Uartfd = task.OpenUart();
        if (task.m_Uartfd < 0) throw std::runtime_error("cannot open " + dev);
        if (speed > 0) task.SetUartSpeed(dev.c_str(), speed);
    }
    ~TaskOnPort() {
        if (task.m_Uartfd > 0) task.CloseUart();
    }
    CTaskfile2mcu task;
    AgentGlobals globals{&task};
};

// The agent's host link, sockets only (no receive thread): reports reach the
// vela stand-in of the installed profile.
class HostLink {
public:
    void setValensCmd(const std::string& cmd) {
        snprintf(link.m_szValensUpCmd, sizeof(link.m_szValensUpCmd), "%s", cmd.c_str());
    }
    AgentGlobals globals{nullptr, AgentGlobals::kSockets};
    CUdpListen2vela& link = *globals.link;
};

// A temp root, a vela stand-in, a reboot stub and a pty line, with the
// profile installed for them (the pty slave is the serial device).
struct AgentWorld {
    explicit AgentWorld(double scale, uint32_t minWaitUs = 0) {
        BoardProfile p = TestProfile(root, vela, reboot, line.slavePath(), scale);
        if (minWaitUs > 0) p.u32MinWaitUs = minWaitUs;
        SetProfile(p);
    }
    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot{root};
    sim::PtyLine line;
};

}  // namespace fwtest
