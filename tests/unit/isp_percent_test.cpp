// The progress value of a data block: the rows of tests/unit/data/isp_percent.tsv.
#include <gtest/gtest.h>

#include <sstream>

#include "Taskfile2mcu_Isp.h"
#include "testing.h"

TEST(IspPercent, BankShareAndOverallValue) {
    std::istringstream table(fwtest::ReadFile(FWAGENT_SOURCE_DIR "/tests/unit/data/isp_percent.tsv"));
    int n = 0;
    for (std::string line, legend; std::getline(table, line);) {
        std::istringstream cols(line);
        uint32_t count, bank, overall;
        int32_t size, bankPercent;
        if (line[0] == '#' || !std::getline(cols, legend, '\t') ||
            !(cols >> count >> size >> bank >> bankPercent >> overall))
            continue;
        IspPercent p = IspComputePercent(count, size, bank);
        EXPECT_EQ(p.s32BankPercent, bankPercent) << legend;
        EXPECT_EQ(p.u32Overall, overall) << legend;
        n++;
    }
    EXPECT_GE(n, 7);
}
