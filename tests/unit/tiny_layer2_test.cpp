// The frame layer over an in-memory stream: exact wire bytes, the receive
// state machine, and the light variant.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crc.h"
#include "testing.h"
#include "tiny_layer2.h"
#include "tiny_light.h"

namespace {
using Bytes = std::vector<uint8_t>;

// A byte stream: what is written is collected; reads come from `in`.
// `accept` lists, per write call, whether it takes the byte (1), takes nothing (0)
// or fails (-1); past its end every write is taken.
struct Stream {
    Bytes out;
    Bytes in;
    size_t pos = 0;
    std::vector<int> accept;
    size_t calls = 0;
};

int32_t StreamWrite(void* user, const void* data, int32_t len) {
    Stream* s = static_cast<Stream*>(user);
    int verdict = s->calls < s->accept.size() ? s->accept[s->calls] : 1;
    s->calls++;
    if (verdict <= 0) return verdict;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    s->out.insert(s->out.end(), p, p + len);
    return len;
}

int32_t StreamRead(void* user, void* buf, int32_t len) {
    Stream* s = static_cast<Stream*>(user);
    if (s->pos >= s->in.size() || len < 1) return 0;
    static_cast<uint8_t*>(buf)[0] = s->in[s->pos++];
    return 1;
}

struct Link {
    Stream s;
    tiny_link_handle h;
    Link() {
        memset(&h, 0, sizeof(h));
        tiny_init(&h, StreamWrite, StreamRead, &s);
    }
    ~Link() { tiny_close(&h); }
};

struct Received {
    int calls = 0;
    uint16_t uid = 0;
    Bytes payload;
};
Received* s_pReceived = nullptr;
void OnFrame(tiny_link_handle*, uint16_t uid, uint8_t* data, int32_t len) {
    s_pReceived->calls++;
    s_pReceived->uid = uid;
    s_pReceived->payload.assign(data, data + len);
}

std::string Hex(const Bytes& b) {
    std::string s;
    char sz[4];
    for (uint8_t c : b) {
        snprintf(sz, sizeof(sz), "%02X ", c);
        s += sz;
    }
    return s;
}
}  // namespace

struct FrameCase {
    const char* legend;
    bool withUid;
    uint16_t uid;
    uint8_t fcsBits;
    Bytes payload;
    Bytes wire;
};

// clang-format off
const FrameCase kFrames[] = {
    {"plain payload",                  false, 0,      8, {0x01, 0x02, 0x03}, {0x7E, 0x01, 0x02, 0x03, 0xFA, 0x7E}},
    {"flag and escape are stuffed",    false, 0,      8, {0x7E, 0x7D},       {0x7E, 0x7D, 0x5E, 0x7D, 0x5D, 0x05, 0x7E}},
    {"FCS of 0x7E is stuffed",         false, 0,      8, {0x82},             {0x7E, 0x82, 0x7D, 0x5E, 0x7E}},
    {"FCS of 0x7D is stuffed",         false, 0,      8, {0x83},             {0x7E, 0x83, 0x7D, 0x5D, 0x7E}},
    {"uid goes first, little-endian",  true,  0x4001, 8, {0x01, 0x02, 0x03}, {0x7E, 0x01, 0x40, 0x01, 0x02, 0x03, 0xB9, 0x7E}},
    {"acknowledgement of uid 0x4001",  true,  0xC001, 8, {0x00},             {0x7E, 0x01, 0xC0, 0x00, 0x3F, 0x7E}},
    {"uid bytes are stuffed too",      true,  0x7E7D, 8, {0x01},             {0x7E, 0x7D, 0x5D, 0x7D, 0x5E, 0x01, 0x04, 0x7E}},
    {"no FCS with width 0",            false, 0,      0, {0x01, 0x02, 0x03}, {0x7E, 0x01, 0x02, 0x03, 0x7E}},
};
// clang-format on

