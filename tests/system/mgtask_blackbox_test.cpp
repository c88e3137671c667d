// The production binary as a black box: fwtool simulate --agent runs mgtask,
// unmodified, in private namespaces against the emulated board and checks it
// as the in-process run does. The light package (master and IO MCU images,
// about 40 s): with the board's real-time pauses the whole one takes 30 min.
#include <gtest/gtest.h>
#include <unistd.h>

#include "BlackBox.h"
#include "testing.h"

TEST(MgTaskBlackBox, LightUpgradePassesEveryCheck) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for private mount, network and PID namespaces";
    fwtest::TempRoot scratch;
    const std::string out = scratch.path() + "/simulate.txt";
    int rc = sim::WaitProgram(sim::SpawnProgram({FWTOOL_PATH, "simulate", "--agent", MGTASK_PATH, "--light"}, out));
    EXPECT_EQ(rc, 0) << fwtest::ReadFile(out);
}
