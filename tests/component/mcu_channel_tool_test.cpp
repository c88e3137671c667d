// fwtool mcu-channel against the emulated master MCU on a pty. On the wall
// clock: the agent runs in fwtool's process, the MCU in this one.
#include <gtest/gtest.h>

#include "McuPeer.h"
#include "PtyLine.h"
#include "testing.h"

namespace {
using Bytes = std::vector<uint8_t>;
using Argv = std::vector<std::string>;
}  // namespace

TEST(McuChannelTool, PushesAnImageAndShowsItsProgress) {
    fwtest::TempRoot root;
    sim::PtyLine line;
    sim::McuPeer mcu(line);
    std::string image = fwtest::RandomBytes(2048);
    std::string file = root.write("/image.bin", image), out;
    EXPECT_EQ(fwtest::Fwtool({"mcu-channel", "--port", line.slavePath(), "--push", file}, &out), 0) << out;
    EXPECT_TRUE(mcu.recordFile() == Bytes(image.begin(), image.end()));
    EXPECT_NE(out.find("mcu-channel: progress set upgradestatus{\"name\":\"ST(9)\""), std::string::npos) << out;
    for (std::string percent : {"0", "34", "67"})
        EXPECT_NE(out.find("\"percent\":\"" + percent + "\""), std::string::npos) << percent;
    EXPECT_NE(out.find("push of " + file + " finished"), std::string::npos);
}

TEST(McuChannelTool, BadPortsAndImagesEndWithAFailure) {
    for (const Argv& args :
         {Argv{"--port", "/nonexistent/tty"}, Argv{"--port", "/dev/null", "--push", "/nonexistent/image.bin"}}) {
        Argv argv{"mcu-channel"};
        argv.insert(argv.end(), args.begin(), args.end());
        std::string out;
        EXPECT_EQ(fwtest::Fwtool(argv, &out), 1) << out;
    }
}
