// The ISP run against devices that misbehave, and against missing or bad images.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "Faults.h"
#include "isp_rig.h"

using fwtest::IspRig;

namespace {
// Time scale for runs that must sit out the 119 s stall rule.
constexpr double kStallScale = 0.005;

}  // namespace

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

// One walk over the EP (or BV) ports a row: the port's closing report says 100
// only when the device took the whole image; otherwise the percent it reached,
// 0 when nothing was written. A refused image is never written: its ports hear
// 0. A missing image, and an EP port passed over after its stalls, hear nothing.
TEST(IspFault, WalksCloseEachPortWithWhatItReached) {
    const std::string input = QX_EP_BASE_INPUT, out9162 = QX_EP_BASE_9162;
    auto damagedColon = [](std::string text) {
        size_t at = text.find("\n:", text.size() / 2);
        text[at + 1] = ';';
        return text;
    };
    struct {
        const char* legend;
        bool bv;
        std::function<void(IspRig&)> plant;
        const char* faults;
        std::vector<std::string> closing;  // per port
        std::vector<int> entries;          // per port; -1: any
    } rows[] = {
        {"EP: Input bank 0 invalid, EP9162SQ without images, EP91A6SQ devices silent (three runs of five entries)",
         false,
         [&](IspRig& rig) {
             rig.root.write(input + ".h00", ":00000001FF\n");
             rig.writeEp(QX_EP_BASE_91A6, fwtest::SampleEpBanks(1));
         },
         "ep13=silent,ep14=silent,ep15=silent,ep16=silent",
         {"0", "0", "0", "0", "0", "0", "0", "0", "-", "-", "-", "-", "-", "-", "-", "-"},
         {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 15, 15, 15, 15}},
        {"EP: Input bank 2 invalid, a damaged colon in EP9162SQ bank 1: no device entered",
         false,
         [&](IspRig& rig) {
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
        {"BV: a good device, silent ones, and one silent after two blocks",
         true,
         [](IspRig& rig) { rig.writeBv(fwtest::SampleBvImage(4)); },
         "bv2=silent,bv3=silent-after:2,bv4=silent,bv5=silent,bv6=silent,bv7=silent,bv8=silent",
         {"100", "0", "max", "0", "0", "0", "0", "0"},
         {1, -1, -1, -1, -1, -1, -1, -1}},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.legend);
        IspRig rig(kStallScale);
        r.plant(rig);
        sim::FaultSet set;
        sim::DeviceFaults all;
        std::string err;
        ASSERT_TRUE(set.parse(r.faults, &err)) << err;
        set.apply(&all);
        for (unsigned p = 1; p <= QXIH_EP_PORTS; p++) rig.isp.ep(p).setFaults(all.ep[p - 1]);
        for (unsigned p = 1; p <= QXIH_BV_PORTS; p++) rig.isp.bv(p).setFaults(all.bv[p - 1]);
        if (r.bv)
            rig.task.Process4BVUpgrade();
        else
            rig.task.Process4EPUpgrade();
        size_t closings = (size_t)std::count_if(r.closing.begin(), r.closing.end(), [](auto& c) { return c != "-"; });
        ASSERT_TRUE(rig.vela.waitForCount(closings, 5000));
        std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more should come
        for (unsigned p = 1; p <= r.closing.size(); p++) {
            std::string name = (r.bv ? "BV(" : "EpFile(") + std::to_string(p) + ")";
            EXPECT_EQ(Closing(rig, name), r.closing[p - 1]) << name;
            for (const fwtest::Report& rep : rig.reportsFor(name)) EXPECT_EQ(rep.current, std::to_string(p));
            sim::IspDevice& dev = r.bv ? rig.isp.bv(p) : rig.isp.ep(p);
            if (r.entries[p - 1] >= 0) {
                EXPECT_EQ(dev.entries(), r.entries[p - 1]) << name;
            }
        }
        EXPECT_EQ(rig.task.m_u32Port, r.bv ? 9u : 17u);
        if (!r.bv) {
            EXPECT_EQ(rig.task.m_nepRetrynum, 0);
            EXPECT_EQ(rig.task.m_uptime4EP, 0);
        }
        // The last BV port's end takes the upgrade flag down, as ever.
        EXPECT_EQ(rig.task.GetUpgradeflg(), !r.bv);
    }
}

TEST(IspFault, AnyBankFileMissingBadOrNoRegularFileEndsTheRunBeforeEntry) {
    const std::string base = QX_EP_BASE_INPUT;
    auto writeBanks = [&](IspRig& rig, size_t n) {
        auto banks = fwtest::SampleEpBanks(3);
        banks.resize(n);
        rig.writeEp(base, banks);
    };
    struct {
        const char* legend;
        std::function<void(IspRig&)> plant;
        int exists;
        std::string logged;
    } rows[] = {
        {"bank 0 missing", [](IspRig&) {}, 0, base + ".h00] fail! fd is <-1>"},
        {"bank 0 overlong", [&](IspRig& rig) { rig.root.write(base + ".h00", std::string(QX_FILEBUF_LEN + 1, '\n')); },
         1, "######FileSize is <194561> > 190 * 1024, in ProcessMatrixMCUUpgradeReq."},
        {"bank 0 a FIFO: never waited on",
         [&](IspRig& rig) {
             rig.root.mkdirs(std::string(QX_UPDATE_DIR) + "Input");
             mkfifo(rig.root.file(base + ".h00").c_str(), 0600);
         },
         0, ".h00 is not a regular file"},
        {"bank 0 a link to a good file",
         [&](IspRig& rig) {
             writeBanks(rig, 3);
             rename(rig.root.file(base + ".h00").c_str(), rig.root.file("/good").c_str());
             symlink(rig.root.file("/good").c_str(), rig.root.file(base + ".h00").c_str());
         },
         0, ".h00 is not a regular file"},
        {"bank 1 missing: no new bank 0 over old banks", [&](IspRig& rig) { writeBanks(rig, 1); }, 1,
         ".h01] fail! fd is <-1>"},
        {"bank 2 not a valid image",
         [&](IspRig& rig) {
             writeBanks(rig, 2);
             rig.root.write(base + ".h02", ":00000001FF\n");
         },
         1, "######address overflow"},
        {"bank 1 with a record whose colon is damaged: refused, not passed over",
         [&](IspRig& rig) {
             writeBanks(rig, 3);
             std::string h01 = sim::ImageToHex(fwtest::SampleEpBanks(3)[1]);
             h01[h01.find("\n:") + 1] = '#';
             rig.root.write(base + ".h01", h01);
         },
         1, "where a record should start, file refused."},
    };
    for (const auto& r : rows) {
        IspRig rig;
        r.plant(rig);
        rig.select(4);
        EXPECT_EQ(rig.task.Run4EPUpgrade(), -2) << r.legend;
        EXPECT_EQ(rig.task.m_bFileExistFlg, r.exists) << r.legend;
        EXPECT_TRUE(rig.log.contains(r.logged)) << r.legend << rig.log.text();
        EXPECT_EQ(rig.isp.ep(4).entries(), 0) << r.legend;
    }
}

// One device misbehaving on one port's run, its fault named as fwtool
// simulate takes it: the run still flashes the image, or the stall rule gives
// the device up (-9) and leaves the task ready for the next port.
TEST(IspFault, MisbehavingDevices) {
    const double normal = fwtest::kIspTimeScale;
    struct {
        const char* faults;
        int shift;  // the withheld block moves this far in every second attempt
        double scale;
        int32_t ret;
        int minEntries, minBlocks, maxBlocks;
        const char* logged;  // shows the fault was met
    } rows[] = {
        {"bv1=prompt-fe:1", 0, normal, 0, 2, 0, 999, "port[1] EP upgrade over!"},  // FE: the entry text again
        {"bv2=refuse-address:2", 0, normal, 0, 1, 0, 999, "######ChoiceFlashAddrRsp Receive Msg[0] is <0x3e> Error."},
        {"bv3=burst:2", 0, normal, 0, 1, 0, 999, "Check0x86Rsp Receive Msg is <0x0> Error."},  // 86 asked again
        // One withheld "Z" is six empty windows: the attempt ends. The count
        // survives the reset, so the second one ends the next attempt at once.
        {"ep5=withhold-ack:2", 0, normal, 0, 3, 0, 999, "######Write 512Bit is Error,and can't Receive 0x5A!."},
        {"ep9=silent-after:5", 0, kStallScale, -9, 0, 5, 5, "######Write 512Bit is Error,and can't Receive 0x5A!."},
        {"bv2=withhold-ack-always:3", 0, kStallScale, -9, 0, 8, 999, "######CheckPercent4EP fail\n"},
        {"bv3=withhold-ack-always:3", 6, normal, -9, 0, 40, 999,
         "###### port[3]: 10 attempts without finishing the device, given up"},
        {"ep3=noise", 0, kStallScale, -9, 0, 0, 0, "######CheckPercent4EP fail"},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.faults);
        sim::FaultSet set;
        sim::DeviceFaults all;
        std::string err;
        ASSERT_TRUE(set.parse(r.faults, &err)) << err;
        set.apply(&all);
        const unsigned port = set.items()[0].port;
        const bool bv = set.items()[0].target[0] == 'B';
        IspRig rig(r.scale);
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
        EXPECT_GE(dev.entries(), r.minEntries);
        EXPECT_GE(dev.blocks(), r.minBlocks);
        EXPECT_LE(dev.blocks(), r.maxBlocks);
        EXPECT_TRUE(rig.log.contains(r.logged));
        EXPECT_EQ(rig.task.m_nepRetrynum, r.ret ? 1 : 0);
        EXPECT_EQ(rig.task.m_u32State, (uint32_t)emMSGIdle);
    }
}
