// The matrix-mcu update module, driven state by state as the Mender client
// drives it, on a temp board tree (MATRIX_MCU_TEST_ROOT) in a private network
// namespace where the order port is free. The result record is written with
// the agent's own code. Runs as root (the namespace).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "HexWriter.h"
#include "Package.h"
#include "RunRecord.h"
#include "testing.h"

using namespace fwtest;

namespace {

const std::string kModule = std::string(FWAGENT_SOURCE_DIR) + "/packaging/mender/matrix-mcu";
const std::string kNewBoot = "6b0e5f3c-0000-4000-8000-000000000002";

enum Payload { kPackage, kLinkMember, kOutside, kDotDot, kCut, kTooMany, kTwoFiles };
enum Board { kIdle, kRunningThisBoot, kRunningEarlierBoot, kPackagePathIsLink };
// What happens on the board before a step (the agent's part is written with its own record code).
enum Before {
    kNothing,
    kReboot,             // a new boot id
    kDone,               // our order: MASTER and IOMCU flashed, the rest no image; phase=rebooting
    kDoneFailed,         // our order: EP1 flashed, MASTER no-answer; phase=rebooting
    kCutAtMaster,        // our order cut off at MASTER: phase=interrupted
    kOtherOrder,         // an order of vela's, done
    kOtherPackage,       // our order id, another package's hash
    kValensOrder,        // a Valens order after ours
    kNewUpload,          // vela uploads a new package over ours
    kAgentRefuses,       // ArtifactReboot: the agent takes the order and refuses the package
    kAgentCutsAtMaster,  // ArtifactReboot: the agent takes the order, flashes EP1, is cut off at MASTER
};

struct Step {
    Before before;
    const char* state;
    int rc;
    std::vector<std::string> says, never;
};

struct ModuleCase {
    const char* name;
    Payload payload;
    bool listening;  // the order port is bound
    Board board;
    std::vector<Step> steps;
    bool packagePlaced;  // the package path holds the payload at the end
};

// clang-format off
const ModuleCase kCases[] = {
    {"Answers", kPackage, true, kIdle, {
        {kNothing, "SupportsRollback", 0, {"Yes"}, {}},
        {kNothing, "NeedsArtifactReboot", 0, {"Yes"}, {}},
        {kNothing, "Download", 0, {}, {"matrix-mcu"}},
        {kNothing, "ArtifactRollbackReboot", 0, {}, {"matrix-mcu"}},
        {kNothing, "SomeLaterState", 0, {}, {"matrix-mcu"}}}, false},
    {"InstallPlacesThePackage", kPackage, true, kIdle, {
        {kNothing, "ArtifactInstall", 0, {"placed at", "/home/ubuntu/McuUpdate.tar.gz"}, {}}}, true},
    {"InstallReplacesALinkNeverFollowsIt", kPackage, true, kPackagePathIsLink, {
        {kNothing, "ArtifactInstall", 0, {"placed at"}, {}}}, true},
    {"InstallWithNothingOnTheOrderPort", kPackage, false, kIdle, {
        {kNothing, "ArtifactInstall", 1, {"nothing listens on the order port 127.0.0.1:1158"}, {}},
        {kNothing, "ArtifactRollback", 0, {"no device was touched"}, {}}}, false},
    {"InstallWhileAnUpgradeRuns", kPackage, true, kRunningThisBoot, {
        {kNothing, "ArtifactInstall", 1, {"an upgrade is running on this board (phase=flashing, order vela-1)"}, {}}},
     false},
    {"InstallAfterAnUpgradeCutByAReboot", kPackage, true, kRunningEarlierBoot, {
        {kNothing, "ArtifactInstall", 0, {"placed at"}, {}}}, true},
    {"InstallRefusesALink", kLinkMember, true, kIdle, {
        {kNothing, "ArtifactInstall", 1, {"not a package the agent would take", "is neither a file nor a directory"}, {}}},
     false},
    {"InstallRefusesAMemberOutside", kOutside, true, kIdle, {
        {kNothing, "ArtifactInstall", 1, {"[other/x.hex] lies outside McuUpdate/"}, {}}}, false},
    {"InstallRefusesDotDot", kDotDot, true, kIdle, {
        {kNothing, "ArtifactInstall", 1, {"[McuUpdate/../x.hex] lies outside McuUpdate/"}, {}}}, false},
    {"InstallRefusesACutArchive", kCut, true, kIdle, {
        {kNothing, "ArtifactInstall", 1, {"it cannot be read whole"}, {}}}, false},
    {"InstallRefusesTooManyMembers", kTooMany, true, kIdle, {
        {kNothing, "ArtifactInstall", 1, {"more than 1024 members"}, {}}}, false},
    {"InstallRefusesTwoFiles", kTwoFiles, true, kIdle, {
        {kNothing, "ArtifactInstall", 1, {"exactly one file"}, {}}}, false},
    {"VerifyAfterTheAgentsReboot", kPackage, true, kIdle, {
        {kNothing, "ArtifactInstall", 0, {}, {}},
        {kDone, "ArtifactVerifyReboot", 1, {"the board has not rebooted since the install"}, {}},
        {kReboot, "ArtifactVerifyReboot", 0, {"succeeded: 2 target(s) flashed"}, {}},
        {kValensOrder, "ArtifactCommit", 0, {}, {}},
        {kNothing, "Cleanup", 0, {}, {}}}, false},
    {"CommitStandalone", kPackage, true, kIdle, {
        {kNothing, "ArtifactInstall", 0, {}, {}},
        {kDone, "", -2, {}, {}},
        {kReboot, "ArtifactCommit", 0, {"succeeded: 2 target(s) flashed"}, {}}}, true},
    {"VerifyFailedTargets", kPackage, true, kIdle, {
        {kNothing, "ArtifactInstall", 0, {}, {}},
        {kDoneFailed, "", -2, {}, {}},
        {kReboot, "ArtifactVerifyReboot", 1, {"verdict=failure", "  no-answer: MASTER\n", "  no-image: EP2 EP3 "},
         {"EP1 ", "flashed"}},
        {kNothing, "ArtifactCommit", 1, {"no-answer: MASTER"}, {}}}, true},
    {"VerifyCutOffUpgrade", kPackage, true, kIdle, {
        {kNothing, "ArtifactInstall", 0, {}, {}},
        {kCutAtMaster, "", -2, {}, {}},
        {kReboot, "ArtifactVerifyReboot", 1, {"phase=interrupted", "current=MASTER", "  pending: MASTER BV1 "}, {}}}, true},
    {"VerifyAnotherOrder", kPackage, true, kIdle, {
        {kNothing, "ArtifactInstall", 0, {}, {}},
        {kOtherOrder, "", -2, {}, {}},
        {kReboot, "ArtifactVerifyReboot", 1, {"the record is of order vela-7"}, {}}}, true},
    {"VerifyAnotherPackage", kPackage, true, kIdle, {
        {kNothing, "ArtifactInstall", 0, {}, {}},
        {kOtherPackage, "", -2, {}, {}},
        {kReboot, "ArtifactCommit", 1, {"the agent staged another package"}, {}}}, true},
    {"RebootRefusedRollsBack", kPackage, true, kIdle, {
        {kNothing, "ArtifactInstall", 0, {}, {}},
        {kAgentRefuses, "ArtifactReboot", 1, {"sent order", "phase=refused reason=not-plain",
                                               "no device was touched"}, {}},
        {kNothing, "ArtifactRollback", 0, {"refused order", "before flashing"}, {}},
        {kNothing, "ArtifactFailure", 0, {"phase=refused", "journal of mgtask: -u mgtask.service --since @"}, {}},
        {kNothing, "Cleanup", 0, {}, {}}}, false},
    {"RebootCutOffNoRollback", kPackage, true, kIdle, {
        {kNothing, "ArtifactInstall", 0, {}, {}},
        {kAgentCutsAtMaster, "ArtifactReboot", 1, {"EP1: flashed", "the upgrade failed", "pending: MASTER BV1"}, {}},
        {kNothing, "ArtifactRollback", 1, {"may have flashed devices", "no second slot"}, {}}}, true},
    {"CleanupLeavesANewUpload", kPackage, true, kIdle, {
        {kNothing, "ArtifactInstall", 0, {}, {}},
        {kNewUpload, "Cleanup", 0, {}, {}}}, false},
};
// clang-format on

void PrintTo(const ModuleCase& c, std::ostream* os) { *os << c.name; }

std::string BootIdNow() {
    std::string id = ReadFile("/proc/sys/kernel/random/boot_id");
    return id.substr(0, id.find('\n'));
}

class MenderModule : public ::testing::TestWithParam<ModuleCase> {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        std::string out;
        ASSERT_EQ(RunCommand("ip link set lo up", &out), 0) << out;
        BoardProfile p;
        p.strRoot = root_.path();
        p.strRebootCmd = "false";
        SetProfile(p);
        root_.mkdirs("/home/ubuntu");
        root_.mkdirs("/var/lib/mgtask");
        // The agent's record takes the kernel's boot id: the board's is this one until a "reboot".
        root_.write("/proc/sys/kernel/random/boot_id", BootIdNow() + "\n");
        root_.write("/stub-bin/journalctl", "#!/bin/sh\necho \"journal of mgtask: $*\"\n");
        chmod(root_.file("/stub-bin/journalctl").c_str(), 0755);
        root_.write("/tree/header/artifact_name", "matrix-mcu-2.5\n");
        root_.mkdirs("/tree/tmp");
    }

