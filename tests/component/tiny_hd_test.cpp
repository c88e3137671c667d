// Two ends of the acknowledged link over a real pty pair, each pumped by its
// own receive thread, with a line that can lose or damage frames.
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "McuPeer.h"
#include "pty_link_pair.h"
#include "PtyLine.h"
#include "testing.h"
#include "tiny_hd.h"

namespace {
using Bytes = std::vector<uint8_t>;
using fwtest::End;
using fwtest::Pair;
using fwtest::WaitFor;

const Bytes kHello{'h', 'e', 'l', 'l', 'o', 0x01, 0x02};
}  // namespace

TEST(TinyHd, InitParameters) {
    const struct {
        uint32_t timeout;
        uint16_t bufSize;
        int result;
        uint16_t effective;
    } rows[] = {{0, 16, 1, 1000}, {5000, 16, 1, 5000}, {100, 0, -1, 0}};  // 0 means 1000 ms; no buffer: refused
    for (const auto& r : rows) {
        tiny_link_handle h;
        memset(&h, 0, sizeof(h));
        uint8_t buf[16];
        tiny_hd_init_params p;
        memset(&p, 0, sizeof(p));
        p.write_func = End::Write;
        p.read_func = End::Read;
        p.on_frame_cb = End::OnFrame;
        p.inbuf = buf;
        p.inbuf_size = r.bufSize;
        p.timeout = r.timeout;
        ASSERT_EQ(tiny_hd_init(&h, &p), r.result) << r.timeout;
        if (r.result == 1) {
            EXPECT_EQ(h.timeout, r.effective);
            tiny_close(&h);
        }
    }
}

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

TEST(TinyHd, LostAcknowledgementBringsARetransmissionDeliveredOnce) {
    fwtest::LogCapture log(true);
    Pair p;
    ASSERT_TRUE(p.ok);
    p.b.dropFrame = 0;  // b's first frame is its acknowledgement
    p.a.start();
    p.b.start();
    EXPECT_EQ(tiny_send_wait_ack(&p.a.h, kHello.data(), (uint16_t)kHello.size()), 1);
    EXPECT_EQ(p.b.flags.load(), 4);  // both transmissions acknowledged
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(p.b.got().size(), 1u);
    EXPECT_EQ(p.b.got()[0].second, kHello);
    EXPECT_EQ(log.count("tiny_send_wait_ack Retry count [0]"), 1u);
    EXPECT_EQ(log.count("tiny_send_wait_ack tiny_send result [7]"), 2u);
}

TEST(TinyHd, DamagedFramesAreRefusedAndTheRetransmissionRecovers) {
    struct Case {
        const char* legend;
        int flip, lose;
    };
    const Case cases[] = {{"a byte flipped", 0, -1}, {"a byte dropped", -1, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        Pair p;
        ASSERT_TRUE(p.ok);
        p.a.flipFrame = c.flip;
        p.a.loseByteOfFrame = c.lose;
        p.a.start();
        p.b.start();
        EXPECT_EQ(tiny_send_wait_ack(&p.a.h, kHello.data(), (uint16_t)kHello.size()), 1);
        ASSERT_TRUE(WaitFor([&] { return p.b.got().size() == 1; }));
        EXPECT_EQ(p.b.got()[0].second, kHello);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(p.b.got().size(), 1u);
    }
}

TEST(TinyHd, SilentPeerGivesMinusTwoAfterThreeTransmissions) {
    fwtest::LogCapture log(true);
    Pair p(150);
    ASSERT_TRUE(p.ok);
    p.a.start();  // b never reads
    EXPECT_EQ(tiny_send_wait_ack(&p.a.h, kHello.data(), (uint16_t)kHello.size()), -2);
    for (int n = 0; n < 3; n++) EXPECT_TRUE(log.contains("Retry count [" + std::to_string(n) + "]"));
    // Three whole frames reached the far end.
    sim::McuFrameReader reader;
    sim::McuFrameReader::Frame f;
    uint8_t buf[256];
    int frames = 0;
    ssize_t n;
    while ((n = ::read(p.slave, buf, sizeof(buf))) > 0)
        for (ssize_t i = 0; i < n; i++)
            if (reader.feed(buf[i], &f)) {
                frames++;
                EXPECT_EQ(f.payload, kHello);
                EXPECT_EQ(f.uid & 0xF000, 0x4000);
            }
    EXPECT_EQ(frames, 3);
}

TEST(TinyHd, CloseDuringAWaitGivesMinusOne) {
    Pair p(20000);
    ASSERT_TRUE(p.ok);
    std::atomic<int> result{0};
    std::thread sender([&] { result = tiny_send_wait_ack(&p.a.h, kHello.data(), (uint16_t)kHello.size()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    tiny_hd_close(&p.a.h);
    sender.join();
    EXPECT_EQ(result.load(), -1);
    ASSERT_TRUE(p.a.init(p.line.masterFd(), 300));  // the pair closes it again
}

TEST(TinyHd, AcknowledgementFormsFromAForeignPeer) {
    // The far end here is the independent framing code, answering by hand.
    struct Case {
        const char* legend;
        uint16_t ackBits;  // bits kept besides the id
    };
    const Case cases[] = {{"bits 12-14 kept", 0xC000}, {"bits 12-14 cleared", 0x8000}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        Pair p(5000);
        ASSERT_TRUE(p.ok);
        std::atomic<int> result{0};
        std::thread sender([&] { result = tiny_send_wait_ack(&p.a.h, kHello.data(), 3); });
        sim::McuFrameReader reader;
        sim::McuFrameReader::Frame f;
        bool got = false;
        for (int i = 0; i < 2000 && !got; i++) {
            uint8_t b;
            if (::read(p.slave, &b, 1) == 1)
                got = reader.feed(b, &f);
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        ASSERT_TRUE(got);
        p.a.start();
        Bytes ack = sim::McuEncodeFrame((uint16_t)((f.uid & 0x0FFF) | c.ackBits), Bytes{0});
        ASSERT_EQ(::write(p.slave, ack.data(), ack.size()), (ssize_t)ack.size());
        sender.join();
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
        Bytes frame = sim::McuEncodeFrame(r.uid, r.payload);
        ASSERT_EQ(::write(p.line.masterFd(), frame.data(), frame.size()), (ssize_t)frame.size());
        // A hello without acknowledgement request after each row: once it is in, the row's frame was handled.
        Bytes marker = sim::McuEncodeFrame(0x2000, Bytes{0xEE});
        ASSERT_EQ(::write(p.line.masterFd(), marker.data(), marker.size()), (ssize_t)marker.size());
        delivered += r.delivered ? 2 : 1;
        ASSERT_TRUE(WaitFor([&] { return p.b.got().size() == delivered; }));
        if (r.delivered) {
            EXPECT_EQ(p.b.got()[delivered - 2], (std::pair<uint16_t, Bytes>(6, r.payload)));
        }
    }
    EXPECT_EQ(p.b.flags.load(), 6);  // three acknowledgements, for the rows with 0x4006
    // Each went out exactly as the acknowledgement of uid 0x4006 must look.
    Bytes ack{0x7E, 0x06, 0xC0, 0x00, 0x3A, 0x7E}, want;
    for (int i = 0; i < 3; i++) want.insert(want.end(), ack.begin(), ack.end());
    Bytes got;
    ASSERT_TRUE(WaitFor([&] {
        uint8_t buf[64];
        ssize_t n = ::read(p.line.masterFd(), buf, sizeof(buf));
        if (n > 0) got.insert(got.end(), buf, buf + n);
        return got.size() >= want.size();
    }));
    EXPECT_EQ(got, want);
}
