// A serial peer program (lrzsz rb or sb, say) behind socat: socat makes a
// raw pty, linked at tty(), and runs the program on the other side.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "BlackBox.h"

namespace fwtest {

class SocatPeer {
public:
    // program's words are split at spaces; it runs in dir, where the pty link is made.
    SocatPeer(const std::string& dir, const std::string& program) : tty_(dir + "/tty") {
        pid_ = sim::SpawnProgram({"socat", "pty,raw,echo=0,link=" + tty_, "EXEC:" + program}, "/dev/null", dir);
        for (int i = 0; i < 500 && pid_ > 0 && access(tty_.c_str(), F_OK) != 0; i++) usleep(10000);
        if (pid_ <= 0 || access(tty_.c_str(), F_OK) != 0) throw std::runtime_error("socat did not make " + tty_);
    }
    // socat hands the SIGTERM on to its program.
    ~SocatPeer() {
        if (pid_ > 0) kill(pid_, SIGTERM), sim::WaitProgram(pid_);
    }
    SocatPeer(const SocatPeer&) = delete;
    SocatPeer& operator=(const SocatPeer&) = delete;
    const std::string& tty() const { return tty_; }
    // Waits for socat to end by itself (its program ended); false on time-out.
    bool waitExit(int timeoutMs) {
        for (int i = 0; i <= timeoutMs / 10 && pid_ > 0; i++) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
            if (pid_ > 0) usleep(10000);
        }
        return pid_ <= 0;
    }

private:
    std::string tty_;
    pid_t pid_ = -1;
};

}  // namespace fwtest
