// The ISP run against devices that misbehave, and against missing or bad images.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>

#include "isp_rig.h"

using fwtest::IspRig;

namespace {
// Time scale for runs that must sit out the 119 s stall rule.
constexpr double kStallScale = 0.005;

size_t Count(const std::vector<fwtest::Report>& reps, const std::string& name) {
    size_t n = 0;
    for (const fwtest::Report& r : reps) n += r.name == name;
    return n;
}
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
        rig.devices.ep(p).setFaults(f);
    }
    rig.task.Process4EPUpgrade();

    // Stalled ports run three times, then are passed over without a report.
    EXPECT_EQ(rig.log.count("######Run4EPUpgrade fail try again..."), 12u);
    EXPECT_EQ(rig.log.count("######Run4EPUpgrade fail try again.m_nepRetrynum[3]..."), 4u);
    EXPECT_EQ(rig.log.count("###### In UInt32 CTaskfile2mcu::CheckPercent4EP, timeout 120 ["), 12u);
    for (unsigned p = 13; p <= 16; p++) EXPECT_EQ(rig.devices.ep(p).entries(), 15) << "five entry requests per run";
    // The invalid image still counts as done and is reported; the missing one is not.
    EXPECT_EQ(rig.log.count("######TransformDataOfFile fail, s32Ret is <-1> in ProcessReadUpgradeFile."), 8u);
    ASSERT_TRUE(rig.vela.waitForCount(8, 5000));
    std::vector<fwtest::Report> reps = rig.vela.reports();
    EXPECT_EQ(reps.size(), 8u);
    for (unsigned p = 1; p <= 8; p++) {
        std::string name = "EpFile(" + std::to_string(p) + ")";
        ASSERT_EQ(Count(reps, name), 1u) << name;
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
        rig.selectEp(4);
        EXPECT_EQ(rig.task.Run4EPUpgrade(), -2) << r.legend;
        EXPECT_EQ(rig.task.m_bFileExistFlg, r.exists) << r.legend;
        EXPECT_TRUE(rig.log.contains(r.logged)) << r.legend << rig.log.text();
        EXPECT_EQ(rig.devices.ep(4).entries(), 0) << r.legend;
    }
}

TEST(IspFault, SixMissingZResetTheAttemptAndTheCountSurvivesTheReset) {
    IspRig rig;
    auto banks = fwtest::SampleEpBanks(21);
    rig.writeEp(QX_EP_BASE_INPUT, banks);
    sim::IspFaults f;
    f.missZFromBlock = 3;
    // One withheld "Z" is six empty windows: the first attempt ends. The count
    // survives the reset, so the second withheld one ends the next attempt at once.
    f.missZ = 2;
    rig.devices.ep(5).setFaults(f);
    rig.selectEp(5);
    EXPECT_EQ(rig.task.Run4EPUpgrade(), 0);
    // (At least: a late answer on a loaded machine may add an attempt.)
    EXPECT_GE(rig.log.count("######Write 512Bit is Error,and can't Receive 0x5A!."), 2u);
    EXPECT_GE(rig.devices.ep(5).entries(), 3);
    for (unsigned b = 0; b < 3; b++) EXPECT_EQ(sim::IspVerifyBank(rig.devices.ep(5), b, banks[b]), "") << b;
}

TEST(IspFault, RecoverableAnswersStillFlashTheImage) {
    struct Case {
        const char* legend;
        sim::IspFaults faults;
        const char* logged;
        size_t times;
        int entries;
    };
    sim::IspFaults fe, addr, burst;
    fe.promptFE = 1;
    addr.refuseAddress = 2;
    burst.burstBeforeBlock = 2;
    const Case cases[] = {
        {"prompt FE: the entry text again, no handshake byte after FE", fe, "CheckICPModle Receive Msg[0]", 0, 2},
        {"'>' to an address request: asked again", addr, "######ChoiceFlashAddrRsp Receive Msg[0] is <0x3e> Error.", 2,
         1},
        {"24 bytes in one window: discarded, 86 asked again", burst, "Check0x86Rsp Receive Msg is <0x0> Error.", 1, 1},
    };
    unsigned port = 1;
    for (const Case& c : cases) {
        IspRig rig;
        std::vector<uint8_t> image = sim::SampleImage(port, {{0x00, 0x87}});
        rig.writeBv(image);
        rig.devices.bv(port).setFaults(c.faults);
        rig.selectBv(port);
        EXPECT_EQ(rig.task.Run4EPUpgrade(), 0) << c.legend;
        EXPECT_EQ(sim::IspVerifyBank(rig.devices.bv(port), 0, image), "") << c.legend;
        if (c.times == 0)
            EXPECT_EQ(rig.log.count(c.logged), 0u) << c.legend;
        else
            EXPECT_GE(rig.log.count(c.logged), c.times) << c.legend;
        EXPECT_GE(rig.devices.bv(port).entries(), c.entries) << c.legend;
        port++;
    }
}

