// YMODEM sender and receiver against lrzsz, the emulated Valens chip and
// scripted peers on real ptys.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <thread>

#include "DeviceRunner.h"
#include "Faults.h"
#include "ValensChip.h"
#include "fymodem.h"
#include "serial_testing.h"

using namespace fwtest;

namespace {

int32_t Send(const std::string& data, const std::string& name) {
    std::vector<unsigned char> buf(data.begin(), data.end());
    return fymodem_send(buf.empty() ? nullptr : buf.data(), (unsigned)buf.size(), name.c_str());
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

void Answer(sim::PtyLine& line, const std::string& bytes) { line.write(bytes.data(), bytes.size()); }

// A packet as a sender builds it: SOH for 128 bytes, STX for 1024.
std::string Pkt(int blk, const std::string& payload) {
    std::string p{payload.size() == 128 ? '\x01' : '\x02', (char)blk, (char)~blk};
    uint16_t crc = sim::Crc16Xmodem((const uint8_t*)payload.data(), payload.size());
    return p + payload + (char)(crc >> 8) + (char)(crc & 0xFF);
}
// Packet 0 for name and size; Header() is the empty one that ends a batch.
std::string Header(const std::string& name = "", const std::string& size = "") {
    std::string text = name.empty() && size.empty() ? "" : name + '\0' + size;
    return Pkt(0, text + std::string(128 - text.size(), '\0'));
}

// One side of a transfer on the agent's port, its peer played by a script:
// ">BYTES" the peer says them, "<BYTES" the agent must say exactly them next
// ("<" alone: nothing within 300 ms), "~BYTES" the agent ends with them,
// "*BYTES" the peer says them again and again until the agent cancels.
struct Script {
    const char* legend;
    std::string before;  // waiting on the line before the agent starts
    std::function<int32_t()> side;
    std::vector<std::string> steps;
    int32_t ret;
    double minSeconds = 0;  // board time the run must take at least
    double scale = 0.05;
};

bool EndsWith(const std::string& s, const std::string& end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

void Play(const Script& s) {
    SCOPED_TRACE(s.legend);
    sim::PtyLine line;
    UseSerialDevice(line.slavePath(), s.scale);
    LogCapture log(true);
    TaskOnPort port(line.slavePath());
    Answer(line, s.before);
    auto t0 = std::chrono::steady_clock::now();
    int32_t ret = 1;
    std::thread agent([&] { ret = s.side(); });
    for (const std::string& step : s.steps) {
        const std::string b = step.substr(1);
        if (step[0] == '>') Answer(line, b);
        if (step[0] == '<') {
            EXPECT_EQ(ReadAgent(line, b.empty() ? 1 : b.size(), b.empty() ? 300 : 60000), b);
        }
        std::string said, c;
        while (step[0] == '~' && !EndsWith(said, b) && said.size() < 4096 && !(c = ReadAgent(line, 1, 10000)).empty())
            said += c;
        for (int i = 0; step[0] == '*' && i < 20 && said.find("\x18\x18") == std::string::npos; i++) {
            Answer(line, b);
            said += ReadAgent(line, 64, 200);
        }
        if (step[0] == '~' || step[0] == '*') {
            EXPECT_TRUE(step[0] == '~' ? EndsWith(said, b) : said.find("\x18\x18") != std::string::npos);
        }
    }
    agent.join();
    EXPECT_EQ(ret, s.ret);
    EXPECT_GE(SecondsSince(t0), s.minSeconds * s.scale * 0.9);
}

// Sends data with our sender (or fwtool ymodem-send when ret is null) to
// `rb --ymodem ARGS` behind socat; returns what rb wrote under name.
std::string ThroughRb(const std::string& data, const std::string& rbArgs, const char* name, int32_t* ret) {
    TempRoot root;
    MkdirP(root.path() + "/out");
    SocatPeer rb(root.path() + "/out", "rb --ymodem" + rbArgs);
    UseSerialDevice(rb.tty());
    LogCapture log(true);
    std::string out;
    if (ret == nullptr) {
        EXPECT_EQ(Fwtool({"ymodem-send", "--port", rb.tty(), "--name", name, root.write("/f.bin", data)}, &out), 0)
            << out;
    } else {
        TaskOnPort port(rb.tty());
        *ret = Send(data, name);
    }
    EXPECT_TRUE(rb.waitExit(20000));
    return ReadFile(root.path() + "/out/" + name);
}

// lrzsz sb sends data to our receiver with room for capacity bytes; returns our result.
int32_t FromSb(const std::string& data, unsigned capacity, std::string* got, char* name) {
    TempRoot root;
    WriteFile(root.path() + "/in.bin", data);
    SocatPeer sb(root.path(), "sb --ymodem -k in.bin");
    UseSerialDevice(sb.tty());
    LogCapture log(true);
    std::vector<unsigned char> buf(capacity);
    TaskOnPort port(sb.tty());
    int32_t ret = fymodem_receive(buf.data(), capacity, name);
    if (ret > 0) got->assign(buf.begin(), buf.begin() + ret);
    return ret;
}

}  // namespace

// ---- our sender to lrzsz rb, and lrzsz sb to our receiver -----------------------

class YmodemWithLrzsz : public ::testing::TestWithParam<size_t> {};

TEST_P(YmodemWithLrzsz, RbReceivesAnExactCopy) {
    std::string data = RandomBytes(GetParam(), (unsigned)GetParam());
    int32_t ret = 0;
    EXPECT_EQ(ThroughRb(data, "", "copy.bin", &ret), data);
    EXPECT_EQ(ret, (int32_t)data.size());
}

TEST_P(YmodemWithLrzsz, OurReceiverTakesWhatSbSends) {
    std::string data = RandomBytes(GetParam(), (unsigned)GetParam() + 1), got;
    char name[80] = "stale";
    ASSERT_EQ(FromSb(data, (unsigned)data.size() + 1, &got, name), (int32_t)data.size());
    EXPECT_STREQ(name, "in.bin");
    EXPECT_EQ(got, data);
}

// 300000 bytes: more than 256 blocks, so block numbers wrap.
INSTANTIATE_TEST_SUITE_P(Sizes, YmodemWithLrzsz, ::testing::Values(0, 1, 1023, 1024, 1025, 300000),
                         [](const ::testing::TestParamInfo<size_t>& i) { return "bytes" + std::to_string(i.param); });

TEST(YmodemWithLrzsz, CorruptedPacketsAreResentAndTooLargeAFileIsRefused) {
    std::string data = RandomBytes(40000, 11), got;
    int32_t ret = 0;
    EXPECT_EQ(ThroughRb(data, " --errors 3000", "noisy.bin", &ret), data);
    EXPECT_EQ(ret, (int32_t)data.size());
    char name[80];
    EXPECT_EQ(FromSb(RandomBytes(5000), 4096, &got, name), -1);
}

TEST(YmodemTool, SendsAFileToRb) {
    std::string data = RandomBytes(5000, 5);
    EXPECT_EQ(ThroughRb(data, "", "tool.bin", nullptr), data);
}

// ---- sender faults ---------------------------------------------------------------------

// tests/data/ymodem_sender_faults.tsv: one run against the emulated chip a row,
// on virtual time.
struct FaultRow {
    std::string legend, knob;
    size_t size;
    std::string result;
    int headers, eots;
    std::vector<int> blocks;
};
void PrintTo(const FaultRow& r, std::ostream* os) { *os << r.knob; }

std::vector<FaultRow> FaultRows() {
    std::vector<FaultRow> rows;
    for (const std::string& line : DataLines("tests/data/ymodem_sender_faults.tsv")) {
        FaultRow r;
        std::istringstream cols(line);
        cols >> r.knob >> r.size >> r.result >> r.headers >> r.eots;
        for (int b; cols >> b;) r.blocks.push_back(b);
        r.legend = r.knob == "-" ? "none" : r.knob.substr(r.knob.find('=') + 1);
        rows.push_back(r);
    }
    return rows;
}
class YmodemSenderFaults : public ::testing::TestWithParam<FaultRow> {};

TEST_P(YmodemSenderFaults, AgainstTheEmulatedChip) {
    const FaultRow& r = GetParam();
    sim::FaultSet set;
    sim::DeviceFaults faults;
    std::string result = r.result;
    ASSERT_TRUE(r.knob == "-" || set.parse(r.knob, &result)) << result;
    set.apply(&faults);
    faults.valens.cPeriodMs = faults.valens.cForever ? 20 : 10000;  // else one 'C' at the start only
    sim::PtyLine line;
    UseSerialDevice(line.slavePath(), 0);
    sim::ValensChip chip("valens", faults.valens);
    sim::DeviceRunner runner(line, chip);
    LogCapture log(true);
    TaskOnPort port(line.slavePath());
    runner.start("TX");
    int32_t ret = Send(RandomBytes(r.size), "VSTX.hex");
    runner.stop();
    const bool ok = r.result == "ok";
    EXPECT_EQ(ret, ok ? (int32_t)r.size : -1);
    EXPECT_EQ(chip.record().file == RandomBytes(r.size) && chip.record().complete, ok);
    EXPECT_EQ(chip.record().cancelled, !ok);
    EXPECT_EQ(chip.record().headers, r.headers);
    EXPECT_EQ(chip.record().eots, r.eots);
    EXPECT_EQ(chip.record().blocks, r.blocks);
}

INSTANTIATE_TEST_SUITE_P(Rows, YmodemSenderFaults, ::testing::ValuesIn(FaultRows()), LegendName());

// Scripted peers on a scaled wall clock: the script's own reads are timed in real time.
namespace {
void PrintTo(const Script& s, std::ostream* os) { *os << s.legend; }
}  // namespace
class ScriptedReceivers : public ::testing::TestWithParam<Script> {};
TEST_P(ScriptedReceivers, TheSenderAnswersAsScripted) { Play(GetParam()); }

std::vector<Script> ScriptedRows() {
    const std::string can = "<\x18\x18", ack = ">\x06";
    std::vector<std::string> silentAfterC = {">C"};
    for (int i = 0; i < YM_MAX_SENDS; i++) silentAfterC.push_back("<" + Header("f", "3"));
    silentAfterC.push_back(can);
    return {
        {"a first answer NAK cancels; the name is cut at 110 characters",
         "",
         [] { return Send("abc", std::string(200, 'n')); },
         {">C", "<" + Header(std::string(110, 'n'), "3"), ">\x15", can, "<"},
         -1},
        {"'C's queued before packet 0 are not answers; an empty file and name",
         "CCCC",
         [] { return Send("", ""); },
         {"<" + Header("", "0"), "<", ack + "C", "<\x04", ack + "C", "<" + Header(), ack},
         0},
        {"never a 'C': given up in bounded time",
         "",
         [] { return Send("abc", "f"); },
         {can},
         -1,
         YM_FIRST_C_WAIT_MS / 1000.0,
         0.03},
        {"silent after the 'C': packet 0 sent ten times, then given up", "", [] { return Send("abc", "f"); },
         silentAfterC, -1, YM_MAX_SENDS * YM_ANSWER_WAIT_MS / 1000.0, 0.03},
    };
}
INSTANTIATE_TEST_SUITE_P(Rows, ScriptedReceivers, ::testing::ValuesIn(ScriptedRows()), LegendName());

TEST(YmodemReceiver, ExactFitRepeatedBlockFiveErrorsAndASenderRepeatingItself) {
    std::vector<unsigned char> buf(1025);
    char name[80];
    auto receive = [&] { return fymodem_receive(buf.data(), 1025, name); };
    const std::string ackC = std::string("<\x06") + 'C';  // ACK, then the 'C' asking for what follows
    // 1025 bytes into 1025: the zero padding of the second packet is not data;
    // block 1 again (our ACK "lost") is acknowledged, not stored.
    const std::string data = RandomBytes(1025), b1 = ">" + Pkt(1, data.substr(0, 1024));
    Play({"exact fit",
          "",
          receive,
          {"<C", ">" + Header("d.bin", "1025"), ackC, b1, "<\x06", b1, "<\x06",
           ">" + Pkt(2, data.substr(1024) + std::string(1023, '\0')), "<\x06", ">\x04", ackC, ">" + Header(), "<\x06"},
          1025});
    EXPECT_STREQ(name, "d.bin");
    EXPECT_EQ(std::string(buf.begin(), buf.end()), data);
    // A header, then silence: every second read fails, five in a row abort.
    Play({"five errors", "", receive, {"<C", ">" + Header("e", "10"), ackC, "~\x18\x18"}, -1});
    // A sender that repeats itself for ever is given up after five repeats.
    const std::string header = ">" + Header("f", "1000");
    for (const std::string& unit : {Pkt(1, RandomBytes(1024)), Pkt(7, RandomBytes(1024)), std::string("\x04")})
        Play({"the same block, a block out of turn, EOT", "", receive, {"<C", header, "*" + unit}, -1});
}
