// The scheduler thread on the emulated board: the Valens and package branches.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "QxLog.h"
#include "LabWorld.h"
#include "Package.h"
#include "testing.h"

using namespace fwtest;

namespace {

std::string SmallHex() {
    return ":020000040800F2\r\n:0400000001020304F2\r\n:00000001FF\r\n";
}

// The lab's rig on virtual time; the scheduler opens the task's port itself.
struct SchedRig : sim::LabWorld {
    explicit SchedRig(sim::ValensOptions vo = {}, sim::BootloaderOptions master = {})
        : LabWorld(sim::LabOptions{0, master, {}, vo, false}) {
        if (!ready()) throw std::runtime_error("the board could not be set up");
    }
    ~SchedRig() {
        if (thread.joinable()) {
            // A scheduler still polling: a package order with nothing staged ends it.
            task.SetUpgradeflg(true);
            sim::JoinThread(thread);
        }
    }
    void start() {
        thread = sim::StartThread("scheduler", [this] { result = task.WaitForRead(); });
    }
    // A package order: the scheduler runs until the package branch ends.
    void runPackage() {
        task.SetUpgradeflg(true);
        start();
        sim::JoinThread(thread);
    }
    void stageValens(const std::string& image) {
        root.write(QX_VALENS_TX_HEX, image);
        task.SetValensUpFlg(1);
    }

    // The scheduler's own reports (plain percent 0 or 100) as name:percent:isEnd.
    std::vector<std::string> plainReports() const {
        std::vector<std::string> out;
        for (const auto& r : vela.reports())
            if (r.percent == "0" || r.percent == "100") out.push_back(r.name + ":" + r.percent + ":" + r.isEnd);
        return out;
    }

    std::thread thread;
    int result = -99;
    LogCapture log{true};
};

}  // namespace

TEST(Scheduler, BothFlagsAtOnePollRunValensFirstThenThePackage) {
    SchedRig rig;
    std::string image = RandomBytes(5000, 21);
    rig.stageValens(image);
    rig.root.write(QX_MASTER_HEX, SmallHex());
    rig.root.write(QX_IOMCU_HEX, SmallHex());
    rig.runPackage();
    EXPECT_EQ(rig.result, 0);
    EXPECT_EQ(rig.valens.record().file, image);
    EXPECT_TRUE(rig.master.record().imageComplete);
    EXPECT_TRUE(rig.io.record().imageComplete) << rig.io.record().error;
    auto got = rig.vela.datagrams();
    EXPECT_EQ(rig.plainReports(), (std::vector<std::string>{"VALENS:100:1", "ST:100:0", "IoMcu:100:1"}));
    // The master's closing report as vela reads it: 86 characters in a 94-byte datagram.
    const std::string st =
        "set upgradestatus{\"name\":\"ST\",\"total\":\"26\",\"current\":\"17\",\"percent\":\"100\","
        "\"isEnd\":\"0\"}";
    auto it = std::find_if(got.begin(), got.end(), [&](const Datagram& d) { return d.payload() == st; });
    ASSERT_NE(it, got.end());
    EXPECT_EQ(it->type(), 252u);
    EXPECT_EQ(it->len(), 94u);
    EXPECT_EQ(it->bytes.size(), 94u);
    // Board order: the chip, its reset, the master, the IO MCU, the last reset.
    std::vector<std::string> holders;
    for (const auto& e : rig.board.routerLog())
        if (e.rfind("-> ", 0) == 0 || e == "UPG RST") holders.push_back(e);
    EXPECT_EQ(holders, (std::vector<std::string>{"-> valens", "UPG RST", "-> master", "-> iomcu", "UPG RST"}));
    EXPECT_EQ(rig.reboot.count(), 1);
    EXPECT_FALSE(rig.root.exists(QX_VALENS_DIR));
    EXPECT_FALSE(rig.root.exists(QX_UPDATE_DIR));
}

// Success, a refusing chip and endless requests are also fault-table rows.
struct ValensRow {
    const char* legend;
    sim::ValensOptions::Verdict verdict;
    std::string isEnd;
    bool linked;  // valens/ is a link to another directory: removed, never followed
};
void PrintTo(const ValensRow& r, std::ostream* os) { *os << r.legend; }
class ValensBranch : public ::testing::TestWithParam<ValensRow> {};