TEST(IspFault, DevicesThatNeverLetTheRunFinishAreGivenUpByTheStallRule) {
    sim::IspFaults silentMidway, withheld, alternate, noise;
    silentMidway.silentAfterBlock = 5;
    withheld.withholdZBlock = 3;  // every attempt gets as far as block 3, never further
    alternate = withheld;
    alternate.withholdZShift = 6;  // block 3, block 9, block 3...: the progress value keeps moving
    noise.noise = true;
    struct {
        const char* legend;
        bool bv;
        unsigned port;
        sim::IspFaults faults;
        int minBlocks, maxBlocks;
        const char* logged;
        double scale;
    } rows[] = {
        {"EP silent after five blocks", false, 9, silentMidway, 5, 5,
         "######Write 512Bit is Error,and can't Receive 0x5A!.", kStallScale},
        {"BV withholding one acknowledgement in every attempt", true, 2, withheld, 8, 1000,
         "######CheckPercent4EP fail\n", kStallScale},
        {"BV withholding one of two acknowledgements in turn", true, 3, alternate, 40, 1000,
         "###### port[3]: 10 attempts without finishing the device, given up", fwtest::kIspTimeScale},
        {"EP sending noise for ever", false, 3, noise, 0, 0, "######CheckPercent4EP fail", kStallScale},
    };
    for (const auto& r : rows) {
        IspRig rig(r.scale);
        rig.writeEp(IspEpBasePath(r.port), fwtest::SampleEpBanks(2));
        rig.writeBv(fwtest::SampleBvImage(3));
        sim::IspDevice& dev = r.bv ? rig.devices.bv(r.port) : rig.devices.ep(r.port);
        dev.setFaults(r.faults);
        if (r.bv)
            rig.selectBv(r.port);
        else
            rig.selectEp(r.port);
        EXPECT_EQ(rig.task.Run4EPUpgrade(), -9) << r.legend;
        EXPECT_GE(dev.blocks(), r.minBlocks) << r.legend;
        EXPECT_LE(dev.blocks(), r.maxBlocks) << r.legend;
        EXPECT_EQ(rig.task.m_nepRetrynum, 1) << r.legend;
        EXPECT_TRUE(rig.log.contains(r.logged)) << r.legend;
        EXPECT_EQ(rig.task.m_u32State, (uint32_t)emMSGIdle) << r.legend;
    }
}

TEST(IspFault, BvWithoutImageSetsTheSpeedOnceAndSendsNothing) {
    IspRig rig;
    // A recording stty first in PATH, handing on to the real one.
    std::string real;
    ASSERT_EQ(fwtest::RunCommand("command -v stty", &real), 0);
    real.erase(real.find_last_not_of("\n") + 1);
    std::string dir = rig.root.path() + "/bin";
    rig.root.write("/bin/stty", "#!/bin/sh\necho \"$@\" >> " + dir + "/stty.log\nexec " + real + " \"$@\"\n");
    chmod((dir + "/stty").c_str(), 0755);
    std::string oldPath = getenv("PATH");
    setenv("PATH", (dir + ":" + oldPath).c_str(), 1);
    EXPECT_EQ(rig.task.Process4BVUpgrade(), 0);
    setenv("PATH", oldPath.c_str(), 1);

    EXPECT_TRUE(rig.log.contains("###### No File to UpGrade BV..."));
    std::string calls = fwtest::ReadFile(dir + "/stty.log");
    EXPECT_EQ(std::count(calls.begin(), calls.end(), '\n'), 1) << calls;
    EXPECT_NE(calls.find("speed 57600"), std::string::npos);
    EXPECT_TRUE(rig.board.routerLog().empty());
    EXPECT_TRUE(rig.task.GetUpgradeflg());
    EXPECT_EQ(rig.task.m_bBVFlg, 1);
    EXPECT_EQ(rig.task.m_u32Port, 1u);
}
