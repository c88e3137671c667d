// YMODEM sender and receiver against lrzsz, the emulated Valens chip and
// scripted peers on real ptys.
#include <gtest/gtest.h>

#include <thread>

#include "DeviceRunner.h"
#include "QxLog.h"
#include "ValensChip.h"
#include "fymodem.h"
#include "serial_testing.h"

using namespace fwtest;

namespace {

int32_t Send(const std::string& data, const char* name) {
    std::vector<unsigned char> buf(data.begin(), data.end());
    return fymodem_send(buf.empty() ? nullptr : buf.data(), (unsigned)buf.size(), name);
}

// Reads exactly n bytes the agent wrote; fewer on time-out.
std::string ReadAgent(sim::PtyLine& line, size_t n, int timeoutMs) {
    std::string out;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    char buf[2048];
    while (out.size() < n && std::chrono::steady_clock::now() < end) {
        ssize_t r = line.read(buf, std::min(sizeof(buf), n - out.size()), 20);
        if (r > 0) out.append(buf, (size_t)r);
    }
    return out;
}

// One unit the agent sent: a whole packet, or one control byte.
std::string ReadUnit(sim::PtyLine& line, int timeoutMs) {
    std::string first = ReadAgent(line, 1, timeoutMs);
    if (first.empty()) return first;
    if (first[0] == YM_SOH) return first + ReadAgent(line, 132, 2000);
    if (first[0] == YM_STX) return first + ReadAgent(line, 1028, 2000);
    return first;
}

void Answer(sim::PtyLine& line, const std::string& bytes) { line.write(bytes.data(), bytes.size()); }

// A packet as a sender builds it: SOH for 128 bytes, STX for 1024.
std::string Pkt(int blk, const std::string& payload) {
    std::string p{payload.size() == 128 ? '\x01' : '\x02', (char)blk, (char)~blk};
    uint16_t crc = sim::Crc16Xmodem((const uint8_t*)payload.data(), payload.size());
    return p + payload + (char)(crc >> 8) + (char)(crc & 0xFF);
}

// The agent's port on a pty whose far end the test plays by hand.
struct Scripted {
    explicit Scripted(double scale = 0.05, int speed = 115200)
        : profile((UseSerialDevice(line.slavePath(), scale), 0)), port(line.slavePath(), speed) {}
    sim::PtyLine line;
    int profile;
    LogCapture log{true};
    TaskOnPort port;
};

// Sends data with our sender to `rb --ymodem ARGS` behind socat; returns what
// rb wrote under name, and our result in *ret.
std::string ThroughRb(const std::string& data, const std::string& rbArgs, const char* name, int32_t* ret) {
    TempRoot root;
    MkdirP(root.path() + "/out");
    SocatPeer rb(root.path() + "/out", "rb --ymodem " + rbArgs);
    UseSerialDevice(rb.tty());
    LogCapture log(true);
    {
        TaskOnPort port(rb.tty());
        *ret = Send(data, name);
    }
    EXPECT_TRUE(rb.waitExit(20000));
    return ReadFile(root.path() + "/out/" + name);
}

}  // namespace

// ---- CRC and packet layout --------------------------------------------------------

TEST(YmodemCrc, CheckValuesAndAgreementWithAnIndependentForm) {
    struct {
        const char* legend;
        std::string input;
        uint16_t expected;
    } rows[] = {
        {"check value of 1..9", "123456789", 0x31C3},
        {"empty", "", 0x0000},
        {"all-zero 1024-byte payload", std::string(1024, '\0'), 0x0000},
        {"one 0xFF", "\xff", 0x1EF0},
    };
    for (const auto& r : rows)
        EXPECT_EQ(ym_crc16((const unsigned char*)r.input.data(), (uint32_t)r.input.size()), r.expected) << r.legend;
    std::string rnd = RandomBytes(4096, 3);
    EXPECT_EQ(ym_crc16((const unsigned char*)rnd.data(), 4096), sim::Crc16Xmodem((const uint8_t*)rnd.data(), 4096));
}

TEST(YmodemPacket, HeaderCarriesNameAndDecimalSize) {
    Scripted t(1.0, 0);
    struct {
        const char* legend;
        std::string name;
        int size;
        std::string payload;  // start of the 128 bytes; the rest is zero
    } rows[] = {
        {"empty file", "a", 0, std::string("a\0" "0", 3)},
        {"empty name", "", 5, std::string("\0" "5", 2)},
        {"name cut at 110", std::string(200, 'n'), 12, std::string(110, 'n') + std::string("\0" "12", 3)},
    };
    for (auto& r : rows) {
        ym_send_packet0(r.name.c_str(), r.size);
        EXPECT_EQ(ReadUnit(t.line, 2000), Pkt(0, r.payload + std::string(128 - r.payload.size(), '\0'))) << r.legend;
    }
    // Block 256 goes out as byte 0 with complement 0xFF, still a 1024-byte packet.
    std::string data(1024, 'x');
    ym_send_packet((unsigned char*)&data[0], 256);
    EXPECT_EQ(ReadUnit(t.line, 2000), Pkt(0, data));
}

