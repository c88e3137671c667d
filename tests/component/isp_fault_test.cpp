// The ISP run against devices that misbehave, and against missing or bad images.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "Faults.h"
#include "isp_rig.h"

using fwtest::IspRig;

namespace {
// The closing report vela heard for a port: "-" none at all, "max" the highest
// of its progress reports again, else its percent.
std::string Closing(const IspRig& rig, const std::string& name) {
    std::vector<fwtest::Report> reps = rig.reportsFor(name);
    if (reps.empty()) return "-";
    int max = -1;
    for (size_t i = 0; i + 1 < reps.size(); i++) max = std::max(max, reps[i].percentValue());
    return reps.back().percentValue() == max ? "max" : reps.back().percent;
}
}  // namespace

// One walk over the EP (or BV) ports a row: a port closes with 100 only when its
// device took the whole image, 0 when nothing was written, nothing when passed over.
struct WalkRow {
    const char* legend;
    bool bv;
    std::function<void(IspRig&)> plant;
    const char* faults;
    std::vector<std::string> closing;  // per port
    std::vector<int> entries;          // per port
};

std::vector<WalkRow> WalkRows() {
    const std::string input = QX_EP_BASE_INPUT, out9162 = QX_EP_BASE_9162;
    auto damagedColon = [](std::string text) {
        size_t at = text.find("\n:", text.size() / 2);
        text[at + 1] = ';';
        return text;
    };
    return {
        {"EP: Input bank 0 invalid, EP9162SQ without images, EP91A6SQ devices silent (three runs of five entries)",
         false,
         [=](IspRig& rig) {
             rig.root.write(input + ".h00", ":00000001FF\n");
             rig.writeEp(QX_EP_BASE_91A6, fwtest::SampleEpBanks(1));
         },
         "ep13=silent,ep14=silent,ep15=silent,ep16=silent",
         {"0", "0", "0", "0", "0", "0", "0", "0", "-", "-", "-", "-", "-", "-", "-", "-"},
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 15, 15, 15, 15}},
        {"EP: Input bank 2 invalid, a damaged colon in EP9162SQ bank 1: no device entered",
         false,
         [=](IspRig& rig) {
             rig.writeEp(input, fwtest::SampleEpBanks(2));
             rig.root.write(input + ".h02", ":00000001FF\n");
             rig.writeEp(out9162, fwtest::SampleEpBanks(3));
             rig.root.write(out9162 + ".h01", damagedColon(sim::ImageToHex(fwtest::SampleEpBanks(3)[1])));
         },
         "",
         {"0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "0", "-", "-", "-", "-"},
         std::vector<int>(16, 0)},
        {"BV: BV.hex with a bad checksum: no device entered", true,
         [](IspRig& rig) { rig.root.write(QX_BV_HEX, ":0400000001020304F3\r\n:00000001FF\r\n"); }, "",
         std::vector<std::string>(8, "0"), std::vector<int>(8, 0)},
        // A silent BV device hears the entry text six times in its first
        // attempt and once in its second; the last port's first reset takes
        // the upgrade flag down and ends the walk.
        {"BV: a good device, silent ones, and one silent after two blocks",
         true,
         [](IspRig& rig) { rig.writeBv(fwtest::SampleBvImage(4)); },
         "bv2=silent,bv3=silent-after:2,bv4=silent,bv5=silent,bv6=silent,bv7=silent,bv8=silent",
         {"100", "0", "max", "0", "0", "0", "0", "0"},
         {1, 7, 7, 7, 7, 7, 7, 6}},
    };
}

void PrintTo(const WalkRow& r, std::ostream* os) { *os << r.legend; }

class IspWalk : public ::testing::TestWithParam<WalkRow> {};