    std::string tree() const { return root_.file("/tree"); }
    std::string kept(const std::string& what) const {
        std::string v = root_.exists("/tree/tmp/matrix-mcu/" + what) ? root_.read("/tree/tmp/matrix-mcu/" + what) : "";
        return v.substr(0, v.find('\n'));
    }

    void MakePayload(Payload kind) {
        std::string dir = root_.file("/src"), pkg = root_.file("/tree/files/McuUpdate.tar.gz"), err;
        root_.mkdirs("/tree/files");
        std::vector<std::string> tar = {"tar", "-czf", pkg, "-C", dir};
        switch (kind) {
            case kPackage:
            case kCut:
            case kTwoFiles: {
                sim::PackageImages p;
                p.master = sim::ImageToHex(sim::SampleImage(1, {{0x00, 0x0F}}));
                p.ioMcu = sim::ImageToHex(sim::SampleImage(2, {{0x00, 0x07}}));
                ASSERT_TRUE(sim::BuildPackage(pkg, p, &err)) << err;
                std::string bytes = ReadFile(pkg);
                if (kind == kCut) WriteFile(pkg, bytes.substr(0, bytes.size() / 2));
                if (kind == kTwoFiles) WriteFile(root_.file("/tree/files/more.tar.gz"), bytes);
                return;
            }
            case kLinkMember:
                root_.mkdirs("/src/McuUpdate");
                ASSERT_EQ(symlink("/etc/shadow", root_.file("/src/McuUpdate/MASTER.hex").c_str()), 0);
                tar.push_back("McuUpdate");
                break;
            case kOutside:
                root_.write("/src/McuUpdate/version.json", "{}");
                root_.write("/src/other/x.hex", ":00000001FF\n");
                tar.insert(tar.end(), {"McuUpdate", "other/x.hex"});
                break;
            case kDotDot: {
                // tar itself never writes such a name: Python's tarfile does.
                std::string py = "import tarfile,io\nt=tarfile.open('" + pkg +
                                 "','w:gz')\ni=tarfile.TarInfo('McuUpdate/../x.hex')\ni.size=3\n"
                                 "t.addfile(i,io.BytesIO(b'abc'))\nt.close()\n";
                ASSERT_EQ(RunArgv({"python3", "-c", py}, &err), 0) << err;
                return;
            }
            case kTooMany:
                for (int i = 0; i < 1025; i++) root_.write("/src/McuUpdate/f" + std::to_string(i), "");
                tar.push_back("McuUpdate");
                break;
        }
        ASSERT_EQ(RunArgv(tar, &err), 0) << err;
    }

