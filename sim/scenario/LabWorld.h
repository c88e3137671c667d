// The agent's task object on the emulated board: a temp root with the board
// profile installed for it, vela's stand-in, the reboot stub, a pty line with
// the master boot loader, the IO MCU, the Valens chip and every ISP device
// behind it, the host link and the task with its port open on the line. The
// trace recorder and the tests build on this one rig.
#pragma once

#include <stdint.h>

#include <string>

#include "Board.h"
#include "Bootloader.h"
#include "IspDevice.h"
#include "PtyLine.h"
#include "Sandbox.h"
#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "ValensChip.h"
#include "Vela.h"

namespace sim {

struct LabOptions {
    // 0: virtual time (the agent's pauses and windows as on the board, the
    // run as fast as the machine goes); otherwise a wall clock at this many
    // real seconds a board second (1: real time).
    double scale = 0;
    BootloaderOptions master, io;
    ValensOptions valens;
    bool openPort = true;  // false: the task opens its port itself (the scheduler does)
};

class LabWorld {
public:
    explicit LabWorld(const LabOptions& o = {});
    ~LabWorld();
    LabWorld(const LabWorld&) = delete;
    LabWorld& operator=(const LabWorld&) = delete;

    // True when the profile was taken and the task's port is open (if asked).
    bool ready() const { return profileSet && (task.m_Uartfd > 0 || !openPort_); }
    // One ISP port as the walks set it up: family, port and image file.
    void selectPort(bool bv, unsigned port, const std::string& file);

    // Installs the clock before any thread of the rig or the agent starts.
    struct UseClock {
        explicit UseClock(double scale);
    } clock;
    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot{root};
    PtyLine line;
    Board board;
    Bootloader master, io;
    ValensChip valens;
    IspDeviceSet isp;
    bool profileSet = false;
    CUdpListen2vela host;
    CTaskfile2mcu task;

private:
    bool openPort_;
};

}  // namespace sim
