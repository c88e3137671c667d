// fwtool ymodem-send: one file to a YMODEM receiver on a serial device, with
// the agent's own sender and serial operations.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "BoardProfile.h"
#include "QxLog.h"
#include "Taskfile2mcu.h"
#include "fwtool.h"
#include "fymodem.h"

namespace {
const size_t kMaxFile = 64u << 20;

void Progress(uint32_t done, uint32_t total, void*) {
    static int s_last = -1;
    int pct = total ? (int)((uint64_t)done * 100 / total) : 100;
    if (pct / 10 != s_last / 10 || done == total) {
        printf("ymodem-send: %u of %u bytes (%d%%)\n", done, total, pct);
        s_last = pct;
    }
}

struct Args {
    std::string port, name, file;
    int baud = 115200;
    bool verbose = false;
} s_args;

int Run() {
    const std::string& port = s_args.port;
    const std::string& file = s_args.file;
    std::string name = s_args.name;
    const int baud = s_args.baud;
    const bool verbose = s_args.verbose;
    if (name.empty()) {
        size_t slash = file.rfind('/');
        name = slash == std::string::npos ? file : file.substr(slash + 1);
    }
    if (name.size() > YM_FILE_NAME_MAX) fprintf(stderr, "ymodem-send: name cut to %d bytes\n", YM_FILE_NAME_MAX);

    std::ifstream in(file, std::ios::binary);
    if (!in) {
        fprintf(stderr, "ymodem-send: cannot read %s\n", file.c_str());
        return 1;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    std::string data = ss.str();
    if (data.size() > kMaxFile) {
        fprintf(stderr, "ymodem-send: %s is %zu bytes, more than %zu\n", file.c_str(), data.size(), kMaxFile);
        return 1;
    }

    BoardProfile profile;
    profile.strSerialDev = port;
    std::string err;
    if (BoardProfile_Set(profile, &err) != 0) {
        fprintf(stderr, "ymodem-send: %s\n", err.c_str());
        return 2;
    }
    QxLog_SetQuiet(!verbose);
    static CTaskfile2mcu s_task;
    g_pTaskUP4mcu = &s_task;
    s_task.m_Uartfd = s_task.OpenUart();
    if (s_task.m_Uartfd < 0) {
        fprintf(stderr, "ymodem-send: cannot open %s\n", port.c_str());
        return 1;
    }
    if (s_task.SetUartSpeed(port.c_str(), baud) != 0) {
        fprintf(stderr, "ymodem-send: cannot set %s to %d bit/s\n", port.c_str(), baud);
        s_task.CloseUart();
        return 1;
    }
    printf("ymodem-send: %s (%zu bytes) as %s to %s at %d bit/s\n", file.c_str(), data.size(), name.c_str(),
           port.c_str(), baud);
    fymodem_set_progress(&Progress, nullptr);
    std::vector<unsigned char> buf(data.begin(), data.end());
    int32_t ret = fymodem_send(buf.empty() ? nullptr : buf.data(), (unsigned)buf.size(), name.c_str());
    fymodem_set_progress(nullptr, nullptr);
    s_task.CloseUart();
    if (ret < 0) {
        fprintf(stderr, "ymodem-send: transfer failed or cancelled\n");
        return 1;
    }
    printf("ymodem-send: done, closing packet acknowledged\n");
    return 0;
}

FwCommand::Run Setup(CLI::App& app) {
    app.add_option("--port", s_args.port, "serial device")->required();
    app.add_option("--baud", s_args.baud, "line speed in bit/s")->capture_default_str()->check(CLI::Range(1, 4000000));
    app.add_option("--name", s_args.name, "file name in the header packet (default: FILE's own)");
    app.add_flag("-v,--verbose", s_args.verbose, "show the agent's log");
    app.add_option("FILE", s_args.file, "file to send")->required();
    return &Run;
}

FwCommand s_cmd("ymodem-send", "send FILE by YMODEM with the agent's own sender and serial operations", &Setup);
}  // namespace
