// Staging of real tar.gz update packages built in the test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "testing.h"

using namespace fwtest;

namespace {

const std::string kEp91 = "/home/ubuntu/McuUpdate/EP91A6SQ/HV4412-7730-K28-OutputMcu-EP91A6SQ";
const std::string kEp62 = "/home/ubuntu/McuUpdate/EP9162SQ/HV4412-7730-K28-OutputMcu-EP9162SQ";
const std::string kEpIn = "/home/ubuntu/McuUpdate/Input/HV4412-7730-K28-InputMcu";

class Staging : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(BoardProfile_Set(TestProfile(root, vela, reboot)), 0);
        g_pTaskUP4mcu = new CTaskfile2mcu();
        g_pudp4vela = new CUdpListen2vela();  // not started: the handlers are called directly
    }
    void TearDown() override {
        delete g_pudp4vela;
        g_pudp4vela = nullptr;
        delete g_pTaskUP4mcu;
        g_pTaskUP4mcu = nullptr;
    }
    // Packs files (paths relative to the package's top directory "McuUpdate") as vela uploads them.
    void Package(const std::vector<std::pair<std::string, std::string>>& files) {
        std::string src = root.path() + "/src";
        for (const auto& f : files) WriteFile(src + "/McuUpdate/" + f.first, f.second);
        std::string out;
        ASSERT_EQ(RunCommand("tar -czf " + root.file("/home/ubuntu/McuUpdate.tar.gz") + " -C " + src +
                                 " McuUpdate",
                             &out),
                  0)
            << out;
        RemoveTree(src);
    }
    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot{root};
    LogCapture log{true};
};

TEST_F(Staging, EveryReleaseFileLandsOnItsFixedName) {
    Package({{"HV4412-7730-K28-Master-V2.3.1.hex", "master"},
             {"HV4412-7730-K28-IOMCU-V1.0.hex", "iomcu"},
             {"E7-BV-V5.hex", "bv"},
             {"version.json", "{\"v\":1}"},
             {"EP91A6SQ/HV4412-7730-K28-OutputMcu-EP91A6SQ-V1.4.h00", "91-0"},
             {"EP91A6SQ/HV4412-7730-K28-OutputMcu-EP91A6SQ-V1.4.h01", "91-1"},
             {"EP91A6SQ/HV4412-7730-K28-OutputMcu-EP91A6SQ-V1.4.h02", "91-2"},
             {"EP9162SQ/HV4412-7730-K28-OutputMcu-EP9162SQ-V1.4.h00", "62-0"},
             {"EP9162SQ/HV4412-7730-K28-OutputMcu-EP9162SQ-V7h01", "62-1"},  // no dot before the bank
             {"EP9162SQ/HV4412-7730-K28-OutputMcu-EP9162SQ-V1.4.h02", "62-2"},
             {"Input/HV4412-7730-K28-InputMcu-V3.0.h00", "in-0"},
             {"Input/HV4412-7730-K28-InputMcu-V3.0.h01", "in-1"},
             {"Input/HV4412-7730-K28-InputMcu-V3.0.h02", "in-2"}});
    // The flag is raised only after the last command: whoever sees it sees every file.
    std::atomic<bool> stop{false}, sawFlag{false}, allThere{false};
    std::thread watcher([&] {
        // Runs until it has seen the flag (it stays set), or staging failed.
        while (!stop || g_pTaskUP4mcu->GetUpgradeflg()) {
            if (g_pTaskUP4mcu->GetUpgradeflg()) {
                sawFlag = true;
                allThere = root.exists(kEpIn + ".h02") && root.exists(kEp91 + ".h00") &&
                           root.exists("/home/ubuntu/McuUpdate/MASTER.hex");
                return;
            }
        }
    });
    g_pudp4vela->Task_UpdateFile_Path();
    stop = true;
    watcher.join();
    EXPECT_TRUE(sawFlag);
    EXPECT_TRUE(allThere);

    EXPECT_EQ(root.read("/home/ubuntu/McuUpdate/MASTER.hex"), "master");
    EXPECT_EQ(root.read("/home/ubuntu/McuUpdate/IOMCU.hex"), "iomcu");
    EXPECT_EQ(root.read("/home/ubuntu/McuUpdate/BV.hex"), "bv");
    EXPECT_EQ(root.read("/home/ubuntu/version.json"), "{\"v\":1}");
    EXPECT_FALSE(root.exists("/home/ubuntu/McuUpdate/version.json"));
    const std::pair<std::string, std::string> eps[] = {{kEp91, "91"}, {kEp62, "62"}, {kEpIn, "in"}};
    for (const auto& ep : eps) {
        for (int bank = 0; bank < 3; bank++) {
            std::string name = ep.first + ".h0" + std::to_string(bank);
            EXPECT_EQ(root.read(name), ep.second + "-" + std::to_string(bank)) << name;
        }
    }
    EXPECT_TRUE(log.contains("cmdBuffer is [tar -zxvf " + root.file("/home/ubuntu/McuUpdate.tar.gz") + " -C " +
                             root.file("/home/ubuntu") + " > " + root.path() + "/tar.log 2>&1] nret[0]"));
    // The unpacking log stays inside the root.
    EXPECT_NE(root.read("/tar.log").find("McuUpdate/"), std::string::npos);
    EXPECT_TRUE(g_pTaskUP4mcu->GetUpgradeflg());
}

TEST_F(Staging, PackageWithOnlyAMasterImageStillRaisesTheFlag) {
    Package({{"HV4412-7730-K28-Master-V1.hex", "m"}});
    g_pudp4vela->Task_UpdateFile_Path();
    EXPECT_TRUE(root.exists("/home/ubuntu/McuUpdate/MASTER.hex"));
    EXPECT_FALSE(root.exists("/home/ubuntu/McuUpdate/IOMCU.hex"));
    EXPECT_TRUE(g_pTaskUP4mcu->GetUpgradeflg());
    // Orders before the task object exists touch no task object.
    Package({{"HV4412-7730-K28-Master-V2.hex", "m2"}});
    root.write("/home/ubuntu/valens/VSTX.hex", "x");
    delete g_pTaskUP4mcu;
    g_pTaskUP4mcu = nullptr;
    g_pudp4vela->Task_UpdateFile_Path();
    g_pudp4vela->Task_Valens_UpdateFile_Path("TX");
    EXPECT_EQ(root.read("/home/ubuntu/McuUpdate/MASTER.hex"), "m2");
}

TEST_F(Staging, MissingPackageRunsNothingACorruptOneShowsTarsStatus) {
    g_pudp4vela->Task_UpdateFile_Path();
    EXPECT_TRUE(log.contains("###### access QX_TXMCU_UPDATE_FILE_PATH is Failed"));
    EXPECT_FALSE(log.contains("cmdBuffer is"));
    EXPECT_FALSE(g_pTaskUP4mcu->GetUpgradeflg());
    EXPECT_FALSE(root.exists("/tar.log"));

    root.write("/home/ubuntu/McuUpdate.tar.gz", "this is no gzip data");
    g_pudp4vela->Task_UpdateFile_Path();
    EXPECT_TRUE(log.contains("cmdBuffer is [tar -zxvf"));
    EXPECT_FALSE(log.contains("] nret[0]"));
    // As on the board, the flag is still raised; the procedures find no images.
    EXPECT_TRUE(g_pTaskUP4mcu->GetUpgradeflg());
    EXPECT_FALSE(root.exists("/home/ubuntu/McuUpdate/MASTER.hex"));
}

}  // namespace
