// Fixtures for the serial tests: a profile naming the serial device, and the
// agent's task object with its port open on it.
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

// Installs a profile whose serial device is dev (no root, default ports), and
// the clock for the time scale (see sim::UseTimeScale: 0 virtual time).
inline void UseSerialDevice(const std::string& dev, double scale = 1.0) {
    sim::UseTimeScale(scale);
    BoardProfile p;
    p.strSerialDev = dev;
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

}  // namespace fwtest