TEST_P(IspWalk, ClosesEachPortWithWhatItReached) {
    const WalkRow& r = GetParam();
    IspRig rig;
    r.plant(rig);
    sim::FaultSet set;
    sim::DeviceFaults all;
    std::string err;
    ASSERT_TRUE(set.parse(r.faults, &err)) << err;
    set.apply(&all);
    for (unsigned p = 1; p <= QXIH_EP_PORTS; p++) rig.isp.ep(p).setFaults(all.ep[p - 1]);
    for (unsigned p = 1; p <= QXIH_BV_PORTS; p++) rig.isp.bv(p).setFaults(all.bv[p - 1]);
    // The walk's last pause lets vela take every report.
    if (r.bv)
        rig.task.Process4BVUpgrade();
    else
        rig.task.Process4EPUpgrade();
    for (unsigned p = 1; p <= r.closing.size(); p++) {
        std::string name = (r.bv ? "BV(" : "EpFile(") + std::to_string(p) + ")";
        EXPECT_EQ(Closing(rig, name), r.closing[p - 1]) << name;
        for (const fwtest::Report& rep : rig.reportsFor(name)) EXPECT_EQ(rep.current, std::to_string(p));
        EXPECT_EQ((r.bv ? rig.isp.bv(p) : rig.isp.ep(p)).entries(), r.entries[p - 1]) << name;
    }
    EXPECT_EQ(rig.task.m_u32Port, r.bv ? 9u : 17u);
    if (!r.bv) {
        EXPECT_EQ(rig.task.m_nepRetrynum, 0);
        EXPECT_EQ(rig.task.m_uptime4EP, 0);
    }
    // The last BV port's end takes the upgrade flag down, as ever.
    EXPECT_EQ(rig.task.GetUpgradeflg(), !r.bv);
}

INSTANTIATE_TEST_SUITE_P(Rows, IspWalk, ::testing::ValuesIn(WalkRows()), fwtest::LegendName());

// A bank file missing, bad or no regular file ends the run before the device is entered.
struct BankFileRow {
    const char* legend;
    std::function<void(IspRig&)> plant;
    int exists;
    std::string logged;
};

std::vector<BankFileRow> BankFileRows() {
    const std::string base = QX_EP_BASE_INPUT;
    auto writeBanks = [=](IspRig& rig, size_t n) {
        auto banks = fwtest::SampleEpBanks(3);
        banks.resize(n);
        rig.writeEp(base, banks);
    };
    return {
        {"bank 0 missing", [](IspRig&) {}, 0, base + ".h00] fail! fd is <-1>"},
        {"bank 0 overlong", [=](IspRig& rig) { rig.root.write(base + ".h00", std::string(QX_FILEBUF_LEN + 1, '\n')); },
         1, "######FileSize is <194561> > 190 * 1024, in ProcessMatrixMCUUpgradeReq."},
        {"bank 0 a FIFO: never waited on",
         [=](IspRig& rig) {
             rig.root.mkdirs(std::string(QX_UPDATE_DIR) + "Input");
             mkfifo(rig.root.file(base + ".h00").c_str(), 0600);
         },
         0, ".h00 is not a regular file"},
        {"bank 0 a link to a good file",
         [=](IspRig& rig) {
             writeBanks(rig, 3);
             rename(rig.root.file(base + ".h00").c_str(), rig.root.file("/good").c_str());
             symlink(rig.root.file("/good").c_str(), rig.root.file(base + ".h00").c_str());
         },
         0, ".h00 is not a regular file"},
        {"bank 1 missing: no new bank 0 over old banks", [=](IspRig& rig) { writeBanks(rig, 1); }, 1,
         ".h01] fail! fd is <-1>"},
        {"bank 2 not a valid image",
         [=](IspRig& rig) {
             writeBanks(rig, 2);
             rig.root.write(base + ".h02", ":00000001FF\n");
         },
         1, "######address overflow"},
        {"bank 1 with a record whose colon is damaged: refused, not passed over",
         [=](IspRig& rig) {
             writeBanks(rig, 3);
             std::string h01 = sim::ImageToHex(fwtest::SampleEpBanks(3)[1]);
             h01[h01.find("\n:") + 1] = '#';
             rig.root.write(base + ".h01", h01);
         },
         1, "where a record should start, file refused."},
    };
}

void PrintTo(const BankFileRow& r, std::ostream* os) { *os << r.legend; }

class IspBankFile : public ::testing::TestWithParam<BankFileRow> {};

