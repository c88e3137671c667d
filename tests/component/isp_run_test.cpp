// One EP port and one BV port flashed end to end over a real pty against the
// emulated devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>

#include "isp_rig.h"

using fwtest::IspRig;

namespace {
std::vector<unsigned> AddressedRows(const sim::IspDevice& dev, unsigned bank) {
    std::vector<unsigned> rows;
    for (const sim::IspWrite& w : dev.addressed())
        if (w.bank == bank) rows.push_back(w.row);
    return rows;
}
// The first and last row addressed in a bank ({1, 0} when none).
std::pair<unsigned, unsigned> Span(const sim::IspDevice& dev, unsigned bank) {
    std::vector<unsigned> rows = AddressedRows(dev, bank);
    return rows.empty() ? std::make_pair(1u, 0u) : std::make_pair(rows.front(), rows.back());
}
}  // namespace

// A row: the bank files as staged, or replaced once the device is entered (it
// must still get the banks as they were checked at its entry).
class IspRunEp : public ::testing::TestWithParam<bool> {};

TEST_P(IspRunEp, PortThreeBanksEndToEnd) {
    IspRig rig;
    auto banks = fwtest::SampleEpBanks(7);
    const std::string base = QX_EP_BASE_INPUT;
    rig.writeEp(base, banks);
    // The bank-1 text padded to 135,680 bytes: 10 blocks give 20 % of the bank, 39 overall.
    std::string h01 = sim::ImageToHex(banks[1]);
    ASSERT_TRUE(sim::PadHexText(&h01, 135680));
    rig.root.write(base + ".h01", h01);

    rig.select(3);
    sim::IspDevice& dev = rig.isp.ep(3);
    std::thread swap;
    if (GetParam()) {
        swap = std::thread([&] {
            fwtest::WaitFor([&] { return dev.entries() > 0; }, 60000);
            rig.writeEp(base, fwtest::SampleEpBanks(20));
        });
    }
    EXPECT_EQ(rig.task.Run4EPUpgrade(), 0);
    if (swap.joinable()) swap.join();
    for (unsigned b = 0; b < 3; b++) EXPECT_EQ(sim::IspVerifyBank(dev, b, banks[b]), "") << "bank " << b;

    // Rows 0x70 to 0x7F are never addressed: the block at 0x6E is followed by 84 80 00.
    std::vector<unsigned> rows0 = AddressedRows(dev, 0);
    auto it = std::find(rows0.begin(), rows0.end(), 0x6Eu);
    ASSERT_TRUE(it != rows0.end() && it + 1 != rows0.end());
    EXPECT_EQ(*(it + 1), 0x80u);
    for (unsigned b = 0; b < 3; b++)
        for (unsigned r : AddressedRows(dev, b)) EXPECT_FALSE(r >= 0x70 && r < 0x80) << b << " " << r;
    // Banks 0 and 1 end behind the block at 0xFE without an address request for
    // row 0x100 (it would reach the device as row 0x00); bank 1 starts again at 0x80.
    EXPECT_EQ(rows0.back(), 0xFEu);
    EXPECT_EQ(Span(dev, 1), std::make_pair(0x80u, 0xFEu));
    // Bank 2 ends behind the block at 0x8E: blank rows 0x82-0x85 did not end it.
    EXPECT_EQ(Span(dev, 2), std::make_pair(0x80u, 0x8Eu));

    EXPECT_EQ(rig.task.m_u32State, (uint32_t)emMSGIdle);
    EXPECT_TRUE(rig.task.GetUpgradeflg());

    // One report per block; the attempt that finished sent the last 192:
    // 120 in bank 0, 64 in bank 1, 8 in bank 2 (a late answer on a loaded
    // machine may have cost an earlier attempt).
    ASSERT_TRUE(rig.vela.waitForCount(192, 10000));
    std::vector<fwtest::Report> reps = rig.reportsFor("EpFile(3)");
    ASSERT_GE(reps.size(), 192u);
    reps.erase(reps.begin(), reps.end() - 192);
    EXPECT_EQ(reps[129].percentValue(), 39) << "bank 1, block 10";
    int last = 0;
    for (const fwtest::Report& r : reps) {
        EXPECT_EQ(r.total, "26");
        EXPECT_EQ(r.current, "3");
        EXPECT_EQ(r.isEnd, "0");
        EXPECT_LE(r.percentValue(), 99);
        EXPECT_GE(r.percentValue(), last);
        last = r.percentValue();
    }
}

