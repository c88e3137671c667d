// Short scenarios recorded again and compared with tests/data/traces byte for
// byte, times included. When the wire is meant to change, regenerate them with
//     FWAGENT_REGEN_TRACES=1 ctest --test-dir build -R GoldenTrace
#include <gtest/gtest.h>

#include <ctype.h>

#include <filesystem>
#include <sstream>

#include "BlackBox.h"
#include "Trace.h"
#include "TraceScenarios.h"
#include "testing.h"

namespace fs = std::filesystem;

namespace {

std::vector<sim::TraceRecord> Load(const fs::path& p) {
    std::vector<sim::TraceRecord> r;
    std::string err;
    EXPECT_TRUE(sim::ParseTrace(fwtest::ReadFile(p), &r, &err)) << p << ": " << err;
    return r;
}

// The first line where two canonical forms part, "" when they agree.
std::string FirstDifference(const std::string& want, const std::string& got) {
    std::istringstream w(want), g(got);
    for (int n = 1; w || g; n++) {
        std::string a, b;
        std::getline(w, a);
        std::getline(g, b);
        if (a != b) return "line " + std::to_string(n) + ": golden [" + a + "], now [" + b + "]";
    }
    return "";
}

}  // namespace

// Names the dialogue's first difference, else the first line whose time moved.
class GoldenTrace : public testing::TestWithParam<std::string> {};

TEST_P(GoldenTrace, PutsTheGoldenBytesOnTheWireAtTheGoldenTimes) {
    const std::string& name = GetParam();
    const fs::path golden = fs::path(FWAGENT_SOURCE_DIR) / "tests/data/traces" / (name + ".trace");
    fwtest::TempRoot scratch;
    const fs::path fresh = fs::path(scratch.path()) / (name + ".trace");
    ASSERT_EQ(sim::WaitProgram(sim::SpawnProgram({FWTOOL_PATH, "trace", "record", name, fresh.string()})), 0)
        << "the scenario did not complete";
    if (getenv("FWAGENT_REGEN_TRACES") != nullptr) fs::copy_file(fresh, golden, fs::copy_options::overwrite_existing);
    const std::string want = fwtest::ReadFile(golden), got = fwtest::ReadFile(fresh);
    if (want == got) return;
    std::string why = FirstDifference(sim::TraceCanonical(Load(golden)), sim::TraceCanonical(Load(fresh)));
    if (why.empty()) why = "same wire, other times: " + FirstDifference(want, got);
    ADD_FAILURE() << name << " against " << golden << ": " << why
                  << "\nreplay: " FWTOOL_PATH " trace record " << name << " FILE";
}

INSTANTIATE_TEST_SUITE_P(Scenarios, GoldenTrace, testing::ValuesIn(sim::TraceScenarioNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (!isalnum((unsigned char)c)) c = '_';
                             return n;
                         });