// ---- our sender to lrzsz rb, and lrzsz sb to our receiver -----------------------

class YmodemWithLrzsz : public ::testing::TestWithParam<size_t> {};

TEST_P(YmodemWithLrzsz, RbReceivesAnExactCopy) {
    std::string data = RandomBytes(GetParam(), (unsigned)GetParam());
    int32_t ret = 0;
    EXPECT_EQ(ThroughRb(data, "", "copy.bin", &ret), data);
    EXPECT_EQ(ret, (int32_t)data.size());
}

// lrzsz sb sends size bytes to our receiver with room for capacity; returns our result.
int32_t FromSb(const std::string& data, unsigned capacity, std::string* got, char* name) {
    TempRoot root;
    WriteFile(root.path() + "/in.bin", data);
    SocatPeer sb(root.path(), "sb --ymodem -k in.bin");
    UseSerialDevice(sb.tty());
    std::vector<unsigned char> buf(capacity);
    TaskOnPort port(sb.tty());
    int32_t ret = fymodem_receive(buf.data(), capacity, name);
    if (ret > 0) got->assign(buf.begin(), buf.begin() + ret);
    return ret;
}

TEST_P(YmodemWithLrzsz, OurReceiverTakesWhatSbSends) {
    std::string data = RandomBytes(GetParam(), (unsigned)GetParam() + 1), got;
    char name[80] = "stale";
    LogCapture log(true);
    ASSERT_EQ(FromSb(data, (unsigned)data.size() + 1, &got, name), (int32_t)data.size());
    EXPECT_STREQ(name, "in.bin");
    EXPECT_EQ(got, data);
}

INSTANTIATE_TEST_SUITE_P(Sizes, YmodemWithLrzsz, ::testing::Values(0, 1, 1023, 1024, 1025, 300000),
                         [](const ::testing::TestParamInfo<size_t>& i) { return "bytes" + std::to_string(i.param); });

TEST(YmodemWithLrzsz, CorruptedPacketsAreResentUntilTheCopyIsExact) {
    std::string data = RandomBytes(40000, 11);
    int32_t ret = 0;
    EXPECT_EQ(ThroughRb(data, "--errors 3000", "noisy.bin", &ret), data);
    EXPECT_EQ(ret, (int32_t)data.size());
}

TEST(YmodemWithLrzsz, ReceiverRefusesAFileLargerThanItsBuffer) {
    LogCapture log(true);
    std::string got;
    char name[80];
    EXPECT_EQ(FromSb(RandomBytes(5000), 4096, &got, name), -1);
    EXPECT_TRUE(log.contains("YM: RX buffer too small (0x00001000 vs 0x00001388)"));
}

TEST(YmodemTool, SendsAFileToRbAndNamesMissingFilesAndPorts) {
    TempRoot root;
    MkdirP(root.path() + "/out");
    std::string data = RandomBytes(5000, 5);
    WriteFile(root.path() + "/f.bin", data);
    SocatPeer rb(root.path() + "/out", "rb --ymodem");
    std::string out;
    int rc = RunCommand(std::string(FWTOOL_PATH) + " ymodem-send --port " + rb.tty() + " --name tool.bin " +
                            root.path() + "/f.bin",
                        &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("closing packet acknowledged"), std::string::npos) << out;
    ASSERT_TRUE(rb.waitExit(20000));
    EXPECT_EQ(ReadFile(root.path() + "/out/tool.bin"), data);

    struct {
        const char* legend;
        std::string args;
        int rc;
    } rows[] = {
        {"missing file", "--port /dev/null " + root.path() + "/none.bin", 1},
        {"missing port", "--port /dev/no-such-tty " + root.path() + "/f.bin", 1},
    };
    for (const auto& r : rows) EXPECT_EQ(RunCommand(std::string(FWTOOL_PATH) + " ymodem-send " + r.args), r.rc) << r.legend;
}

// ---- sender faults ---------------------------------------------------------------------

// The sender against the emulated chip with one fault knob set.
struct ChipCase {
    const char* legend;
    sim::ValensOptions opt;
    size_t size;
    bool ok;                 // a positive result expected
    int headers;             // header packets the chip saw (closing one included)
    int eots;
    std::vector<int> blocks; // block bytes in the order the chip took them
};

