// The agent against the emulated board on the system's clock at the board's
// own pace; the wall time is printed, never judged.
#include <gtest/gtest.h>
#include <stdio.h>

#include <chrono>
#include <string>
#include <vector>

#include "RunRecord.h"
#include "isp_rig.h"

namespace {

void EpPortOverThreeBanks() {
    fwtest::IspRig rig(1);
    rig.line.setPacing(true);
    auto banks = fwtest::SampleEpBanks(7);
    rig.writeEp(QX_EP_BASE_INPUT, banks);
    rig.select(3);
    EXPECT_EQ(rig.task.Run4EPUpgrade(), 0);
    for (unsigned b = 0; b < 3; b++) EXPECT_EQ(sim::IspVerifyBank(rig.isp.ep(3), b, banks[b]), "") << "bank " << b;
}

void MasterPush() {
    sim::LabWorld lab(sim::LabOptions{1, {}, {}, {}});
    ASSERT_TRUE(lab.ready());
    lab.line.setPacing(true);
    fwtest::LogCapture log(true);
    lab.task.SetUartSpeed(lab.line.slavePath().c_str(), 57600);
    std::string bytes = fwtest::RandomBytes(4000);
    std::string hex = sim::ImageToHex(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    lab.root.write(QX_MASTER_HEX, hex);
    lab.task.Process4STUpgrade();
    sim::Bootloader::Record got = lab.master.record();
    EXPECT_TRUE(got.imageComplete) << got.error;
    EXPECT_EQ(got.hexText, hex);
    EXPECT_STREQ(QxOutcomeName(lab.task.m_eStOutcome), QxOutcomeName(emOutcomeFlashed));
}

struct RealTimeRow {
    const char* name;
    void (*run)();
};

void PrintTo(const RealTimeRow& r, std::ostream* os) { *os << r.name; }

class RealTime : public testing::TestWithParam<RealTimeRow> {};

TEST_P(RealTime, TheDeviceHoldsTheImage) {
    auto t0 = std::chrono::steady_clock::now();
    GetParam().run();
    printf("%s: %.1f s of wall time\n", GetParam().name, fwtest::SecondsSince(t0));
}

INSTANTIATE_TEST_SUITE_P(Rows, RealTime,
                         testing::Values(RealTimeRow{"EpPortOverThreeBanks", EpPortOverThreeBanks},
                                         RealTimeRow{"MasterPush", MasterPush}),
                         fwtest::LegendName());

}  // namespace
