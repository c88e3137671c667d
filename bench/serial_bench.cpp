// Goodput on a pty line paced at 115200 bit/s 8N1 (11,520 bytes/s):
//  - the raw image push of the master/IO MCU path;
//  - our YMODEM sender against lrzsz `sb --ymodem -k`, both to the same
//    emulated Valens chip.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BoardProfile.h"
#include "DeviceRunner.h"
#include "PtyLine.h"
#include "QxLog.h"
#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "ValensChip.h"
#include "fymodem.h"

namespace {

const double kLineBytesPerSecond = 115200.0 / 10.0;

std::string RandomBytes(size_t n) {
    std::mt19937 gen(42);
    std::string s(n, '\0');
    for (auto& c : s) c = (char)(gen() & 0xFF);
    return s;
}

std::string TempFile(const std::string& content) {
    char tmpl[] = "/tmp/fwbench-XXXXXX";
    int fd = mkstemp(tmpl);
    if (fd < 0) abort();
    if (write(fd, content.data(), content.size()) != (ssize_t)content.size()) abort();
    close(fd);
    return tmpl;
}

double Since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// The task object with its port open on the line's slave at 115200.
struct Agent {
    explicit Agent(sim::PtyLine& line) {
        BoardProfile p;
        p.strSerialDev = line.slavePath();
        BoardProfile_Set(p);
        QxLog_SetQuiet(true);
        g_pTaskUP4mcu = &task;
        task.m_Uartfd = task.OpenUart();
        task.SetUartSpeed(line.slavePath().c_str(), 115200);
    }
    ~Agent() {
        task.CloseUart();
        g_pTaskUP4mcu = nullptr;
        QxLog_SetQuiet(false);
    }
    CTaskfile2mcu task;
};

void Report(benchmark::State& state, size_t bytes, double secs) {
    state.counters["bytes"] = (double)bytes;
    state.counters["seconds"] = secs;
    state.counters["goodput_Bps"] = bytes / secs;
    state.counters["of_line_pct"] = 100.0 * bytes / secs / kLineBytesPerSecond;
}

void BM_RawPush(benchmark::State& state) {
    const size_t size = (size_t)state.range(0);
    std::string path = TempFile(RandomBytes(size));
    for (auto _ : state) {
        sim::PtyLine line;
        line.setPacing(true);
        Agent agent(line);
        std::atomic<size_t> got{0};
        std::atomic<bool> run{true};
        std::thread drain([&] {
            char buf[4096];
            while (run) {
                ssize_t n = line.read(buf, sizeof(buf), 5);
                if (n > 0) got += (size_t)n;
            }
        });
        auto t0 = std::chrono::steady_clock::now();
        agent.task.QX_UPGSTM32(&path[0]);
        while (got < size) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        double secs = Since(t0);
        run = false;
        drain.join();
        state.SetIterationTime(secs);
        Report(state, size, secs);
    }
    unlink(path.c_str());
}

void BM_YmodemOurSender(benchmark::State& state) {
    const size_t size = (size_t)state.range(0);
    std::string data = RandomBytes(size);
    for (auto _ : state) {
        sim::PtyLine line;
        line.setPacing(true);
        Agent agent(line);
        sim::ValensChip chip("valens");
        sim::DeviceRunner runner(line, chip);
        std::vector<unsigned char> buf(data.begin(), data.end());
        auto t0 = std::chrono::steady_clock::now();
        runner.start("TX");
        int32_t ret = fymodem_send(buf.data(), (unsigned)buf.size(), "VSTX.hex");
        double secs = Since(t0);
        runner.stop();
        if (ret != (int32_t)size || chip.record().file != data) state.SkipWithError("transfer failed");
        state.SetIterationTime(secs);
        Report(state, size, secs);
        // Our sender starts with a fixed 1 s pause before it looks for the 'C'.
        state.counters["goodput_after_start_pause_Bps"] = size / (secs - 1.0);
    }
}

void BM_YmodemLrzszSb(benchmark::State& state) {
    const size_t size = (size_t)state.range(0);
    std::string data = RandomBytes(size);
    std::string path = TempFile(data);
    for (auto _ : state) {
        sim::PtyLine line;
        line.setPacing(true);
        Agent agent(line);  // sets the line to 115200 the same way
        sim::ValensChip chip("valens");
        sim::DeviceRunner runner(line, chip);
        int slave = open(line.slavePath().c_str(), O_RDWR | O_NOCTTY);
        int devnull = open("/dev/null", O_WRONLY);
        auto t0 = std::chrono::steady_clock::now();
        runner.start("TX");
        pid_t pid = fork();
        if (pid == 0) {
            dup2(slave, 0);
            dup2(slave, 1);
            dup2(devnull, 2);
            execlp("sb", "sb", "--ymodem", "-k", path.c_str(), (char*)nullptr);
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        double secs = Since(t0);
        runner.stop();
        close(slave);
        close(devnull);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || chip.record().file != data)
            state.SkipWithError("sb transfer failed");
        state.SetIterationTime(secs);
        Report(state, size, secs);
    }
    unlink(path.c_str());
}

}  // namespace

// 8 raw blocks of 10240 bytes: about 7 s at the line rate.
BENCHMARK(BM_RawPush)->Arg(8 * 10240)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
// 64 KiB: about 5.7 s of data at the line rate.
BENCHMARK(BM_YmodemOurSender)->Arg(65536)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);
BENCHMARK(BM_YmodemLrzszSb)->Arg(65536)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
