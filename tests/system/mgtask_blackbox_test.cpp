// The production binary as a black box: mgtask on its own defaults, in private
// namespaces (see mgtask_namespace.sh), in real time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "Package.h"
#include "PtyLine.h"
#include "testing.h"

using namespace fwtest;

TEST(MgTaskBlackBox, PackageOrderEndsInResetAndOneStubReboot) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for private mount and network namespaces";
    if (RunCommand("unshare --mount --net --fork true") != 0) GTEST_SKIP() << "namespaces are not available here";

    TempRoot scratch;
    sim::PtyLine line;
    sim::PackageImages images;
    images.versionJson = "{\"version\":\"blackbox\"}";
    std::string err;
    ASSERT_TRUE(sim::BuildPackage(scratch.path() + "/McuUpdate.tar.gz", images, &err)) << err;

    // Everything the agent writes on the line, and the speed it was written at.
    std::atomic<bool> stop{false};
    std::string wire;
    unsigned lastBaud = 0;
    std::thread reader([&] {
        char buf[256];
        while (!stop) {
            ssize_t n = line.read(buf, sizeof(buf), 20);
            if (n > 0) {
                wire.append(buf, (size_t)n);
                lastBaud = line.baud();
            }
        }
    });
    std::string out;
    int rc = RunCommand("unshare --mount --net --fork " + std::string(FWAGENT_SOURCE_DIR) +
                            "/tests/system/mgtask_namespace.sh " + scratch.path() + " " + line.slavePath() + " " +
                            MGTASK_PATH + " " + FWTOOL_PATH,
                        &out);
    stop = true;
    reader.join();
    std::string log = scratch.read("/mgtask.log");
    ASSERT_EQ(rc, 0) << out << log;

    EXPECT_NE(log.find("binded success"), std::string::npos) << log;
    EXPECT_NE(log.find("###### access VSTX.hex is Failed"), std::string::npos);
    EXPECT_NE(log.find("cmdBuffer is [tar -zxvf - -C /home/ubuntu --no-same-owner --no-same-permissions < "
                       "/home/ubuntu/McuUpdate.tar.gz > tar.log 2>&1] nret[0]"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("OpenUart is OK and Uart is ["), std::string::npos);
    // The one reboot went to the stub; the staging directory was gone by then, version.json stays.
    EXPECT_EQ(scratch.read("/reboot.log"), "reboot \n");
    std::string home = scratch.read("/home-after.txt");
    EXPECT_EQ(home.find("McuUpdate\n"), std::string::npos) << home;
    EXPECT_EQ(home.find("/home/ubuntu/McuUpdate:"), std::string::npos) << home;
    EXPECT_NE(home.find("version.json"), std::string::npos) << home;
    EXPECT_TRUE(scratch.exists("/tar.log"));
    // The MCUs were reset at 57600 bit/s.
    ASSERT_GE(wire.size(), 9u);
    EXPECT_EQ(wire.substr(wire.size() - 9), "UPG RST\r\n");
    EXPECT_EQ(lastBaud, 57600u);
}
