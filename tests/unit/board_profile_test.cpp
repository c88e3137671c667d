#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include "BoardProfile.h"
#include "Taskfile2mcu.h"
#include "testing.h"

TEST(BoardProfile, RefusesRootsThatCouldCutOrBreakACommandAndAnyOnceTheAgentRuns) {
    struct {
        const char* legend;
        std::string root;
        int expected;
    } rows[] = {
        {"too long", "/" + std::string(QX_ROOT_MAX, 'a'), -1},
        {"relative", "relative/root", -1},
        {"a blank", "/tmp/a b", -1},
        {"a semicolon", "/tmp/x;rm", -1},
        {"the longest root", "/" + std::string(QX_ROOT_MAX - 1, 'r'), 0},
    };
    for (const auto& r : rows) {
        BoardProfile p;
        p.strRoot = r.root;
        std::string err;
        EXPECT_EQ(BoardProfile_Set(p, &err), r.expected) << r.legend;
        EXPECT_EQ(err.empty(), r.expected == 0) << r.legend;
    }
    BoardProfile_Set(BoardProfile());
    // The scheduler, idle without orders, reads the profile from its own thread.
    EXPECT_EXIT(
        {
            g_pTaskUP4mcu = new CTaskfile2mcu();
            g_pTaskUP4mcu->init();
            _exit(BoardProfile_Set(BoardProfile()) == -1 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "refused: the agent is running");
}

TEST(BoardProfile, LongestRootFitsEveryBoardPathAndCommand) {
    BoardProfile p;
    p.strRoot = std::string("/") + std::string(QX_ROOT_MAX - 1, 'r');
    ASSERT_EQ(BoardProfile_Set(p), 0);
    char szPath[QX_PATH_BUF(64)];
    Board_Path(szPath, sizeof(szPath), "/home/ubuntu/McuUpdate/EP91A6SQ/");
    EXPECT_EQ(strlen(szPath), QX_ROOT_MAX + strlen("/home/ubuntu/McuUpdate/EP91A6SQ/"));
    char szCmd[QX_CMD_BUF(256)];
    char szBase[QX_PATH_BUF(128)];
    Board_Path(szBase, sizeof(szBase), "/home/ubuntu/McuUpdate/EP91A6SQ/HV4412-7730-K28-OutputMcu-EP91A6SQ");
    EXPECT_GT(Board_Snprintf(szCmd, sizeof(szCmd), "mv %s-*h00 %s.h00", szBase, szBase), 0);
    BoardProfile_Set(BoardProfile());
}

TEST(BoardProfile, SnprintfNeverHandsOutACutText) {
    fwtest::LogCapture log(true);
    char sz[8];
    EXPECT_EQ(Board_Snprintf(sz, sizeof(sz), "rm -rf %s", "/home"), -1);
    EXPECT_STREQ(sz, "");
    EXPECT_TRUE(log.contains("######"));
    EXPECT_EQ(Board_Snprintf(sz, sizeof(sz), "%s", "1234567"), 7);
}