TEST(TinyFrame, SendsExactBytesAndReadsThemBack) {
    for (const FrameCase& c : kFrames) {
        SCOPED_TRACE(c.legend);
        Link tx;
        tiny_set_fcs_bits(&tx.h, c.fcsBits);
        int r = tiny_send(&tx.h, c.withUid ? &c.uid : nullptr, c.payload.data(), (int32_t)c.payload.size(),
                          TINY_FLAG_WAIT_FOREVER);
        EXPECT_EQ(r, (int)c.payload.size());
        EXPECT_EQ(Hex(tx.s.out), Hex(c.wire));

        Link rx;
        tiny_set_fcs_bits(&rx.h, c.fcsBits);
        rx.s.in = c.wire;
        Received got;
        s_pReceived = &got;
        tiny_set_callbacks(&rx.h, OnFrame, nullptr);
        uint16_t uid = 0;
        uint8_t buf[64];
        EXPECT_EQ(tiny_read(&rx.h, c.withUid ? &uid : nullptr, buf, sizeof(buf), 0), (int)c.payload.size());
        EXPECT_EQ(got.calls, 1);
        EXPECT_EQ(Hex(got.payload), Hex(c.payload));
        if (c.withUid) {
            EXPECT_EQ(uid, c.uid);
        }

        // The byte-at-a-time path agrees; in uid mode it hands the uid over separately.
        Link push;
        tiny_set_fcs_bits(&push.h, c.fcsBits);
        tiny_enable_uid(&push.h, c.withUid);
        Received pushed;
        s_pReceived = &pushed;
        tiny_set_callbacks(&push.h, OnFrame, nullptr);
        int last = 0;
        for (uint8_t b : c.wire) last = tiny_on_rx_byte(&push.h, buf, sizeof(buf), b);
        EXPECT_EQ(last, 1);
        EXPECT_EQ(Hex(pushed.payload), Hex(c.payload));
        if (c.withUid) {
            EXPECT_EQ(pushed.uid, c.uid);
        }
    }
}

struct ReadCase {
    const char* legend;
    Bytes wire;
    int32_t bufSize;
    std::vector<int> results;  // tiny_read results, call by call, until the stream is used up
};

// clang-format off
const ReadCase kReads[] = {
    {"extra flags after the opening flag are skipped", {0x7E, 0x7E, 0x7E, 0x01, 0x02, 0x03, 0xFA, 0x7E}, 16, {3}},
    {"stray bytes while idle are out of sync, then a frame", {0x55, 0x66, 0x7E, 0x01, 0x02, 0x03, 0xFA, 0x7E}, 16, {-6, -6, 3}},
    {"bad FCS is refused, the next frame is taken", {0x7E, 0x01, 0x02, 0x03, 0xFB, 0x7E, 0x7E, 0x05, 0xFB, 0x7E}, 16, {-1, 1}},
    {"payload of exactly the buffer size", {0x7E, 0x01, 0x02, 0x03, 0x04, 0xF6, 0x7E}, 4, {-3}},
    {"payload one short of the buffer size", {0x7E, 0x01, 0x02, 0x03, 0xFA, 0x7E}, 4, {3}},
    {"a frame shorter than its FCS", {0x7E, 0x7E, 0x01, 0x7E}, 16, {-1}},
    {"nothing yet", {}, 16, {0}},
};
// clang-format on

TEST(TinyFrame, ReceiveStateMachine) {
    for (const ReadCase& c : kReads) {
        SCOPED_TRACE(c.legend);
        Link rx;
        rx.s.in = c.wire;
        std::vector<uint8_t> buf(c.bufSize);
        std::vector<int> got;
        do {
            got.push_back(tiny_read(&rx.h, nullptr, buf.data(), c.bufSize, 0));
        } while (rx.s.pos < rx.s.in.size());
        // A frame shorter than its FCS ends in -1; a frame too short is dropped, never delivered.
        EXPECT_EQ(got, c.results);
    }
}

TEST(TinyFrame, UidFramesTooShortForUidAndFcsReachNoCallback) {
    const Bytes cases[] = {
        {0x7E, 0x01, 0x40, 0xBF, 0x7E},  // uid, FCS, no payload
        {0x7E, 0x01, 0xFF, 0x7E},        // one uid byte and an FCS
        {0x7E, 0x01, 0x7E},
    };
    for (const Bytes& wire : cases) {
        Link rx;
        rx.s.in = wire;
        Received got;
        s_pReceived = &got;
        tiny_set_callbacks(&rx.h, OnFrame, nullptr);
        uint16_t uid = 0;
        uint8_t buf[16];
        while (rx.s.pos < rx.s.in.size()) EXPECT_LE(tiny_read(&rx.h, &uid, buf, sizeof(buf), 0), 0);
        EXPECT_EQ(got.calls, 0);
    }
    // Pushed byte by byte: a flag right after the opening flag is out of sync.
    Link push;
    uint8_t buf[16];
    EXPECT_EQ(tiny_on_rx_byte(&push.h, buf, sizeof(buf), 0x7E), 1);
    EXPECT_EQ(tiny_on_rx_byte(&push.h, buf, sizeof(buf), 0x7E), -6);
}