    // A socket on the order port: the agent's (or the service manager's for it).
    void Listen() {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a;
        memset(&a, 0, sizeof(a));
        a.sin_family = AF_INET;
        a.sin_port = htons(1158);
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ASSERT_EQ(bind(fd_, (struct sockaddr*)&a, sizeof(a)), 0) << strerror(errno);
    }

    // The order that reached the port within the bound ("" when none did).
    std::string TakeOrder() {
        struct pollfd pfd = {fd_, POLLIN, 0};
        if (fd_ < 0 || poll(&pfd, 1, 30000) != 1) return "";
        char buf[256];
        ssize_t n = recv(fd_, buf, sizeof(buf), 0);
        return n > 0 ? std::string(buf, (size_t)n) : "";
    }

    // The agent's record of an order, as the agent's code writes it.
    static void RecordOrder(const std::string& id, const std::string& sha, Before how) {
        RunRecord_Begin(emOrderPackage, id.c_str(), sha.c_str(), "staging");
        RunRecord_Phase("flashing");
        for (int i = 1; i <= 16; i++) {
            std::string ep = "EP" + std::to_string(i);
            RunRecord_Target(ep.c_str(), (how == kDoneFailed || how == kCutAtMaster) && i == 1 ? emOutcomeFlashed
                                                                                               : emOutcomeNoImage);
        }
        if (how == kCutAtMaster) {
            RunRecord_Current("MASTER");
            RunRecord_Phase("interrupted");
            return;
        }
        RunRecord_Target("MASTER", how == kDoneFailed ? emOutcomeNoAnswer : emOutcomeFlashed);
        for (int i = 1; i <= 8; i++) RunRecord_Target(("BV" + std::to_string(i)).c_str(), emOutcomeNoImage);
        RunRecord_Target("IOMCU", how == kDoneFailed ? emOutcomeNoImage : emOutcomeFlashed);
        RunRecord_Phase("resetting");
        RunRecord_Phase("rebooting");
    }

