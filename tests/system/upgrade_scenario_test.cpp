// The main job as a test: the agent, started as mgtask starts it, takes a
// Valens order and a package order from vela's stand-in and upgrades every
// target of the emulated board; the scenario judges each byte for byte, the
// hand-over of the line and the report sequence.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <fstream>
#include <sstream>

#include "SimScenario.h"
#include "testing.h"

TEST(UpgradeScenario, ValensThenWholePackageWithEveryTargetVerified) {
    fwtest::TempRoot root;
    fwtest::RebootStub reboot(root);
    fwtest::LogCapture log(true);
    sim::ScenarioOptions o;
    o.timeScale = 0.02;
    o.timeout = std::chrono::seconds(600);
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    int rc = sim::RunUpgradeScenario(root, reboot, o, out);
    fclose(out);
    std::string summary(text, size);
    free(text);
    EXPECT_EQ(rc, 0) << summary;
    EXPECT_EQ(reboot.count(), 1);
}

// tests/data/faults.tsv: one fwtool simulate run per row. The run judges itself
// (each knob's outcome and bound, every check); the row pins the outcomes of
// the targets it names and a bound for the whole run.
TEST(UpgradeScenario, FaultTable) {
    std::ifstream table(std::string(FWAGENT_SOURCE_DIR) + "/tests/data/faults.tsv");
    int rows = 0;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream cells(line);
        std::string only, faults, outcomes, out;
        double bound = 0;
        cells >> only >> faults >> outcomes >> bound;
        SCOPED_TRACE(faults);
        auto t0 = std::chrono::steady_clock::now();
        int rc = fwtest::Fwtool({"simulate", "--quiet", "--only", only, "--faults", faults}, &out);
        double sec = fwtest::SecondsSince(t0);
        printf("%-40s %-12s rc %d, %.1f s\n", faults.c_str(), only.c_str(), rc, sec);
        EXPECT_EQ(rc, 0) << out;
        EXPECT_LE(sec, bound) << out;
        std::istringstream want(outcomes);
        for (std::string item; std::getline(want, item, ',');) {
            std::string target = item.substr(0, item.find('=')), got;
            std::istringstream summary(out);
            for (std::string row; std::getline(summary, row);) {
                std::istringstream words(row);
                std::string name, expected, outcome;
                if (got.empty() && words >> name >> expected >> outcome && name == target) got = outcome;
            }
            EXPECT_EQ(target + "=" + got, item) << out;
        }
        rows++;
    }
    EXPECT_GE(rows, 6);
}
