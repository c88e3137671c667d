// ISP dialogue: board time per data block against the pauses and windows the
// dialogue prescribes (the rest is the line's time and, on a wall clock, the
// agent's own overhead), on virtual time and at the board's own pace; loader
// throughput in MB/s of HEX text.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>

#include "Board.h"
#include "HexWriter.h"
#include "IspDevice.h"
#include "Udp2vela.h"
#include "PtyLine.h"
#include "QxLog.h"
#include "Taskfile2mcu.h"
#include "VirtualClock.h"

namespace {

// Prescribed per block in steady state, in µs: the eight answer windows of
// 84Req(33) 84Rsp(10) 86Req(10) 86Rsp(10) FlowCtrl(10) 5A1Rsp(33) 85Req(33)
// 5A2Rsp(33), and the pauses 5 (after 86), 10 (86 accepted), 20 + 50 (data),
// 50 (after 85).
const uint64_t kWindowsUs[] = {33000, 10000, 10000, 10000, 10000, 33000, 33000, 33000};
const uint64_t kPausesUs[] = {5000, 10000, 20000, 50000, 50000};

// Answers the dialogue had to ask again for: refused 83/84/86 answers and
// windows without the block's "Z". Zero when the scale leaves enough time.
struct Recoveries {
    std::atomic<long> refused{0};
    std::atomic<long> zWindows{0};
};
void CountLine(int, const char* text, size_t len, void* user) {
    Recoveries* r = static_cast<Recoveries*>(user);
    std::string line(text, len);
    if (line.find("Error.") != std::string::npos) r->refused++;
    if (line.find("In case 5A1Rsp") != std::string::npos) r->zWindows++;
}

double PrescribedUs() {
    double d = 0;
    for (uint64_t w : kWindowsUs) d += (double)w;
    for (uint64_t p : kPausesUs) d += (double)p;
    return d;
}

// scale: 0 virtual time, 1 the board's pace on the wall clock.
void BM_IspBlock(benchmark::State& state, double scale) {
    sim::UseTimeScale(scale);
    char tmpl[] = "/tmp/fwagent-bench-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        state.SkipWithError("mkdtemp");
        return;
    }
    std::string root = tmpl;
    QxLog_SetQuiet(true);
    for (auto _ : state) {
        sim::PtyLine line;
        BoardProfile p;
        p.strRoot = root;
        p.strSerialDev = line.slavePath();
        BoardProfile_Set(p);
        std::string dir = root + QX_UPDATE_DIR;
        std::string cmd = "mkdir -p " + dir;
        if (system(cmd.c_str()) != 0) state.SkipWithError("mkdir");
        std::vector<uint8_t> image = sim::SampleImage(1, {{0x00, 0x85}});
        std::string hex = sim::ImageToHex(image);
        FILE* fp = fopen((dir + "/BV.hex").c_str(), "wb");
        fwrite(hex.data(), 1, hex.size(), fp);
        fclose(fp);

        Recoveries rec;
        QxLog_SetHook(&CountLine, &rec);
        sim::Board board(line);
        sim::IspDeviceSet devices;
        devices.routeAll(board);
        board.start();
        CTaskfile2mcu task;
        task.m_Uartfd = task.OpenUart();
        task.m_bBVFlg = 1;
        task.m_u32Port = 1;
        task.SetUpgradeflg(true);
        memset(g_MCUVersionFile, 0, sizeof(g_MCUVersionFile));
        Board_Path(g_MCUVersionFile, sizeof(g_MCUVersionFile), QX_BV_HEX);
        task.Run4EPUpgrade();
        board.stop();
        close(task.m_Uartfd);
        QxLog_SetHook(nullptr, nullptr);

        // Steady state: from the 6th block on (the step counter's short windows are over).
        std::vector<sim::IspWrite> w = devices.bv(1).writes();
        if (w.size() < 20) {
            state.SkipWithError("too few blocks");
            break;
        }
        double us = std::chrono::duration<double, std::micro>(w.back().at - w[5].at).count() / (double)(w.size() - 6);
        double prescribed = PrescribedUs();
        state.SetIterationTime(us / 1e6);
        state.counters["blocks"] = (double)w.size();
        state.counters["block_ms"] = us / 1000.0;
        state.counters["prescribed_ms"] = prescribed / 1000.0;
        state.counters["overhead_pct"] = 100.0 * (us - prescribed) / prescribed;
        state.counters["refused"] = (double)rec.refused.load();
        state.counters["z_retry"] = (double)(rec.zWindows.load() - (long)w.size());
        state.counters["attempts"] = (double)devices.bv(1).entries();
        state.counters["flash_ok"] = sim::IspVerifyBank(devices.bv(1), 0, image).empty() ? 1 : 0;
    }
    BoardProfile_Set(BoardProfile());
    std::string rm = "rm -rf " + root;
    if (system(rm.c_str()) != 0) state.SkipWithError("rm");
}

void BM_LoaderThroughput(benchmark::State& state) {
    QxLog_SetQuiet(true);
    // A full 64 KiB image in 16-byte records: about 180 KB of text.
    std::string hex = sim::ImageToHex(sim::SampleImage(3, {{0x00, 0xFF}}));
    memset(g_Filebuf, 0, sizeof(g_Filebuf));
    memcpy(g_Filebuf, hex.data(), hex.size());
    for (auto _ : state) {
        int r = TransformDataOfFile(g_Filebuf, (int)hex.size());
        benchmark::DoNotOptimize(r);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)hex.size());
    state.counters["text_bytes"] = (double)hex.size();
}

}  // namespace

BENCHMARK_CAPTURE(BM_IspBlock, virtual_time, 0.0)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_IspBlock, real_time, 1.0)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoaderThroughput)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