    void Happen(Before b) {
        switch (b) {
            case kNothing:
                break;
            case kReboot:
                root_.write("/proc/sys/kernel/random/boot_id", kNewBoot + "\n");
                break;
            case kDone:
            case kDoneFailed:
            case kCutAtMaster:
                RecordOrder(kept("order_id"), kept("sha256"), b);
                break;
            case kOtherOrder:
                RecordOrder("vela-7", kept("sha256"), kDone);
                break;
            case kOtherPackage:
                RecordOrder(kept("order_id"), std::string(64, '0'), kDone);
                break;
            case kValensOrder:
                RunRecord_Begin(emOrderValens, "", "", "flashing");
                RunRecord_Target("VALENS", emOutcomeFlashed);
                RunRecord_Phase("finished");
                break;
            case kNewUpload: {
                root_.write("/home/ubuntu/upload.part", "vela's upload");
                std::string from = root_.file("/home/ubuntu/upload.part");
                ASSERT_EQ(rename(from.c_str(), root_.file("/home/ubuntu/McuUpdate.tar.gz").c_str()), 0);
                break;
            }
            case kAgentRefuses:
            case kAgentCutsAtMaster:
                // The agent's part runs when the order arrives: the module is waiting for it then.
                standIn_ = std::thread([this, b] {
                    order_ = TakeOrder();
                    std::string id = order_.size() > 8 ? order_.substr(8) : "";
                    if (b == kAgentRefuses)
                        RunRecord_Refused(emOrderPackage, id.c_str(), "not-plain");
                    else
                        RecordOrder(id, kept("sha256"), kCutAtMaster);
                });
                break;
        }
    }

    int Module(const std::string& state, std::string* out) {
        return RunArgv({"env", "MATRIX_MCU_TEST_ROOT=" + root_.path(),
                        "PATH=" + root_.file("/stub-bin") + ":/usr/sbin:/usr/bin:/sbin:/bin", kModule, state, tree()},
                       out);
    }

