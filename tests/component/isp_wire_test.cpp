// How each ISP answer is judged, and what goes back on a real pty (the
// requests themselves are in the golden traces).
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "isp_rig.h"
#include "serial_testing.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The agent's task on the slave of a pty; the test reads the master.
struct WireRig {
    // Everything the agent wrote so far.
    Bytes drain() {
        Bytes out;
        uint8_t buf[1024];
        for (ssize_t n; (n = line.read(buf, sizeof(buf), 50)) > 0;) out.insert(out.end(), buf, buf + n);
        return out;
    }
    sim::PtyLine line;
    int profile = (fwtest::UseSerialDevice(line.slavePath(), 0), 0);
    fwtest::LogCapture log{true};
    fwtest::TaskOnPort port{line.slavePath(), 0};
    CTaskfile2mcu& task = port.task;
};

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// One answer judged by one check: its result and what it sends back.
struct Judged {
    const char* legend;
    int32_t (*check)(CTaskfile2mcu&, const char*);
    std::string answer;
    int32_t result;
    Bytes wire;
};

int32_t Entry(CTaskfile2mcu& t, const char* a) { return t.ApplyIntoUpgradeModleRsp(a); }
int32_t Handshake(CTaskfile2mcu& t, const char* a) { return t.Check0x81Rsp(a); }
int32_t Bank(CTaskfile2mcu& t, const char* a) { return t.ChoiceFlashBlockRsp(a); }
int32_t Address(CTaskfile2mcu& t, const char* a) { return t.ChoiceFlashAddrRsp(a); }
int32_t Go(CTaskfile2mcu& t, const char* a) { return t.Check0x86Rsp(a); }
int32_t Ack(CTaskfile2mcu& t, const char* a) { return t.Check0x5ARsp(a); }

const Bytes kAgain = B("WUPG MCUIN2\r\n");
const Judged kJudged[] = {
    {"prompt 3E sends the handshake byte", Entry, ">", 0, {0x81}},
    {"prompt 3C with more behind it sends the handshake byte", Entry, "<junk", 0, {0x81}},
    {"prompt FE sends the entry text again", Entry, "\xFE", 0, kAgain},
    {"anything else is refused, nothing sent", Entry, "A>", -2, {}},
    {"empty entry answer is refused", Entry, "", -2, {}},
    {"handshake ending in 81", Handshake, "\x3E\x81", 0, {}},
    {"handshake not ending in 81 asks again", Handshake, "\x81\x3E", -2, {0x81}},
    {"empty handshake answer asks again", Handshake, "", -2, {0x81}},
    {"bank answer starts with 83", Bank, "\x83\x30", 0, {}},
    {"bank answer without 83", Bank, "\x30\x83", -2, {}},
    {"address answer 3E is a refusal", Address, ">", -2, {}},
    {"no address answer is an acceptance", Address, "", 0, {}},
    {"any other address answer is an acceptance", Address, "\x84\x3E", 0, {}},
    {"86 answer", Go, "\x86", 0, {}},
    {"86 answer missing", Go, "", -2, {}},
    {"85 answer is never looked at", Ack, "", 0, {}},
};

void PrintTo(const Judged& c, std::ostream* os) { *os << c.legend; }

class IspWire : public ::testing::TestWithParam<Judged> {};

TEST_P(IspWire, AnswerIsJudgedAsTheCommandTableSays) {
    const Judged& c = GetParam();
    WireRig rig;
    rig.task.m_u32Port = 2;
    EXPECT_EQ(c.check(rig.task, c.answer.c_str()), c.result);
    EXPECT_EQ(rig.drain(), c.wire);
    // The empty handshake answer has no last byte: none is read before it.
    EXPECT_EQ(rig.log.contains("MsgLen[4294967295] is Msg[0x0]"), c.check == Handshake && c.answer.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, IspWire, ::testing::ValuesIn(kJudged), fwtest::LegendName());

}  // namespace