TEST(YmodemSenderFaults, AgainstTheEmulatedChip) {
    auto opt = [](auto set) {
        sim::ValensOptions o;
        o.cPeriodMs = 10000;  // one 'C' at the start, the next long after packet 0
        set(o);
        return o;
    };
    std::vector<ChipCase> rows = {
        {"clean", opt([](sim::ValensOptions&) {}), 2500, true, 2, 1, {1, 2, 3}},
        {"one extra 'C' resends packet 0", opt([](sim::ValensOptions& o) { o.extraC = 1; }), 10, true, 3, 1, {1}},
        {"a second extra 'C' cancels", opt([](sim::ValensOptions& o) { o.extraC = 2; }), 10, false, 2, 0, {}},
        {"NAK on EOT gets a second EOT", opt([](sim::ValensOptions& o) { o.nakFirstEot = true; }), 10, true, 2, 2, {1}},
        {"NAK on block 2 resends it", opt([](sim::ValensOptions& o) { o.nakBlock = 2; o.nakTimes = 2; }), 3000, true, 2,
         1, {1, 2, 2, 2, 3}},
        {"CAN stops at once", opt([](sim::ValensOptions& o) { o.canBlock = 2; }), 5000, false, 1, 0, {1, 2}},
        {"ten NAKs give up", opt([](sim::ValensOptions& o) { o.nakBlock = 1; o.nakTimes = 100; }), 100, false, 1, 0,
         std::vector<int>(10, 1)},
        {"'C' for ever instead of taking the closing packet: ten sends, then give up",
         opt([](sim::ValensOptions& o) { o.cForever = true; o.cPeriodMs = 20; }), 10, false, 1 + YM_MAX_SENDS, 1, {1}},
    };
    for (const auto& r : rows) {
        sim::PtyLine line;
        UseSerialDevice(line.slavePath(), 0.05);
        sim::ValensChip chip("valens", 0.05, r.opt);
        sim::DeviceRunner runner(line, chip);
        LogCapture log(true);
        TaskOnPort port(line.slavePath());
        runner.start("TX");
        int32_t ret = Send(RandomBytes(r.size), "VSTX.hex");
        runner.stop();
        EXPECT_EQ(ret > 0 || (ret == 0 && r.size == 0), r.ok) << r.legend << " ret " << ret;
        if (r.ok) {
            EXPECT_EQ(ret, (int32_t)r.size) << r.legend;
            EXPECT_EQ(chip.record().file, RandomBytes(r.size)) << r.legend;
            EXPECT_TRUE(chip.record().complete) << r.legend;
        } else {
            EXPECT_LT(ret, 0) << r.legend;
            EXPECT_TRUE(chip.record().cancelled) << r.legend;
        }
        EXPECT_EQ(chip.record().headers, r.headers) << r.legend;
        EXPECT_EQ(chip.record().eots, r.eots) << r.legend;
        EXPECT_EQ(chip.record().blocks, r.blocks) << r.legend;
    }
}

TEST(YmodemSenderFaults, FirstAnswerNakCancels) {
    Scripted t;
    int32_t ret = 1;
    std::thread sender([&] { ret = Send("abc", "f"); });
    Answer(t.line, "C");
    EXPECT_EQ(ReadUnit(t.line, 5000).size(), 133u);
    Answer(t.line, "\x15");
    EXPECT_EQ(ReadAgent(t.line, 2, 5000), "\x18\x18");
    sender.join();
    EXPECT_LT(ret, 0);
    EXPECT_EQ(ReadAgent(t.line, 1, 300), "");
}

TEST(YmodemSenderFaults, QueuedRequestsBeforePacketZeroAreNotAnswers) {
    Scripted t;
    Answer(t.line, "CCCC");  // a receiver that waited before we started
    int32_t ret = 1;
    std::thread sender([&] { ret = Send("", "empty"); });
    ASSERT_EQ(ReadUnit(t.line, 5000).size(), 133u);
    EXPECT_EQ(ReadAgent(t.line, 1, 300), "");  // sent once, not again for the queued 'C's
    Answer(t.line, "\x06" "C");
    EXPECT_EQ(ReadUnit(t.line, 5000), "\x04");  // no data packet for an empty file
    Answer(t.line, "\x06" "C");
    EXPECT_EQ(ReadUnit(t.line, 5000).size(), 133u);
    Answer(t.line, "\x06");
    sender.join();
    EXPECT_EQ(ret, 0);
}

