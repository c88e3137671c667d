// The main job: the agent, started as mgtask starts it, takes a Valens and a
// package order and upgrades every target of the emulated board.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

#include <ctype.h>

#include <sstream>
#include <vector>

#include "LastRun.h"
#include "SimScenario.h"
#include "testing.h"

TEST(UpgradeScenario, ValensThenWholePackageWithEveryTargetVerified) {
    fwtest::TempRoot root;
    fwtest::RebootStub reboot(root);
    fwtest::LogCapture log(true);
    sim::ScenarioOptions o;  // virtual time
    char* text = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&text, &size);
    int rc = sim::RunUpgradeScenario(root, reboot, o, out);
    fclose(out);
    std::string summary(text, size);
    free(text);
    EXPECT_EQ(rc, 0) << summary << "replay: fwtool simulate --seed 1";
    EXPECT_EQ(reboot.count(), 1);
}

// On virtual time two runs of one scenario, faults and seed are the same run:
// the same bytes on the line at the same board times, the same summary.
TEST(UpgradeScenario, TwoRunsOfOneSeedAreTheSameByteForByte) {
    fwtest::TempRoot scratch;
    const std::vector<std::string> args = {"simulate", "--quiet", "--only", "valens,master,bv", "--seed", "7",
                                           "--faults", "bv3=withhold-ack:2,valens=nak:2,master=repeat-token"};
    std::string trace[2], summary[2];
    for (int i = 0; i < 2; i++) {
        std::vector<std::string> a = args;
        a.insert(a.end(), {"--trace", scratch.path() + "/run" + std::to_string(i) + ".trace"});
        EXPECT_EQ(fwtest::Fwtool(a, &summary[i]), 0) << summary[i];
        trace[i] = fwtest::ReadFile(a.back());
        // All but the wall time, which is the machine's.
        summary[i] = summary[i].substr(0, summary[i].rfind(" in "));
    }
    EXPECT_FALSE(trace[0].empty());
    EXPECT_TRUE(trace[0] == trace[1]) << "replay: fwtool simulate --quiet --only valens,master,bv --seed 7 --faults "
                                         "bv3=withhold-ack:2,valens=nak:2,master=repeat-token --trace FILE";
    EXPECT_EQ(summary[0], summary[1]);
}

// tests/data/faults.tsv: one fwtool simulate run per row, which judges itself;
// the row pins target outcomes, record lines and a bound in board seconds.
struct FaultRow {
    std::string only, faults, outcomes, record;
    double bound = 0;
};

void PrintTo(const FaultRow& r, std::ostream* os) { *os << r.only << " " << r.faults; }

std::vector<FaultRow> FaultRows() {
    std::vector<FaultRow> rows;
    for (const std::string& line : fwtest::DataLines("tests/data/faults.tsv")) {
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
    int rc =
        fwtest::Fwtool({"simulate", "--quiet", "--only", row.only, "--faults", row.faults, "--record", record}, &out);
    EXPECT_EQ(rc, 0) << out;
    // "...; 431.1 s board time in 1.1 s wall (virtual time)"
    size_t at = out.rfind(" s board time");
    ASSERT_NE(at, std::string::npos) << out;
    EXPECT_LE(std::stod(out.substr(out.rfind(' ', at - 1) + 1)), row.bound)
        << out << "replay: fwtool simulate --only " << row.only << " --faults " << row.faults;
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
