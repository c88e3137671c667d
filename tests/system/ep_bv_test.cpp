// Every EP and BV device of the emulated board flashed by the two port walks,
// in fast mode, and verified byte for byte.
#include <gtest/gtest.h>

#include "isp_rig.h"

using fwtest::IspRig;

TEST(EpBvSystem, AllSixteenEpAndEightBvDevicesFlashedAndVerified) {
    IspRig rig;
    // Each family its own images, so a port that used the wrong files shows.
    const char* bases[3] = {QX_EP_BASE_INPUT, QX_EP_BASE_9162, QX_EP_BASE_91A6};
    std::vector<std::vector<uint8_t>> banks[3];
    for (int f = 0; f < 3; f++) {
        banks[f] = fwtest::SampleEpBanks(100 + 10 * f);
        rig.writeEp(bases[f], banks[f]);
    }
    std::vector<uint8_t> bv = fwtest::SampleBvImage(200);
    rig.writeBv(bv);

    rig.task.SetUartSpeed(Board_SerialDev(), 57600);
    rig.task.Process4EPUpgrade();
    EXPECT_EQ(rig.task.Process4BVUpgrade(), 0);

    for (unsigned p = 1; p <= 16; p++) {
        int f = p <= 8 ? 0 : (p <= 12 ? 1 : 2);
        for (unsigned b = 0; b < 3; b++)
            EXPECT_EQ(sim::IspVerifyBank(rig.devices.ep(p), b, banks[f][b]), "") << "EP port " << p << " bank " << b;
        // A late answer on a loaded machine may cost an attempt; the image must still be whole.
        EXPECT_GE(rig.devices.ep(p).entries(), 1) << p;
    }
    for (unsigned p = 1; p <= 8; p++) {
        EXPECT_EQ(sim::IspVerifyBank(rig.devices.bv(p), 0, bv), "") << "BV port " << p;
        EXPECT_GE(rig.devices.bv(p).entries(), 1) << p;
    }

    // The line went to each device once, in port order (a repeated entry text
    // stays with the device that holds the line).
    std::vector<std::string> expect;
    for (unsigned p = 1; p <= 16; p++) {
        std::string e = sim::IspDevice::EntryText(sim::IspFamily::EP, p);
        expect.push_back(e.substr(0, e.size() - 2));
        expect.push_back("-> EP" + std::to_string(p));
    }
    for (unsigned p = 1; p <= 8; p++) {
        expect.push_back("UPG BVE" + std::to_string(p));
        expect.push_back("-> BV" + std::to_string(p));
    }
    EXPECT_EQ(rig.board.routerLog(), expect);

    // One closing report of 100 % per port, after that port's block reports.
    ASSERT_TRUE(rig.vela.waitUntil(
        [](const std::vector<fwtest::Datagram>& d) {
            return !d.empty() && d.back().payload().find("BV(8)") != std::string::npos &&
                   d.back().payload().find("\"percent\":\"100\"") != std::string::npos;
        },
        10000));
    std::vector<fwtest::Report> reps = rig.vela.reports();
    std::vector<std::string> closing;
    for (const fwtest::Report& r : reps)
        if (r.percent == "100") closing.push_back(r.name);
    std::vector<std::string> want;
    for (unsigned p = 1; p <= 16; p++) want.push_back("EpFile(" + std::to_string(p) + ")");
    for (unsigned p = 1; p <= 8; p++) want.push_back("BV(" + std::to_string(p) + ")");
    EXPECT_EQ(closing, want);

    // The last BV port's reset cleared the flag; the walks leave their marks.
    EXPECT_FALSE(rig.task.GetUpgradeflg());
    EXPECT_EQ(rig.task.m_u32Port, 9u);
    EXPECT_EQ(rig.task.m_bBVFlg, 1);
    EXPECT_EQ(rig.board.garbled(), 0u);
}
