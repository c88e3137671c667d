// The progress value of a data block: the rows of tests/unit/data/isp_percent.tsv.
#include <gtest/gtest.h>

#include <sstream>

#include "Taskfile2mcu_Isp.h"
#include "testing.h"

TEST(IspPercent, BankShareAndOverallValue) {
    int n = 0;
    for (const std::string& line : fwtest::DataLines("tests/unit/data/isp_percent.tsv")) {
        std::istringstream cols(line);
        std::string legend;
        uint32_t count, bank, overall;
        int32_t size, bankPercent;
        if (!std::getline(cols, legend, '\t') || !(cols >> count >> size >> bank >> bankPercent >> overall)) continue;
        IspPercent p = IspComputePercent(count, size, bank);
        EXPECT_EQ(p.s32BankPercent, bankPercent) << legend;
        EXPECT_EQ(p.u32Overall, overall) << legend;
        n++;
    }
    EXPECT_GE(n, 7);
}
