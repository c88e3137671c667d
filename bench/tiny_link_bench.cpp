// Framed-link throughput over a socketpair and acknowledged round trips over
// a pty pair. The idle channel's CPU time is a whole-process figure:
// bench/idle_channel_cpu.sh.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "QxLog.h"
#include "LinkPair.h"
#include "tiny_layer2.h"

namespace {
int32_t FdWrite(void* user, const void* data, int32_t len) {
    ssize_t n = ::write(*static_cast<int*>(user), data, (size_t)len);
    return n < 0 ? -1 : (int32_t)n;
}
int32_t FdRead(void* user, void* buf, int32_t len) {
    ssize_t n = ::read(*static_cast<int*>(user), buf, (size_t)len);
    return n < 0 ? -1 : (int32_t)n;
}

// One 1024-byte frame (random bytes, so some are stuffed) per iteration,
// written by a second thread through the frame layer, read back through it.
void BM_FramedLinkThroughput(benchmark::State& state) {
    signal(SIGPIPE, SIG_IGN);
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
        state.SkipWithError("socketpair");
        return;
    }
    const int32_t kLen = (int32_t)state.range(0);
    std::vector<uint8_t> payload(kLen);
    for (int32_t i = 0; i < kLen; i++) payload[i] = (uint8_t)(i * 37 + 11);
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        tiny_link_handle tx;
        memset(&tx, 0, sizeof(tx));
        tiny_init(&tx, FdWrite, FdRead, &sv[0]);
        while (!stop && tiny_send(&tx, nullptr, payload.data(), kLen, TINY_FLAG_WAIT_FOREVER) > 0) {
        }
        tiny_close(&tx);
    });
    tiny_link_handle rx;
    memset(&rx, 0, sizeof(rx));
    tiny_init(&rx, FdWrite, FdRead, &sv[1]);
    std::vector<uint8_t> buf(kLen + 1);
    for (auto _ : state) {
        int r = tiny_read(&rx, nullptr, buf.data(), kLen + 1, TINY_FLAG_WAIT_FOREVER);
        if (r != kLen) state.SkipWithError("frame lost");
    }
    state.SetBytesProcessed(state.iterations() * kLen);
    stop = true;
    close(sv[1]);
    sender.join();
    close(sv[0]);
    tiny_close(&rx);
}
BENCHMARK(BM_FramedLinkThroughput)->Arg(64)->Arg(1024)->UseRealTime();

// A frame sent and waited for until the far end's acknowledgement arrives.
void BM_AckRoundTripsOverPty(benchmark::State& state) {
    QxLog_SetQuiet(true);
    sim::LinkPair pair(5000);
    if (!pair.ok) {
        state.SkipWithError("pty pair");
        return;
    }
    pair.b.hook = [](tiny_link_handle*, uint16_t, uint8_t*, int32_t) {};
    pair.a.start();
    pair.b.start();
    std::vector<uint8_t> payload((size_t)state.range(0), 0x55);
    for (auto _ : state) {
        if (tiny_send_wait_ack(&pair.a.h, payload.data(), (uint16_t)payload.size()) != 1)
            state.SkipWithError("not acknowledged");
    }
    state.counters["round_trips_per_s"] = benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
    QxLog_SetQuiet(false);
}
BENCHMARK(BM_AckRoundTripsOverPty)->Arg(16)->Arg(1032)->UseRealTime();
}  // namespace

BENCHMARK_MAIN();
