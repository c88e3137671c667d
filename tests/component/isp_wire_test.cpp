// How each ISP answer is judged, and what goes back on a real pty (the
// requests themselves are in the golden traces).
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

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
    int profile = (fwtest::UseSerialDevice(line.slavePath(), 0.001), 0);
    fwtest::LogCapture log{true};
    fwtest::TaskOnPort port{line.slavePath(), 0};
    CTaskfile2mcu& task = port.task;
};

Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }

// One answer judged by one check: its result and what it sends back.
struct Judged {
    const char* legend;
    std::function<int32_t(CTaskfile2mcu&, const char*)> check;
    std::string answer;
    int32_t result;
    Bytes wire;
};

TEST(IspWire, AnswersAreJudgedAsTheCommandTableSays) {
    auto entry = [](CTaskfile2mcu& t, const char* a) { return t.ApplyIntoUpgradeModleRsp(a); };
    auto hs = [](CTaskfile2mcu& t, const char* a) { return t.Check0x81Rsp(a); };
    auto bank = [](CTaskfile2mcu& t, const char* a) { return t.ChoiceFlashBlockRsp(a); };
    auto addr = [](CTaskfile2mcu& t, const char* a) { return t.ChoiceFlashAddrRsp(a); };
    auto r86 = [](CTaskfile2mcu& t, const char* a) { return t.Check0x86Rsp(a); };
    auto r5a = [](CTaskfile2mcu& t, const char* a) { return t.Check0x5ARsp(a); };
    const Bytes again = B("WUPG MCUIN2\r\n");
    const std::vector<Judged> cases = {
        {"prompt > sends the handshake byte", entry, ">", 0, {0x81}},
        {"prompt < sends the handshake byte", entry, "<junk", 0, {0x81}},
        {"prompt FE sends the entry text again", entry, "\xFE", 0, again},
        {"anything else is refused, nothing sent", entry, "A>", -2, {}},
        {"empty entry answer is refused", entry, "", -2, {}},
        {"handshake ending in 81", hs, "\x3E\x81", 0, {}},
        {"handshake not ending in 81 asks again", hs, "\x81\x3E", -2, {0x81}},
        {"empty handshake answer asks again", hs, "", -2, {0x81}},
        {"bank answer starts with 83", bank, "\x83\x30", 0, {}},
        {"bank answer without 83", bank, "\x30\x83", -2, {}},
        {"address answer > is a refusal", addr, ">", -2, {}},
        {"no address answer is an acceptance", addr, "", 0, {}},
        {"any other address answer is an acceptance", addr, "\x84\x3E", 0, {}},
        {"86 answer", r86, "\x86", 0, {}},
        {"86 answer missing", r86, "", -2, {}},
        {"85 answer is never looked at", r5a, "", 0, {}},
    };
    WireRig rig;
    rig.task.m_u32Port = 2;
    for (const Judged& c : cases) {
        EXPECT_EQ(c.check(rig.task, c.answer.c_str()), c.result) << c.legend;
        EXPECT_EQ(rig.drain(), c.wire) << c.legend;
    }
    // The empty handshake answer has no last byte: none is read before it.
    EXPECT_TRUE(rig.log.contains("MsgLen[4294967295] is Msg[0x0]"));
}

}  // namespace
