// Fixtures for the serial tests: the agent's task object on a pty, its host
// link toward a vela stand-in, and lrzsz peers behind socat.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "Board.h"
#include "BoardProfile.h"
#include "Bootloader.h"
#include "PtyLine.h"
#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "ValensChip.h"
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
    explicit AgentWorld(double scale)
        : profileSet((SetProfile(TestProfile(root, vela, reboot, line.slavePath(), scale)), true)) {}
    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot{root};
    sim::PtyLine line;
    bool profileSet;
};

// AgentWorld with the emulated board in application mode: the master boot
// loader behind "WUPG Master", the IO MCU and the Valens chip behind the signal lines.
struct EmulatedBoard : AgentWorld {
    explicit EmulatedBoard(double scale, sim::BootloaderOptions masterOpt = {}, sim::BootloaderOptions ioOpt = {},
                           sim::ValensOptions valensOpt = {})
        : AgentWorld(scale),
          board(line),
          master("master", scale, masterOpt),
          io("iomcu", scale, ioOpt),
          valens("valens", scale, valensOpt) {
        board.route("WUPG Master\r\n", &master);
        board.routeSig(&io, &valens);
        board.start();
        host.setValensCmd("UPG VALENS TX\r\n");
    }
    ~EmulatedBoard() { board.stop(); }
    HostLink host;
    sim::Board board;
    sim::Bootloader master, io;
    sim::ValensChip valens;
};

// An lrzsz program behind socat: socat makes a raw pty (linked at tty())
// and runs the program on the other side in dir. Ended by its own process
// group, which only socat and its child are in.
class SocatPeer {
public:
    SocatPeer(const std::string& dir, const std::string& program) : tty_(dir + "/tty") {
        // Everything the child needs is built before fork: it only execs.
        const std::string sys = "SYSTEM:cd " + dir + " && exec " + program;
        const std::string pty = "pty,raw,echo=0,link=" + tty_;
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            int devnull = open("/dev/null", O_RDWR);
            dup2(devnull, 0);
            dup2(devnull, 1);
            dup2(devnull, 2);
            execlp("socat", "socat", pty.c_str(), sys.c_str(), (char*)nullptr);
            _exit(127);
        }
        setpgid(pid_, pid_);
        for (int i = 0; i < 500 && access(tty_.c_str(), F_OK) != 0; i++) usleep(10000);
        if (access(tty_.c_str(), F_OK) != 0) throw std::runtime_error("socat did not make " + tty_);
    }
    ~SocatPeer() {
        if (!reaped_) {
            kill(-pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& tty() const { return tty_; }
    // Waits for socat to end by itself (its program ended); false on time-out.
    bool waitExit(int timeoutMs) {
        for (int i = 0; i < timeoutMs / 10; i++) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                reaped_ = true;
                kill(-pid_, SIGTERM);  // a straggler of its group, if any
                return true;
            }
            usleep(10000);
        }
        return false;
    }

private:
    std::string tty_;
    pid_t pid_ = -1;
    bool reaped_ = false;
};

}  // namespace fwtest
