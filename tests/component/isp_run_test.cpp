// One EP port and one BV port flashed end to end over a real pty against the
// emulated devices.
#include <gtest/gtest.h>

#include "isp_rig.h"

using fwtest::IspRig;

TEST(IspRun, EpPortThreeBanksEndToEnd) {
    IspRig rig;
    auto banks = fwtest::SampleEpBanks(7);
    rig.writeEp(QX_EP_BASE_INPUT, banks);
    rig.selectEp(3);
    EXPECT_EQ(rig.task.Run4EPUpgrade(), 0);
    sim::IspDevice& dev = rig.devices.ep(3);
    for (unsigned b = 0; b < 3; b++) EXPECT_EQ(sim::IspVerifyBank(dev, b, banks[b]), "") << b;
    EXPECT_EQ(rig.task.m_u32State, (uint32_t)emMSGIdle);
}