TEST(TinyFrame, FailedStartsAndWritesFreeTheHandleForTheNextFrame) {
    struct {
        const char* legend;
        std::vector<int> accept;
        uint8_t flags;
        int result;
    } rows[] = {
        {"a non-blocking start whose write accepts nothing", {0}, TINY_FLAG_LOCK_SEND, -2},
        {"a write failure mid-frame", {1, 1, -1}, TINY_FLAG_WAIT_FOREVER, -1},
    };
    const Bytes payload{0x01, 0x02, 0x03};
    for (const auto& r : rows) {
        Link l;
        l.s.accept = r.accept;
        EXPECT_EQ(tiny_send(&l.h, nullptr, payload.data(), 3, r.flags), r.result) << r.legend;
        EXPECT_EQ(l.h.locked, 0) << r.legend;
        EXPECT_EQ(l.h.tx_state, 0) << r.legend;
        l.s.out.clear();
        EXPECT_EQ(tiny_send(&l.h, nullptr, payload.data(), 3, TINY_FLAG_WAIT_FOREVER), 3) << r.legend;
        EXPECT_EQ(Hex(l.s.out), Hex(kFrames[0].wire)) << r.legend;
    }
}

TEST(TinyFrame, NonBlockingSendResumesAtTheByteThatDidNotGo) {
    Link l;
    for (int i = 0; i < 64; i++) l.s.accept.push_back(i == 0 || i % 2);  // every other write takes nothing
    const Bytes payload{0x7E, 0x7D};
    uint16_t uid = 0x4001;
    int r = tiny_send(&l.h, &uid, payload.data(), 2, TINY_FLAG_LOCK_SEND);
    int calls = 1;
    for (; r == 0 && calls < 100; calls++) r = tiny_send(&l.h, &uid, payload.data(), 2, 0);
    EXPECT_EQ(r, 2);
    EXPECT_GT(calls, 2);
    Link ref;
    tiny_send(&ref.h, &uid, payload.data(), 2, TINY_FLAG_WAIT_FOREVER);
    EXPECT_EQ(Hex(l.s.out), Hex(ref.s.out));
    EXPECT_EQ(l.h.locked, 0);
}

TEST(TinyFrame, RefusedWidthAndEmptyPayload) {
    Link l;
    EXPECT_EQ(tiny_set_fcs_bits(&l.h, 16), -1);
    EXPECT_EQ(tiny_send(&l.h, nullptr, nullptr, 0, TINY_FLAG_WAIT_FOREVER), 1);  // empty payload counts as one
    EXPECT_EQ(Hex(l.s.out), Hex(Bytes{0x7E, 0x00, 0x7E}));                       // still with its FCS
    const uint8_t b[] = {1, 2, 3};
    EXPECT_EQ(chksum(0, b, 3), 0xFFF9);
}

// ---------------------------------------------------------------- light variant

TEST(TinyLight, SendsExactBytes) {
    struct Case {
        const char* legend;
        Bytes payload;
        Bytes wire;
    };
    const Case cases[] = {
        {"nothing", {}, {0x7E, 0x7E}},
        {"stuffed", {0x7E, 0x01, 0x7D}, {0x7E, 0x7D, 0x5E, 0x01, 0x7D, 0x5D, 0x7E}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        Stream s;
        tiny_light_handle h;
        ASSERT_EQ(tiny_light_init(&h, StreamWrite, StreamRead, &s), 0);
        EXPECT_EQ(tiny_light_send(&h, c.payload.data(), (uint8_t)c.payload.size()), 1);
        EXPECT_EQ(Hex(s.out), Hex(c.wire));
    }
    tiny_light_handle h;
    EXPECT_EQ(tiny_light_init(&h, StreamWrite, nullptr, nullptr), -1);
    Stream refusing;
    refusing.accept = {0};
    ASSERT_EQ(tiny_light_init(&h, StreamWrite, StreamRead, &refusing), 0);
    EXPECT_EQ(tiny_light_send(&h, nullptr, 0), -1);
}

TEST(TinyLight, ReadsFramesAndDropsOneThatOverflows) {
    Stream s;
    // An overflowing frame, then a good one right behind it.
    s.in = {0x7E, 1, 2, 3, 4, 5, 0x7E, 0x7E, 0x7D, 0x5E, 0x09, 0x7E};
    tiny_light_handle h;
    ASSERT_EQ(tiny_light_init(&h, StreamWrite, StreamRead, &s), 0);
    uint8_t buf[3];
    EXPECT_EQ(tiny_light_read(&h, buf, sizeof(buf)), -3);
    EXPECT_EQ(tiny_light_read(&h, buf, sizeof(buf)), 2);
    EXPECT_EQ(buf[0], 0x7E);
    EXPECT_EQ(buf[1], 0x09);
    EXPECT_EQ(tiny_light_read(&h, buf, sizeof(buf)), -6);  // nothing left to read
    Stream stray;
    stray.in = {0x01, 0x7E};
    tiny_light_init(&h, StreamWrite, StreamRead, &stray);
    EXPECT_EQ(tiny_light_read(&h, buf, sizeof(buf)), -6);
    EXPECT_EQ(tiny_light_read(&h, buf, 0), -1);
}
