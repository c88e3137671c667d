// The main job as a test: the agent, started as mgtask starts it, takes a
// Valens order and a package order from vela's stand-in and upgrades every
// target of the emulated board; the scenario judges each byte for byte, the
// hand-over of the line and the report sequence.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <ctype.h>

#include <fstream>
#include <sstream>
#include <vector>

#include "LastRun.h"
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

// tests/data/faults.tsv: one fwtool simulate run per row, each a test named
// from its faults. The run judges itself (each knob's outcome and bound,
// every check, the record against the board); the row pins the outcomes of
// the targets it names, their lines in the result record and a bound for the
// whole run.
struct FaultRow {
    std::string only, faults, outcomes, record;
    double bound = 0;
};

void PrintTo(const FaultRow& r, std::ostream* os) { *os << r.only << " " << r.faults; }

std::vector<FaultRow> FaultRows() {
    std::ifstream table(std::string(FWAGENT_SOURCE_DIR) + "/tests/data/faults.tsv");
    std::vector<FaultRow> rows;
    for (std::string line; std::getline(table, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream cells(line);
        FaultRow r;
        cells >> r.only >> r.faults >> r.outcomes >> r.record >> r.bound;
        rows.push_back(r);
    }
    return rows;
}

// "a=b,c" as "name=value" items.
std::vector<std::string> Items(const std::string& list) {
    std::vector<std::string> out;
    std::istringstream in(list);
    for (std::string item; std::getline(in, item, ',');) out.push_back(item);
    return out;
}

class FaultTable : public testing::TestWithParam<FaultRow> {};

TEST_P(FaultTable, EndsAsTheRowSays) {
    const FaultRow& row = GetParam();
    fwtest::TempRoot scratch;
    const std::string record = scratch.path() + "/last-run";
    std::string out;
    auto t0 = std::chrono::steady_clock::now();
    int rc =
        fwtest::Fwtool({"simulate", "--quiet", "--only", row.only, "--faults", row.faults, "--record", record}, &out);
    double sec = fwtest::SecondsSince(t0);
    EXPECT_EQ(rc, 0) << out;
    EXPECT_LE(sec, row.bound) << out;
    for (const std::string& item : Items(row.outcomes)) {
        std::string target = item.substr(0, item.find('=')), got;
        std::istringstream summary(out);
        for (std::string line; std::getline(summary, line);) {
            std::istringstream words(line);
            std::string name, expected, outcome;
            if (got.empty() && words >> name >> expected >> outcome && name == target) got = outcome;
        }
        EXPECT_EQ(target + "=" + got, item) << out;
    }
    sim::LastRun left = sim::ReadLastRun(record);
    ASSERT_TRUE(left.present) << "the run left no result record\n" << out;
    for (const std::string& item : Items(row.record)) {
        std::string key = item.substr(0, item.find('='));
        EXPECT_EQ(key + "=" + left.get(key), item) << left.text;
    }
}

std::string RowName(const testing::TestParamInfo<FaultRow>& info) {
    std::string name = info.param.faults;
    for (char& c : name)
        if (!isalnum((unsigned char)c)) c = '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Rows, FaultTable, testing::ValuesIn(FaultRows()), RowName);
