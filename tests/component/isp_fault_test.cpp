// The ISP run against devices that misbehave, and against missing or bad images.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "Faults.h"
#include "isp_rig.h"

using fwtest::IspRig;

namespace {
// Time scale for runs that must sit out the 119 s stall rule.
constexpr double kStallScale = 0.005;

}  // namespace

TEST(IspFault, FamiliesWithoutImagesSilentOrBadImagesAreHandledPortByPort) {
    IspRig rig(kStallScale);
    // Input: an invalid bank-0 file (ports 1-8); EP9162SQ: no files (ports 9-12);
    // EP91A6SQ: good files, but devices that never answer (ports 13-16).
    rig.root.write(std::string(QX_EP_BASE_INPUT) + ".h00", ":00000001FF\n");
    rig.writeEp(QX_EP_BASE_91A6, fwtest::SampleEpBanks(1));
    for (unsigned p = 13; p <= 16; p++) {
        sim::IspFaults f;
        f.silent = true;
        rig.isp.ep(p).setFaults(f);
    }
    rig.task.Process4EPUpgrade();

    // Stalled ports run three times (five entry requests each), then are passed
    // over without a report. The invalid image still counts as done and is
    // reported; the missing one is not.
    for (unsigned p = 13; p <= 16; p++) EXPECT_EQ(rig.isp.ep(p).entries(), 15) << p;
    ASSERT_TRUE(rig.vela.waitForCount(8, 5000));
    std::vector<fwtest::Report> reps = rig.vela.reports();
    EXPECT_EQ(reps.size(), 8u);
    for (unsigned p = 1; p <= 8; p++) {
        EXPECT_EQ(reps[p - 1].name, "EpFile(" + std::to_string(p) + ")");
        EXPECT_EQ(reps[p - 1].percent, "100");
        EXPECT_EQ(reps[p - 1].current, std::to_string(p));
    }
    EXPECT_EQ(rig.task.m_u32Port, 17u);
    EXPECT_EQ(rig.task.m_nepRetrynum, 0);
    EXPECT_EQ(rig.task.m_uptime4EP, 0);
    EXPECT_TRUE(rig.task.GetUpgradeflg());
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
             rig.root.mkdirs("/home/ubuntu/McuUpdate/Input");
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
