// Two ends of the acknowledged link over a pty pair that can lose or damage frames.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "LinkPair.h"
#include "McuPeer.h"
#include "testing.h"
#include "tiny_hd.h"

namespace {
using Bytes = std::vector<uint8_t>;
using Pair = sim::LinkPair;
using fwtest::WaitFor;

const Bytes kHello{'h', 'e', 'l', 'l', 'o', 0x01, 0x02};
// Every test on virtual time, the main thread taking part from the start.
const bool kVirtual = (sim::UseVirtualTime(), true);

// The frames an independent reader finds, until n are in or ms have passed.
std::vector<sim::McuFrameReader::Frame> ReadFrames(int fd, size_t n, int ms) {
    sim::McuFrameReader reader;
    sim::McuFrameReader::Frame f;
    std::vector<sim::McuFrameReader::Frame> frames;
    WaitFor(
        [&] {
            uint8_t b;
            while (frames.size() < n && ::read(fd, &b, 1) == 1)
                if (reader.feed(b, &f)) frames.push_back(f);
            return frames.size() >= n;
        },
        ms);
    return frames;
}
}  // namespace

TEST(TinyHd, DeliveredAndAcknowledgedBothWays) {
    Pair p;
    ASSERT_TRUE(p.ok);
    p.a.start();
    p.b.start();
    EXPECT_EQ(tiny_send_wait_ack(&p.a.h, kHello.data(), (uint16_t)kHello.size()), 1);
    EXPECT_EQ(tiny_send_wait_ack(&p.b.h, kHello.data(), 3), 1);
    ASSERT_TRUE(WaitFor([&] { return p.b.got().size() == 1 && p.a.got().size() == 1; }));
    EXPECT_EQ(p.b.got()[0].second, kHello);
    EXPECT_LT(p.b.got()[0].first, 0x1000);
    EXPECT_EQ(p.a.got()[0].second, Bytes(kHello.begin(), kHello.begin() + 3));
    // A frame without acknowledgement request: delivered with id 0, not acknowledged.
    int flagsBefore = p.b.flags.load();
    EXPECT_EQ(tiny_send_no_wait(&p.a.h, kHello.data(), 2), 2);
    ASSERT_TRUE(WaitFor([&] { return p.b.got().size() == 2; }));
    EXPECT_EQ(p.b.got()[1].first, 0);
    EXPECT_EQ(p.b.flags.load(), flagsBefore);
    // Ids wrap after 4096 requests.
    uint16_t first = p.b.got()[0].first;
    for (int i = 0; i < 4095; i++) {
        tiny_hd_request r;
        EXPECT_EQ(tiny_put_request(&r), (first + 2 + i) & 0x0FFF);
        tiny_remove_request(&r);
    }
    ASSERT_EQ(tiny_send_wait_ack(&p.a.h, kHello.data(), 2), 1);
    ASSERT_TRUE(WaitFor([&] { return p.b.got().size() == 3; }));
    EXPECT_EQ(p.b.got()[2].first, (first + 1) & 0x0FFF);
}

struct LossRow {
    const char* legend;
    int dropAck, flip, lose;
    int ackFlags;  // flags b wrote: two per acknowledgement
};
void PrintTo(const LossRow& r, std::ostream* os) { *os << r.legend; }
class LostOrDamagedFrames : public ::testing::TestWithParam<LossRow> {};

TEST_P(LostOrDamagedFrames, AreSentAgainAndDeliveredOnce) {
    const LossRow& r = GetParam();
    Pair p;
    ASSERT_TRUE(p.ok);
    p.b.dropFrame = r.dropAck;
    p.a.flipFrame = r.flip;
    p.a.loseByteOfFrame = r.lose;
    p.a.start();
    p.b.start();
    EXPECT_EQ(tiny_send_wait_ack(&p.a.h, kHello.data(), (uint16_t)kHello.size()), 1);
    EXPECT_EQ(p.b.flags.load(), r.ackFlags);
    sim::SleepFor(std::chrono::seconds(1));  // no second delivery comes
    ASSERT_EQ(p.b.got().size(), 1u);
    EXPECT_EQ(p.b.got()[0].second, kHello);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, LostOrDamagedFrames,
    ::testing::ValuesIn(std::vector<LossRow>{
        {"the acknowledgement lost: the resend is acknowledged, not delivered", 0, -1, -1, 4},
        {"a byte flipped", -1, 0, -1, 2},
        {"a byte dropped", -1, -1, 0, 2},
    }),
    fwtest::LegendName());