TEST(YmodemSenderFaults, SilentReceiverEndsInBoundedTime) {
    struct {
        const char* legend;
        std::string hello;   // what the receiver says before falling silent
        size_t packets0;     // packet 0 sends expected
        double minSeconds;   // board time the bound takes, scaled
    } rows[] = {
        {"never a 'C'", "", 0, YM_FIRST_C_WAIT_MS / 1000.0},
        {"silent after the 'C'", "C", YM_MAX_SENDS, YM_MAX_SENDS * YM_ANSWER_WAIT_MS / 1000.0},
    };
    const double scale = 0.03;
    for (const auto& r : rows) {
        Scripted t(scale);
        sim::PtyLine& line = t.line;
        if (!r.hello.empty()) Answer(line, r.hello);
        auto t0 = std::chrono::steady_clock::now();
        int32_t ret = 1;
        std::thread sender([&] { ret = Send("abc", "f"); });
        size_t packets0 = 0;
        std::string unit;
        while (!(unit = ReadUnit(line, 60000)).empty() && unit.size() == 133) packets0++;
        std::string tail = unit + ReadAgent(line, 1, 200);
        sender.join();
        EXPECT_LT(ret, 0) << r.legend;
        EXPECT_EQ(packets0, r.packets0) << r.legend;
        EXPECT_EQ(tail, "\x18\x18") << r.legend;
        EXPECT_GE(SecondsSince(t0), r.minSeconds * scale * 0.9) << r.legend;
    }
}

TEST(YmodemReceiver, ExactFitRepeatedBlockFiveErrorsAndEndlessRepeats) {
    std::vector<unsigned char> buf(1025);
    char name[80];
    int32_t ret = 0;
    std::thread rx;
    auto header = [](const std::string& text) { return Pkt(0, text + std::string(128 - text.size(), '\0')); };
    {
        Scripted t;
        sim::PtyLine& line = t.line;
        // 1025 bytes into 1025: the zero padding of the second packet is not data.
        std::string data = RandomBytes(1025);
        rx = std::thread([&] { ret = fymodem_receive(buf.data(), 1025, name); });
        EXPECT_EQ(ReadAgent(line, 1, 5000), "C");
        Answer(line, header(std::string("d.bin\0" "1025", 10)));
        EXPECT_EQ(ReadAgent(line, 2, 5000), "\x06" "C");
        Answer(line, Pkt(1, data.substr(0, 1024)));
        EXPECT_EQ(ReadAgent(line, 1, 5000), "\x06");
        Answer(line, Pkt(1, data.substr(0, 1024)));  // our ACK "lost": a repeat is acknowledged, not stored
        EXPECT_EQ(ReadAgent(line, 1, 5000), "\x06");
        Answer(line, Pkt(2, data.substr(1024) + std::string(1023, '\0')));
        EXPECT_EQ(ReadAgent(line, 1, 5000), "\x06");
        Answer(line, "\x04");
        EXPECT_EQ(ReadAgent(line, 2, 5000), "\x06" "C");
        Answer(line, header(""));
        EXPECT_EQ(ReadAgent(line, 1, 5000), "\x06");
        rx.join();
        EXPECT_EQ(ret, 1025);
        EXPECT_STREQ(name, "d.bin");
        EXPECT_EQ(std::string(buf.begin(), buf.end()), data);

        // A header, then silence: every second read fails, five in a row abort.
        rx = std::thread([&] { ret = fymodem_receive(buf.data(), 1025, name); });
        EXPECT_EQ(ReadAgent(line, 1, 5000), "C");
        Answer(line, header(std::string("e\0" "10", 5)));
        EXPECT_EQ(ReadAgent(line, 2, 5000), "\x06" "C");
        rx.join();
        EXPECT_EQ(ret, -1);
        EXPECT_TRUE(t.log.contains("YM: RX errors too many: 5 - ABORT."));
        std::string tail = ReadAgent(line, 64, 500);
        EXPECT_EQ(tail.substr(tail.size() - 2), "\x18\x18");
    }

    // A sender that repeats itself for ever is given up after five repeats.
    const std::string block1 = Pkt(1, RandomBytes(1024));
    struct {
        const char* legend;
        std::string unit;
    } rows[] = {{"the same block", block1}, {"a block out of turn", Pkt(7, RandomBytes(1024))}, {"EOT", "\x04"}};
    for (const auto& r : rows) {
        // A line of its own: units the last receiver left unread after its
        // cancel must not be the next one's first input.
        Scripted own;
        rx = std::thread([&] { ret = fymodem_receive(buf.data(), 1025, name); });
        EXPECT_EQ(ReadAgent(own.line, 1, 5000), "C") << r.legend;
        Answer(own.line, header(std::string("f\0" "1000", 6)));
        std::string said;
        for (int i = 0; i < 20 && said.find("\x18\x18") == std::string::npos; i++) {
            Answer(own.line, r.unit);
            said += ReadAgent(own.line, 64, 200);
        }
        rx.join();
        EXPECT_EQ(ret, -1) << r.legend;
        EXPECT_NE(said.find("\x18\x18"), std::string::npos) << r.legend;
    }
}
