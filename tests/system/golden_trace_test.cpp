// The wire of short scenarios against the golden traces in tests/data/traces:
// each is recorded again (fwtool trace record NAME, seed 1) and compared as
// the dialogue "fwtool trace show" reads, without the timing. The scenario
// itself checks that the device holds the image. When the wire is meant to
// change, regenerate them with
//     FWAGENT_REGEN_TRACES=1 ctest --test-dir build -R GoldenTrace
#include <gtest/gtest.h>

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
        if (a != b) return "unit " + std::to_string(n) + ": golden [" + a + "], now [" + b + "]";
    }
    return "";
}

}  // namespace

// A device answer that comes later than the agent's window (a loaded machine)
// makes the agent ask again, which is a different wire: a scenario passes when
// one of three runs matches.
TEST(GoldenTrace, EachScenarioPutsTheGoldenBytesOnTheWire) {
    const fs::path dir = fs::path(FWAGENT_SOURCE_DIR) / "tests/data/traces";
    const bool regen = getenv("FWAGENT_REGEN_TRACES") != nullptr;
    fwtest::TempRoot scratch;
    for (const std::string& name : sim::TraceScenarioNames()) {
        const fs::path golden = dir / (name + ".trace"), fresh = fs::path(scratch.path()) / (name + ".trace");
        std::string why = "not run";
        for (int attempt = 0; attempt < 3 && !why.empty(); attempt++) {
            if (sim::WaitProgram(sim::SpawnProgram({FWTOOL_PATH, "trace", "record", name, fresh.string()})) != 0) {
                why = "the scenario did not complete";
                continue;
            }
            if (regen) fs::copy_file(fresh, golden, fs::copy_options::overwrite_existing);
            why = FirstDifference(sim::TraceCanonical(Load(golden)), sim::TraceCanonical(Load(fresh)));
        }
        EXPECT_EQ(why, "") << name << " against " << golden;
    }
}
