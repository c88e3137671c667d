// fwtool mcu-channel: opens the master-MCU packet channel on a serial device
// the way the agent does, prints what the MCU sends, and optionally pushes an
// image with the agent's record-based file push.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>

#include "BoardProfile.h"
#include "Sandbox.h"
#include "Transfer4mcu.h"
#include "Udp2vela.h"
#include "fwtool.h"

namespace {
std::atomic<bool> s_stop{false};
void OnSignal(int) { s_stop = true; }

// The agent's progress reports, caught on a loopback port of our own.
class ReportListener {
public:
    bool open() {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        if (fd_ < 0) return false;
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(a);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return false;
        port_ = ntohs(a.sin_port);
        timeval tv{0, 100000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        thread_ = std::thread([this] { run(); });
        return true;
    }
    uint16_t port() const { return port_; }
    ~ReportListener() {
        running_ = false;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) close(fd_);
    }

private:
    void run() {
        char buf[QX_UDP_MAX_DATAGRAM + 1];
        while (running_) {
            ssize_t n = recv(fd_, buf, QX_UDP_MAX_DATAGRAM, 0);
            if (n <= 8) continue;
            buf[n] = '\0';
            printf("mcu-channel: progress %s\n", buf + 8);
        }
    }
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> running_{true};
    std::thread thread_;
};

struct Args {
    std::string port, push;
    double seconds = 0;
} s_args;

bool UsableArgs() {
    if (access(s_args.port.c_str(), R_OK | W_OK) != 0) {
        fprintf(stderr, "mcu-channel: cannot use %s: %s\n", s_args.port.c_str(), strerror(errno));
        return false;
    }
    if (!s_args.push.empty() && access(s_args.push.c_str(), R_OK) != 0) {
        fprintf(stderr, "mcu-channel: cannot read %s: %s\n", s_args.push.c_str(), strerror(errno));
        return false;
    }
    return true;
}

BoardProfile ChannelProfile(const std::string& root, uint16_t reportPort) {
    BoardProfile profile;
    profile.strRoot = root;
    profile.strSerialDev = s_args.port;
    profile.u16OrderPort = 0;  // no orders come in here
    profile.u16ReportPort = reportPort;
    profile.strRebootCmd = "echo 'mcu-channel: the board would reboot now'";
    return profile;
}

// The push reads the image from the board's update directory.
bool StageImage(const std::string& root) {
    std::error_code ec;
    std::filesystem::create_directories(root + QX_UPDATE_DIR, ec);
    if (ec || !std::filesystem::copy_file(s_args.push, root + QX_MASTER_HEX, ec)) {
        fprintf(stderr, "mcu-channel: cannot stage %s: %s\n", s_args.push.c_str(), ec.message().c_str());
        return false;
    }
    return true;
}

// The push waits for the MCU without limit: a signal closes the channel under it.
int Push() {
    std::atomic<bool> done{false};
    std::thread pusher([&done] {
        CTransfer4mcu::QX_SendUPGFileToSTM32(nullptr);
        done = true;
    });
    while (!done && !s_stop) usleep(20000);
    const bool interrupted = !done;
    if (interrupted) {
        CTransfer4mcu::QX_UartClose();
        fprintf(stderr, "mcu-channel: push interrupted\n");
    }
    pusher.join();
    const bool refused = !interrupted && g_UpgInfo.status.load() == 2;
    if (refused)
        fprintf(stderr, "mcu-channel: the MCU did not acknowledge the upgrade request\n");
    else if (!interrupted)
        printf("mcu-channel: push of %s finished\n", s_args.push.c_str());
    usleep(300000);  // the last reports
    return interrupted || refused ? 1 : 0;
}

// Asleep, woken once a second or by a signal: the idle channel is what is measured.
void Listen(double seconds) {
    for (double left = seconds; !s_stop && (seconds <= 0 || left > 0); left -= 1)
        usleep(seconds <= 0 || left >= 1 ? 1000000 : static_cast<useconds_t>(left * 1e6));
}

// The channel with the agent's own objects around it, as the agent opens it.
int RunChannel() {
    signal(SIGINT, OnSignal);
    signal(SIGTERM, OnSignal);
    g_pudp4vela = new CUdpListen2vela();
    g_pudp4vela->CreateSocket();
    g_pTransferFile2mcu = new CTransfer4mcu();
    CTransfer4mcu::QX_UartInit();
    printf("mcu-channel: channel open on %s\n", s_args.port.c_str());
    int status = 0;
    if (s_args.push.empty())
        Listen(s_args.seconds);
    else
        status = Push();
    CTransfer4mcu::QX_UartClose();
    delete g_pTransferFile2mcu;
    g_pTransferFile2mcu = nullptr;
    delete g_pudp4vela;
    g_pudp4vela = nullptr;
    return status;
}

int Run() {
    if (!UsableArgs()) return 1;
    // A private board root, the agent's reports caught on a port of our own.
    sim::TempRoot tempRoot;
    ReportListener reports;
    if (!reports.open()) {
        perror("mcu-channel: report socket");
        return 1;
    }
    if (BoardProfile_Set(ChannelProfile(tempRoot.path(), reports.port())) != 0) return 1;
    if (!s_args.push.empty() && !StageImage(tempRoot.path())) return 1;
    return RunChannel();
}

FwCommand::Run Setup(CLI::App& app) {
    app.add_option("--port", s_args.port, "serial device of the master MCU")->required();
    app.add_option("--push", s_args.push, "image to push to the MCU by block transfer");
    app.add_option("--for", s_args.seconds, "listen this long, then leave (default: until interrupted)")
        ->check(CLI::Range(0.0, 86400.0));
    return &Run;
}

FwCommand s_cmd("mcu-channel",
                "open the master-MCU packet channel on DEV; print what the MCU sends; push FILE as its image", &Setup);
}  // namespace
