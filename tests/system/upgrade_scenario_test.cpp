// The main job as a test: the agent, started as mgtask starts it, takes a
// Valens order and a package order from vela's stand-in and upgrades every
// target of the emulated board; the scenario checks each byte for byte.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>

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
    EXPECT_NE(summary.find("0 failed"), std::string::npos) << summary;
    EXPECT_EQ(reboot.count(), 1);
}
