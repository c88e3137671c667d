// The progress value of a data block: bank percentage, share and overall value.
#include <gtest/gtest.h>

#include "Taskfile2mcu_Isp.h"

TEST(IspPercent, BankShareAndOverallValue) {
    struct Case {
        const char* legend;
        uint32_t count;
        int32_t size;
        uint32_t bank;
        int32_t bankPercent;
        uint32_t overall;
    };
    const Case cases[] = {
        {"bank 1, 10 blocks, 135,680 bytes", 10, 135680, 1, 20, 39},
        {"bank 0, first block of a large file", 1, 153600, 0, 1, 0},
        {"bank 0, 99 % shows as 99, share 33", 99, 153600, 0, 99, 33},
        {"bank 0, far past 100 % clamps", 500, 1000, 0, 99, 33},
        {"bank 2, 98 % keeps its own share", 98, 256000, 2, 98, 98},
        {"bank 2, 99 % never passes 99 overall", 99, 256000, 2, 99, 99},
        {"no size: nothing divided", 5, 0, 1, 0, 33},
    };
    for (const Case& c : cases) {
        IspPercent p = IspComputePercent(c.count, c.size, c.bank);
        EXPECT_EQ(p.s32BankPercent, c.bankPercent) << c.legend;
        EXPECT_EQ(p.u32Overall, c.overall) << c.legend;
    }
}