TEST_P(ValensBranch, CleansUpReportsAndSwitchesTheSerialLine) {
    const ValensRow& r = GetParam();
    sim::ValensOptions vo;
    vo.verdict = r.verdict;
    SchedRig rig(vo);
    if (r.linked) {
        rig.root.write("/other/keep", "k");
        symlink(rig.root.file("/other").c_str(), rig.root.file("/home/ubuntu/valens").c_str());
    }
    rig.stageValens(RandomBytes(2000, 3));
    rig.start();
    rig.vela.waitUntil([](const std::vector<Datagram>& got) { return !got.empty() && got.back().type() == 400; });
    auto got = rig.vela.datagrams();
    ASSERT_GE(got.size(), 2u);
    const Datagram& rep = got[got.size() - 2];
    const Datagram& sw = got.back();
    Report report;
    ASSERT_TRUE(ParseReport(rep.payload(), &report));
    EXPECT_EQ(report.name + report.total + report.current + ":" + report.isEnd, "VALENS11:" + r.isEnd);
    EXPECT_EQ(sw.payload(), "switch serial");
    EXPECT_FALSE(rig.root.exists(QX_VALENS_DIR));
    EXPECT_EQ(rig.root.exists("/other/keep"), r.linked);
    EXPECT_EQ(rig.board.resets(), 1);
    EXPECT_EQ(rig.board.holder(), "");  // the reset took the line from the chip
    // Back to polling with the flags cleared, no reboot.
    EXPECT_TRUE(WaitFor([&] { return rig.task.GetValensUpFlg() == 0; }, 1000));
    EXPECT_EQ(rig.reboot.count(), 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, ValensBranch,
                         ::testing::ValuesIn(std::vector<ValensRow>{
                             {"failure", sim::ValensOptions::Fail, "-1", false},
                             {"valens a link", sim::ValensOptions::Auto, "1", true}}),
                         LegendName());

// Board time to the BV walk: 10 s after the master's closing report, else the
// EP walk's 1 s pause.
struct PauseRow {
    const char* legend;
    bool master;
    const char* from;
    int ms;
};
void PrintTo(const PauseRow& r, std::ostream* os) { *os << r.legend; }
class MasterPause : public ::testing::TestWithParam<PauseRow> {};

TEST_P(MasterPause, TenSecondsAfterTheMasterAndNoneWithoutItsImage) {
    const PauseRow& r = GetParam();
    SchedRig rig;
    rig.root.mkdirs(QX_UPDATE_DIR);
    if (r.master) rig.root.write(QX_MASTER_HEX, SmallHex());
    rig.runPackage();
    EXPECT_EQ(rig.reboot.count(), 1);
    std::string text = rig.log.text();
    EXPECT_EQ(text.find(r.from, text.rfind("EP upgrade over!")) + strlen(r.from) + 1,
              text.find("###### No File to UpGrade BV"));  // nothing logged between
    EXPECT_EQ(rig.log.at("###### No File to UpGrade BV") - rig.log.at(r.from, true), std::chrono::milliseconds(r.ms));
    EXPECT_EQ(rig.master.record().attaches, r.master ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MasterPause,
    ::testing::ValuesIn(std::vector<PauseRow>{
        {"no MASTER hex", false, "EP upgrade over!  m_s8RevTimeoutNum[0]", 1000},
        {"with MASTER hex", true, R"("name":"ST","total":"26","current":"17","percent":"100","isEnd":"0"}] [94] )", 10000}}),
    LegendName());

// Each push target and each BV port is closed with the percent it reached:
// 100 only when flashed, 0 for an image refused before anything was written.
struct RefusedRow {
    const char* legend;
    std::string master, ioMcu, bv;  // "fifo": a FIFO in its place; "": none
    bool linkedDir;                 // the staging directory is a link to another directory
    bool silentMaster;
    std::vector<std::string> reports;  // the plain ones: name:percent:isEnd
    int masterAttaches, ioAttaches;
    size_t refusals;  // "######" lines of images refused or not regular
};
void PrintTo(const RefusedRow& r, std::ostream* os) { *os << r.legend; }
class RefusedImages : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(RefusedImages, AreReportedAsTheyEndedAndVelaStillHearsTheEnd) {
    const RefusedRow& r = GetParam();
    sim::BootloaderOptions masterOpt;
    masterOpt.silent = r.silentMaster;
    SchedRig rig({}, masterOpt);
    if (!r.ioMcu.empty()) rig.root.write(QX_IOMCU_HEX, r.ioMcu);
    if (!r.bv.empty()) rig.root.write(QX_BV_HEX, r.bv);
    rig.root.mkdirs(QX_UPDATE_DIR);
    if (r.master == "fifo") mkfifo(rig.root.file(QX_MASTER_HEX).c_str(), 0600);
    if (r.master != "fifo") rig.root.write(QX_MASTER_HEX, r.master);
    if (r.linkedDir) {
        std::string dir = rig.root.file(QX_UPDATE_DIR);
        dir.pop_back();
        rename(dir.c_str(), rig.root.file("/other").c_str());
        symlink(rig.root.file("/other").c_str(), dir.c_str());
    }
    rig.runPackage();
    EXPECT_EQ(rig.plainReports(), r.reports);
    EXPECT_EQ(rig.master.record().attaches, r.masterAttaches);
    EXPECT_EQ(rig.io.record().attaches, r.ioAttaches);
    for (int p = 1; p <= 8 && !r.bv.empty(); p++) EXPECT_EQ(rig.isp.bv(p).entries(), 0);
    EXPECT_EQ(rig.log.count("refused, nothing sent") + rig.log.count("is not a regular file"), r.refusals);
    EXPECT_EQ(rig.root.exists("/other/IOMCU.hex"), r.linkedDir);
    EXPECT_EQ(rig.reboot.count(), 1);
}

std::vector<RefusedRow> RefusedRows() {
    const std::string bad = ":0400000001020304F3\r\n:00000001FF\r\n";  // checksum off by one
    std::vector<std::string> bvRefused = {"ST:100:0"};
    for (int p = 1; p <= 8; p++) bvRefused.push_back("BV(" + std::to_string(p) + "):0:0");
    bvRefused.push_back("IoMcu:100:1");
    return {
        {"bad checksum in the master image", bad, SmallHex(), "", false, false, {"ST:0:0", "IoMcu:100:1"}, 0, 1, 1},
        {"a record after the IO MCU image's end", SmallHex(), SmallHex() + SmallHex(), "", false, false,
         {"ST:100:0", "IoMcu:0:1"}, 1, 0, 1},
        {"master a FIFO, never waited on; the linked directory removed, never followed", "fifo", SmallHex(), "",
         true, false, {"IoMcu:100:1"}, 0, 1, 1},
        {"BV.hex with a bad checksum: every BV port hears 0", SmallHex(), SmallHex(), bad, false, false, bvRefused,
         1, 1, 0},
        {"the master boot loader never ready: ST hears 0", SmallHex(), "", "", false, true, {"ST:0:0"}, 1, 0, 0},
    };
}
INSTANTIATE_TEST_SUITE_P(Rows, RefusedImages, ::testing::ValuesIn(RefusedRows()), LegendName());

// A reboot that fails is recorded and the agent takes orders again; a second
// package order while one runs is refused and changes nothing on disk or line.
TEST(Scheduler, AFailedRebootIsRecordedAndASecondOrderMidRunChangesNothing) {
    SchedRig rig;
    auto stage = [&](const std::string& master) {
        sim::PackageImages images;
        images.master = master;
        std::string err;
        ASSERT_TRUE(sim::BuildPackage(rig.root.file(QX_TXMCU_UPDATE_FILE_PATH), images, &err)) << err;
    };
    const std::string first = SmallHex(), second = ":0400000005060708E2\r\n:00000001FF\r\n";
    stage(first);
    ASSERT_EQ(rig.host.Task_UpdateFile_Path("first-order"), 0);
    rig.reboot.exitWith(1);
    rig.start();
    // While the master is being flashed, vela sends the second package.
    ASSERT_TRUE(WaitFor([&] { return rig.master.record().attaches > 0; }));
    stage(second);
    rig.log.clear();
    EXPECT_EQ(rig.host.Task_UpdateFile_Path("second-order"), -1);
    EXPECT_TRUE(rig.log.contains("###### package order refused: a package upgrade is staged or running"));
    ASSERT_TRUE(rig.reboot.waitForRun());
    ASSERT_TRUE(WaitFor([&] { return !rig.task.m_bPackageRun.load(); }));
    EXPECT_EQ(rig.master.record().hexText, first);
    std::string record = rig.root.read(QX_LAST_RUN);
    for (const char* line : {"order_id=first-order\n", "phase=reboot-failed\n", "target.MASTER=flashed\n",
                             "target.EP1=no-image\n", "verdict=success\n"})
        EXPECT_NE(record.find(line), std::string::npos) << line << record;
    EXPECT_TRUE(rig.log.contains("###### reboot failed"));
    // Served again: the second package now goes through, and this reboot works.
    rig.reboot.exitWith(0);
    ASSERT_EQ(rig.host.Task_UpdateFile_Path("second-order"), 0);
    sim::JoinThread(rig.thread);
    EXPECT_EQ(rig.master.record().hexText, second);
    EXPECT_EQ(rig.reboot.count(), 2);
    EXPECT_NE(rig.root.read(QX_LAST_RUN).find("order_id=second-order\n"), std::string::npos);
}