    void TearDown() override {
        if (standIn_.joinable()) standIn_.join();
        if (fd_ >= 0) close(fd_);
    }

    TempRoot root_;
    RebootStub reboot_{root_};
    int fd_ = -1;
    std::thread standIn_;
    std::string order_;
};

TEST_P(MenderModule, StatesAsTheClientCallsThem) {
    const ModuleCase& c = GetParam();
    MakePayload(c.payload);
    if (c.listening) Listen();
    std::string payload = root_.read("/tree/files/McuUpdate.tar.gz");
    if (c.board == kRunningThisBoot || c.board == kRunningEarlierBoot) {
        RunRecord_Begin(emOrderPackage, "vela-1", "", "flashing");
        if (c.board == kRunningEarlierBoot) root_.write("/proc/sys/kernel/random/boot_id", kNewBoot + "\n");
    }
    if (c.board == kPackagePathIsLink) {
        root_.write("/victim", "root's file");
        ASSERT_EQ(symlink(root_.file("/victim").c_str(), root_.file("/home/ubuntu/McuUpdate.tar.gz").c_str()), 0);
    }
    for (const Step& s : c.steps) {
        Happen(s.before);
        if (s.rc == -2) continue;  // a step with no state only sets the board up
        std::string out;
        EXPECT_EQ(Module(s.state, &out), s.rc) << s.state << ":\n" << out;
        for (const std::string& w : s.says)
            EXPECT_NE(out.find(w), std::string::npos) << s.state << ": " << w << "\n" << out;
        for (const std::string& w : s.never)
            EXPECT_EQ(out.find(w), std::string::npos) << s.state << ": " << w << "\n" << out;
        if (standIn_.joinable()) {
            standIn_.join();
            // vela's order: type 251 and length (text + 8) little-endian, then the order id the install kept.
            std::string id = kept("order_id");
            ASSERT_FALSE(id.empty());
            EXPECT_EQ(order_,
                      std::string("\xfb\0\0\0", 4) + std::string(1, (char)(id.size() + 8)) + std::string(3, '\0') + id);
        }
    }
    // Placed whole, as a file of its own; nothing else left in the web account's home.
    if (c.packagePlaced) {
        struct stat st;
        ASSERT_EQ(lstat(root_.file("/home/ubuntu/McuUpdate.tar.gz").c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(root_.read("/home/ubuntu/McuUpdate.tar.gz"), payload);
        std::string id = kept("order_id");
        EXPECT_TRUE(id.size() >= 1 && id.size() <= 64 &&
                    id.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789._-") ==
                        std::string::npos)
            << id;
    } else if (c.board != kPackagePathIsLink && c.steps.back().before != kNewUpload) {
        EXPECT_FALSE(root_.exists("/home/ubuntu/McuUpdate.tar.gz"));
    }
    if (c.board == kPackagePathIsLink) {
        EXPECT_EQ(root_.read("/victim"), "root's file");
    }
    if (c.steps.back().before == kNewUpload) {
        EXPECT_EQ(root_.read("/home/ubuntu/McuUpdate.tar.gz"), "vela's upload");
    }
    std::string left;
    RunCommand("ls -A " + root_.file("/home/ubuntu"), &left);
    EXPECT_TRUE(left == "" || left == "McuUpdate.tar.gz\n") << left;
    EXPECT_EQ(reboot_.count(), 0);
    // Only the reboot step may send an order.
    bool rebootStep = false;
    for (const Step& s : c.steps) rebootStep |= s.rc != -2 && std::string(s.state) == "ArtifactReboot";
    if (c.listening && !rebootStep) {
        char buf[256];
        EXPECT_LT(recv(fd_, buf, sizeof(buf), MSG_DONTWAIT), 0) << "an order was sent";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, MenderModule, ::testing::ValuesIn(kCases), fwtest::LegendName());

}  // namespace
