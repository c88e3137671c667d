// EP and BV ports flashed end to end over a pty, on virtual time.
#include <gtest/gtest.h>
#include <stdio.h>

#include <algorithm>
#include <chrono>
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
        swap = sim::StartThread("swap", [&] {
            while (dev.entries() == 0) sim::SleepFor(std::chrono::milliseconds(1));
            rig.writeEp(base, fwtest::SampleEpBanks(20));
        });
    }
    EXPECT_EQ(rig.task.Run4EPUpgrade(), 0);
    if (swap.joinable()) sim::JoinThread(swap);
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

    // One report per block, each taken by vela in the pause behind it: 120 in
    // bank 0, 64 in bank 1, 8 in bank 2.
    std::vector<fwtest::Report> reps = rig.reportsFor("EpFile(3)");
    ASSERT_EQ(reps.size(), 192u);
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
    std::vector<fwtest::Report> reps = rig.reportsFor("BV(5)");
    ASSERT_EQ(reps.size(), 72u);
    // BV reports carry the bank percentage itself, not the EP share of a third.
    int size = (int)fwtest::ReadFile(rig.root.file(QX_BV_HEX)).size();
    EXPECT_EQ(reps[9].percentValue(), 10 * 153600 / size);
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
    EXPECT_EQ(rig.isp.ep(11).entries(), 1);
    EXPECT_FALSE(rig.log.contains("~~~~~ after m_s8RevTimeoutNum"));
}

// The block phase of a bank in board time, from the device's records: from the
// first address request's arrival to the last block's (its "Z" goes out then).
// The dialogue makes it the agent's pauses and answer windows (every window is
// waited out) plus the line time of those two ends.
struct PhaseRow {
    const char* name;
    bool bv;
    unsigned port, bank;
};

void PrintTo(const PhaseRow& r, std::ostream* os) { *os << r.name; }

class IspBlockPhase : public ::testing::TestWithParam<PhaseRow> {};

TEST_P(IspBlockPhase, IsThePausesAndWindowsOfTheDialogue) {
    const PhaseRow& r = GetParam();
    IspRig rig;
    if (r.bv)
        rig.writeBv(fwtest::SampleBvImage(11));
    else
        rig.writeEp(QX_EP_BASE_INPUT, fwtest::SampleEpBanks(7));
    rig.select(r.port, r.bv);
    ASSERT_EQ(rig.task.Run4EPUpgrade(), 0);
    sim::IspDevice& dev = r.bv ? rig.isp.bv(r.port) : rig.isp.ep(r.port);
    std::vector<sim::IspWrite> addressed, written;
    size_t before = 0;  // blocks of the attempt in earlier banks
    for (const sim::IspWrite& w : dev.addressed())
        if (w.bank == r.bank) addressed.push_back(w);
    for (const sim::IspWrite& w : dev.writes()) {
        if (w.bank == r.bank) written.push_back(w);
        before += w.bank < r.bank;
    }
    ASSERT_EQ(dev.entries(), 1);
    ASSERT_FALSE(written.empty());
    ASSERT_EQ(written.size(), addressed.size());
    const double measured = std::chrono::duration<double, std::milli>(written.back().at - addressed[0].at).count();

    // The agent's prescribed times (ms): answer windows (SetStepWindow) and
    // pauses (Board_usleep) of Taskfile2mcu_Isp.cpp.
    const double shortWindow = 10, blockWindow = 33;
    const double after86 = 5, after86Answer = 10, afterBlockWrite = 20, afterBlock = 50, after85 = 50;
    auto line = [](int bytes) { return bytes * 10 * 1000.0 / 57600; };
    // Address request sent, its answer's window, the 86's turn, the 86 and a
    // pause, its answer's window, a pause, the block's turn: the block goes out.
    const double toBlock = shortWindow + shortWindow + after86 + shortWindow + after86Answer + shortWindow;
    // Block sent, two pauses, the "Z"'s window, the 85's turn, the 85 and a
    // pause, its answer's window and the advance's turn: the next address
    // request. The step count makes those last two short for the attempt's
    // first two blocks.
    auto toNext = [&](size_t k) {
        const double w = k < 2 ? shortWindow : blockWindow;
        return afterBlockWrite + afterBlock + blockWindow + blockWindow + after85 + w + w;
    };
    double expected = toBlock + line(512) - line(3);
    for (size_t k = before; k + 1 < before + written.size(); k++) expected += toNext(k) + toBlock;
    printf("%s: %zu blocks, measured %.6f ms, prescribed %.6f ms\n", r.name, written.size(), measured, expected);
    EXPECT_NEAR(measured, expected, expected * 0.001);
}

INSTANTIATE_TEST_SUITE_P(Rows, IspBlockPhase,
                         ::testing::Values(PhaseRow{"BvPort", true, 5, 0}, PhaseRow{"EpBank1", false, 3, 1}),
                         fwtest::LegendName());