TEST_P(IspBankFile, EndsTheRunBeforeEntry) {
    const BankFileRow& r = GetParam();
    IspRig rig;
    r.plant(rig);
    rig.select(4);
    EXPECT_EQ(rig.task.Run4EPUpgrade(), -2);
    EXPECT_EQ(rig.task.m_bFileExistFlg, r.exists);
    EXPECT_TRUE(rig.log.contains(r.logged)) << rig.log.text();
    EXPECT_EQ(rig.isp.ep(4).entries(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, IspBankFile, ::testing::ValuesIn(BankFileRows()), fwtest::LegendName());

// One device misbehaving: the run flashes the image, or gives the device up (-9)
// ready for the next port. FWAGENT_TEST_SCALE picks a wall clock's scale.
struct MisbehavingRow {
    const char* faults;
    int shift;  // the withheld block moves this far in every second attempt
    int32_t ret;
    int entries, blocks;
    const char* logged;  // shows the fault was met
};

void PrintTo(const MisbehavingRow& r, std::ostream* os) { *os << r.faults << (r.shift ? " shifted" : ""); }

class IspMisbehaving : public ::testing::TestWithParam<MisbehavingRow> {};

TEST_P(IspMisbehaving, FlashesOrGivesTheDeviceUp) {
    const MisbehavingRow& r = GetParam();
    sim::FaultSet set;
    sim::DeviceFaults all;
    std::string err;
    ASSERT_TRUE(set.parse(r.faults, &err)) << err;
    set.apply(&all);
    const unsigned port = set.items()[0].port;
    const bool bv = set.items()[0].target[0] == 'B';
    const char* scale = getenv("FWAGENT_TEST_SCALE");
    IspRig rig(scale ? atof(scale) : 0);
    auto banks = fwtest::SampleEpBanks(port);
    if (bv) banks = {fwtest::SampleBvImage(port)};
    sim::IspFaults faults = bv ? all.bv[port - 1] : all.ep[port - 1];
    faults.withholdZShift = r.shift;
    sim::IspDevice& dev = bv ? rig.isp.bv(port) : rig.isp.ep(port);
    dev.setFaults(faults);
    if (bv) rig.writeBv(banks[0]);
    if (!bv) rig.writeEp(IspEpBasePath(port), banks);
    rig.select(port, bv);
    EXPECT_EQ(rig.task.Run4EPUpgrade(), r.ret);
    for (unsigned b = 0; r.ret == 0 && b < banks.size(); b++) EXPECT_EQ(sim::IspVerifyBank(dev, b, banks[b]), "");
    if (sim::Virtual()) {
        EXPECT_EQ(dev.entries(), r.entries);
        EXPECT_EQ(dev.blocks(), r.blocks);
    }
    EXPECT_TRUE(rig.log.contains(r.logged));
    EXPECT_EQ(rig.task.m_nepRetrynum, r.ret ? 1 : 0);
    EXPECT_EQ(rig.task.m_u32State, (uint32_t)emMSGIdle);
}

// clang-format off
const MisbehavingRow kMisbehaving[] = {
    {"bv1=prompt-fe:1", 0, 0, 2, 72, "port[1] EP upgrade over!"},  // FE: the entry text again
    {"bv2=refuse-address:2", 0, 0, 1, 72, "######ChoiceFlashAddrRsp Receive Msg[0] is <0x3e> Error."},
    {"bv3=burst:2", 0, 0, 1, 72, "Check0x86Rsp Receive Msg is <0x0> Error."},  // 86 asked again
    // One withheld "Z" is six empty windows: the attempt ends. The count
    // survives the reset, so the second one ends the next attempt at once.
    {"ep5=withhold-ack:2", 0, 0, 3, 195, "######Write 512Bit is Error,and can't Receive 0x5A!."},
    {"ep9=silent-after:5", 0, -9, 5, 5, "######Write 512Bit is Error,and can't Receive 0x5A!."},
    {"bv2=withhold-ack-always:3", 0, -9, 6, 24, "######CheckPercent4EP fail\n"},
    {"bv3=withhold-ack-always:3", 6, -9, 10, 70, "###### port[3]: 10 attempts without finishing the device, given up"},
    {"ep3=noise", 0, -9, 5, 0, "######CheckPercent4EP fail"},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, IspMisbehaving, ::testing::ValuesIn(kMisbehaving),
                         [](const ::testing::TestParamInfo<MisbehavingRow>& i) {
                             return fwtest::TestName(i.param.faults) + (i.param.shift ? "_shifted" : "");
                         });
