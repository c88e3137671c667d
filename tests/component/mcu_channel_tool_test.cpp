// fwtool mcu-channel against the emulated master MCU on a pty.
#include <gtest/gtest.h>

#include <thread>

#include "McuPeer.h"
#include "PtyLine.h"
#include "testing.h"

namespace {
using Bytes = std::vector<uint8_t>;

size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) n++;
    return n;
}
}  // namespace

TEST(McuChannelTool, PushesAnImageAndShowsItsProgress) {
    fwtest::TempRoot root;
    sim::PtyLine line;
    sim::McuPeer mcu(line);
    std::string image = fwtest::RandomBytes(2048);
    std::string file = root.write("/image.bin", image);
    std::string out;
    int rc = fwtest::RunCommand(
        std::string(FWTOOL_PATH) + " mcu-channel --port " + line.slavePath() + " --push " + file, &out);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_TRUE(mcu.recordFile() == Bytes(image.begin(), image.end()));
    EXPECT_EQ(Count(out, "mcu-channel: progress set upgradestatus{\"name\":\"ST(9)\""), 3u);
    EXPECT_NE(out.find("\"percent\":\"67\""), std::string::npos);
    EXPECT_NE(out.find("push of " + file + " finished"), std::string::npos);
}

TEST(McuChannelTool, EchoesHeartbeatsAndParsesTextCommands) {
    sim::PtyLine line;
    sim::McuPeer mcu(line);
    mcu.setAckTimeoutMs(300);
    std::string out;
    int rc = -1;
    std::thread tool([&] {
        rc = fwtest::RunCommand(std::string(FWTOOL_PATH) + " mcu-channel --for 4 --port " + line.slavePath(), &out);
    });
    // Until the channel is up the frames go unanswered.
    bool up = false;
    for (int i = 0; i < 30 && !up; i++) up = mcu.sendRecord(11, Bytes{1, 2, 3, 4}) == 1;
    ASSERT_TRUE(up);
    const char text[] = "SET DEV REBOOT\r\n";
    EXPECT_EQ(mcu.sendRecord(6, Bytes(text, text + sizeof(text))), 1);
    EXPECT_TRUE(mcu.waitUntil([&] {
        for (const auto& r : mcu.records())
            if (r.type == 11) return true;
        return false;
    }));
    tool.join();
    EXPECT_EQ(rc, 0) << out;
    EXPECT_NE(out.find("comm_master_type_heartbeat Length [4]"), std::string::npos);
    EXPECT_NE(out.find("search to end, no match"), std::string::npos);
}

TEST(McuChannelTool, BadPortsAndImages) {
    struct Case {
        const char* legend;
        std::string args;
        int rc;
    };
    const Case cases[] = {
        {"missing device", "--port /nonexistent/tty", 1},
        {"unreadable image", "--port /dev/null --push /nonexistent/image.bin", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        std::string out;
        EXPECT_EQ(fwtest::RunCommand(std::string(FWTOOL_PATH) + " mcu-channel " + c.args, &out), c.rc) << out;
    }
}