TEST(TinyHd, SilentPeerGivesMinusTwoAfterThreeTransmissions) {
    Pair p(150);
    ASSERT_TRUE(p.ok);
    p.a.start();  // b never reads
    auto t0 = sim::BoardClock::now();
    EXPECT_EQ(tiny_send_wait_ack(&p.a.h, kHello.data(), (uint16_t)kHello.size()), -2);
    EXPECT_EQ(sim::BoardClock::now() - t0, std::chrono::milliseconds(450));  // three waits of 150 ms
    auto frames = ReadFrames(p.slave, 4, 200);
    EXPECT_EQ(frames.size(), 3u);
    for (const auto& f : frames) {
        EXPECT_EQ(f.payload, kHello);
        EXPECT_EQ(f.uid & 0xF000, 0x4000);
    }
}

TEST(TinyHd, CloseDuringAWaitGivesMinusOne) {
    Pair p(20000);
    ASSERT_TRUE(p.ok);
    std::atomic<int> result{0};
    std::thread sender =
        sim::StartThread("sender", [&] { result = tiny_send_wait_ack(&p.a.h, kHello.data(), (uint16_t)kHello.size()); });
    sim::SleepFor(std::chrono::milliseconds(100));
    tiny_hd_close(&p.a.h);
    sim::JoinThread(sender);
    EXPECT_EQ(result.load(), -1);
    ASSERT_TRUE(p.a.init(p.line.masterFd(), 300));  // the pair closes it again
}

TEST(TinyHd, AcknowledgementFormsFromAForeignPeer) {
    // The far end here is the independent framing code, answering by hand.
    for (uint16_t ackBits : {0xC000, 0x8000}) {  // bits 12-14 kept or cleared besides the id
        SCOPED_TRACE(ackBits);
        Pair p(5000);
        ASSERT_TRUE(p.ok);
        std::atomic<int> result{0};
        std::thread sender = sim::StartThread("sender", [&] { result = tiny_send_wait_ack(&p.a.h, kHello.data(), 3); });
        auto frames = ReadFrames(p.slave, 1, 2000);
        ASSERT_EQ(frames.size(), 1u);
        p.a.start();
        Bytes ack = sim::McuEncodeFrame((uint16_t)((frames[0].uid & 0x0FFF) | ackBits), Bytes{0});
        ASSERT_EQ(::write(p.slave, ack.data(), ack.size()), (ssize_t)ack.size());
        sim::JoinThread(sender);
        EXPECT_EQ(result.load(), 1);
    }
}

TEST(TinyHd, FramesWrittenByHandAreAcknowledgedAndDeliveredAsTheirUidSays) {
    const struct {
        const char* legend;
        uint16_t uid;
        Bytes payload;
        bool delivered;
    } rows[] = {
        {"marked both request and acknowledgement: only an acknowledgement", 0xC005, {1, 2, 3}, false},
        {"longer than the receive buffer: dropped and counted, neither acknowledged nor delivered", 0x4007,
         Bytes(3000, 0x55), false},
        {"a request", 0x4006, kHello, true},
        {"the same again (its acknowledgement was lost): acknowledged only", 0x4006, kHello, false},
        {"the same uid with new content (a restarted peer)", 0x4006, {1, 2}, true},
    };
    Pair p;
    ASSERT_TRUE(p.ok);
    p.b.start();
    size_t delivered = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.legend);
        // A hello without acknowledgement request after each row: once it is in, the row's frame was handled.
        Bytes frames = sim::McuEncodeFrame(r.uid, r.payload), marker = sim::McuEncodeFrame(0x2000, Bytes{0xEE});
        frames.insert(frames.end(), marker.begin(), marker.end());
        ASSERT_EQ(::write(p.line.masterFd(), frames.data(), frames.size()), (ssize_t)frames.size());
        delivered += r.delivered ? 2 : 1;
        ASSERT_TRUE(WaitFor([&] { return p.b.got().size() == delivered; }));
        if (r.delivered) {
            EXPECT_EQ(p.b.got()[delivered - 2], (std::pair<uint16_t, Bytes>(6, r.payload)));
        }
    }
    // The frame after the overlong one was taken: only that one was refused.
    EXPECT_EQ(p.b.h.rx_errors, 1u);
    // Three acknowledgements, for the rows with 0x4006, each as the acknowledgement of uid 0x4006 must look.
    auto acks = ReadFrames(p.line.masterFd(), 4, 300);
    ASSERT_EQ(acks.size(), 3u);
    for (const auto& f : acks) EXPECT_EQ(std::make_pair(f.uid, f.payload), std::make_pair((uint16_t)0xC006, Bytes{0}));
}