INSTANTIATE_TEST_SUITE_P(BankFiles, IspRunEp, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "ReplacedAfterEntry" : "AsStaged";
                         });

TEST(IspRun, BvPortEndToEnd) {
    IspRig rig;
    std::vector<uint8_t> image = fwtest::SampleBvImage(11);
    rig.writeBv(image);
    rig.select(5, true);
    EXPECT_EQ(rig.task.Run4EPUpgrade(), 0);
    sim::IspDevice& dev = rig.isp.bv(5);
    EXPECT_EQ(sim::IspVerifyBank(dev, 0, image), "");
    std::vector<unsigned> rows = AddressedRows(dev, 0);
    EXPECT_EQ(Span(dev, 0), std::make_pair(0x00u, 0x8Eu));
    EXPECT_NE(std::find(rows.begin(), rows.end(), 0x70u), rows.end()) << "BV has no gap";
    EXPECT_TRUE(rig.task.GetUpgradeflg());
    ASSERT_TRUE(rig.vela.waitForCount(72, 10000));
    std::vector<fwtest::Report> reps = rig.reportsFor("BV(5)");
    ASSERT_GE(reps.size(), 72u);
    // BV reports carry the bank percentage itself, not the EP share of a third.
    int size = (int)fwtest::ReadFile(rig.root.file(QX_BV_HEX)).size();
    EXPECT_EQ(reps[reps.size() - 72 + 9].percentValue(), 10 * 153600 / size);
    EXPECT_EQ(reps.back().percentValue(), 99);
}

TEST(IspRun, BvImageFullToTheTopEndsOnTheRefusedAddress) {
    IspRig rig;
    std::vector<uint8_t> image = sim::SampleImage(5, {{0x00, 0xFF}});
    rig.writeBv(image);
    rig.select(8, true);
    EXPECT_EQ(rig.task.Run4EPUpgrade(), 0);
    EXPECT_EQ(sim::IspVerifyBank(rig.isp.bv(8), 0, image), "");
    EXPECT_TRUE(rig.log.contains("In case 84Req ret 5A2rsp"));
    // The last BV port's reset ends the upgrade flag.
    EXPECT_FALSE(rig.task.GetUpgradeflg());
    EXPECT_FALSE(rig.log.contains("port[8] EP upgrade over!"));
}

TEST(IspRun, EpBankTwoFullToTheTopIsTheAddressErrorAndResetsAtOnce) {
    IspRig rig;
    auto banks = fwtest::SampleEpBanks(3);
    banks[2] = sim::SampleImage(9, {{0x80, 0xFF}});
    rig.writeEp(QX_EP_BASE_9162, banks);
    rig.select(10);
    EXPECT_EQ(rig.task.Run4EPUpgrade(), -1);
    EXPECT_TRUE(rig.log.contains("######m_u32FlsAddr is <0x100> Error."));
    for (unsigned b = 0; b < 3; b++) EXPECT_EQ(sim::IspVerifyBank(rig.isp.ep(10), b, banks[b]), "") << b;
    // The run is reset: the next port starts its own attempt at once.
    EXPECT_EQ(rig.task.m_b16UpstartFlg, 0);
    EXPECT_EQ(rig.task.m_u32FlsBank, 0u);
    EXPECT_EQ(rig.task.m_u32State, (uint32_t)emMSGIdle);
    rig.select(11);
    rig.log.clear();
    EXPECT_EQ(rig.task.Run4EPUpgrade(), -1);
    EXPECT_GE(rig.isp.ep(11).entries(), 1);
    EXPECT_FALSE(rig.log.contains("~~~~~ after m_s8RevTimeoutNum"));
}
