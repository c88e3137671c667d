// Staging of real tar.gz update packages built in the test.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "testing.h"

using namespace fwtest;

namespace {

class Staging : public ::testing::Test, public AgentHome {
protected:
    void SetUp() override {
        install();
        globals.reset(new AgentGlobals(&task, AgentGlobals::kSockets));  // not listening: handlers are called directly
    }
    // Packs files (paths relative to the package's top directory "McuUpdate") as vela uploads them;
    // prepare runs on the source directory first, tarOpts go to tar.
    void Package(const std::vector<std::pair<std::string, std::string>>& files,
                 const std::function<void(const std::string&)>& prepare = nullptr, const std::string& tarOpts = "") {
        const std::string src = root.path() + "/src";
        root.mkdirs("/home/ubuntu");
        for (const auto& f : files) WriteFile(src + "/McuUpdate/" + f.first, f.second);
        if (prepare) prepare(src);
        std::vector<std::string> argv = {"tar", "-czf", root.file("/home/ubuntu/McuUpdate.tar.gz"), "-C", src};
        std::istringstream opts(tarOpts);
        for (std::string o; opts >> o;) argv.push_back(o);
        argv.push_back("McuUpdate");
        std::string out;
        ASSERT_EQ(RunArgv(argv, &out), 0) << out;
        RemoveTree(src);
    }
    CTaskfile2mcu task;
    std::unique_ptr<AgentGlobals> globals;
};

// tests/data/staging_release.tsv: every member of a release package lands on its fixed name.
TEST_F(Staging, EveryReleaseFileLandsOnItsFixedName) {
    std::vector<std::pair<std::string, std::string>> members, landing;
    for (const std::string& line : DataLines("tests/data/staging_release.tsv")) {
        size_t tab = line.find('\t');
        if (tab == std::string::npos) continue;
        members.push_back({line.substr(0, tab), line.substr(0, tab)});
        landing.push_back({line.substr(tab + 1), line.substr(0, tab)});
    }
    ASSERT_GE(members.size(), 13u);
    Package(members);
    auto allThere = [&] {
        for (const auto& l : landing)
            if (!root.exists(l.first)) return false;
        return true;
    };
    // The flag is raised only after the last command: whoever sees it sees every file.
    std::atomic<bool> stop{false}, sawFlag{false}, complete{false};
    std::thread watcher([&] {
        // stop is read before the flag: a flag raised before the end is seen.
        for (bool ended = false; !(sawFlag = task.GetUpgradeflg()) && !ended;) ended = stop;
        complete = sawFlag && allThere();
    });
    g_pudp4vela->Task_UpdateFile_Path();
    stop = true;
    watcher.join();
    EXPECT_TRUE(sawFlag);
    EXPECT_TRUE(complete);
    for (const auto& l : landing) EXPECT_EQ(root.read(l.first), l.second);
    EXPECT_FALSE(root.exists(std::string(QX_UPDATE_DIR) + "version.json"));
    EXPECT_NE(root.read(QX_TAR_LOG).find("McuUpdate/"), std::string::npos);
    EXPECT_TRUE(g_pTaskUP4mcu->GetUpgradeflg());
    // Staged in the state directory, never in the web account's home; the
    // record names the package by the hash of what was copied.
    EXPECT_FALSE(root.exists("/home/ubuntu/McuUpdate"));
    std::string sum;
    ASSERT_EQ(RunArgv({"sha256sum", root.file(QX_TXMCU_UPDATE_FILE_PATH)}, &sum), 0);
    std::string record = root.read(QX_LAST_RUN);
    EXPECT_NE(record.find("phase=staging\n"), std::string::npos) << record;
    EXPECT_NE(record.find("package_sha256=" + sum.substr(0, 64) + "\n"), std::string::npos) << record;
}

TEST_F(Staging, OrdersBeforeTheTaskObjectExistsTouchNoTaskObject) {
    Package({{"HV4412-7730-K28-Master-V2.hex", "m2"}});
    root.write("/home/ubuntu/valens/VSTX.hex", "x");
    g_pTaskUP4mcu = nullptr;
    g_pudp4vela->Task_UpdateFile_Path();
    g_pudp4vela->Task_Valens_UpdateFile_Path("TX");
    EXPECT_EQ(root.read(QX_MASTER_HEX), "m2");
}

// A missing, corrupt, oversized or hostile package, what another local user
// may plant for root to trip over, and a second order while one is staged.
TEST_F(Staging, BadPackagesAndPlantedLinksFifosOrMembersAreNeverFollowed) {
    const std::string pkg = QX_TXMCU_UPDATE_FILE_PATH, master = "HV4412-7730-K28-Master-V1.hex";
    const std::string state = QX_STAGING_HOME;
    auto plant = [&](const std::string& target, const std::string& at) {
        MkdirP(root.file(at.substr(0, at.rfind('/'))));
        unlink(root.file(at).c_str());
        symlink(root.file(target).c_str(), root.file(at).c_str());
    };
    auto gone = [&](const std::string& p) {
        struct stat st;
        return lstat(root.file(p).c_str(), &st) != 0;
    };
    auto nothingStaged = [&] { return gone(QX_UPDATE_DIR) && gone(QX_STAGED_PACKAGE); };
    auto sparse = [](const std::string& name, off_t size) {
        return [=](const std::string& s) {
            int fd = open((s + "/McuUpdate/" + name).c_str(), O_WRONLY | O_CREAT, 0644);
            EXPECT_EQ(ftruncate(fd, size), 0);
            close(fd);
        };
    };
    const std::string ok = "] nret[0]", outside = "lies outside McuUpdate/", odd = "is neither a file nor a directory";
    const std::string staged = "phase=staging";
    struct {
        const char* legend;
        std::function<void(const std::string&)> prepare;  // how the package is made
        std::string tarOpts;
        std::function<void()> plant;
        bool flag;
        std::string logged;
        std::function<bool()> safe;
        std::string record;  // what the result record must hold
    } rows[] = {
        {"no package: nothing runs", nullptr, "", [&] { unlink(root.file(pkg).c_str()); }, false,
         "###### access QX_TXMCU_UPDATE_FILE_PATH is Failed", [&] { return gone(QX_TAR_LOG); },
         "reason=no-package"},
        {"no gzip data: refused, nothing staged", nullptr, "", [&] { root.write(pkg, "no gzip"); }, false,
         "###### package refused: it cannot be read whole", nothingStaged, "reason=unpack-failed"},
        {"cut at 75 %: refused, no image of it staged", nullptr, "",
         [&] { truncate(root.file(pkg).c_str(), (off_t)(ReadFile(root.file(pkg)).size() * 3 / 4)); }, false,
         "###### package refused: it cannot be read whole", nothingStaged, "reason=unpack-failed"},
        {"tar.log a link: not written", nullptr, "", [&] { plant("/victim", QX_TAR_LOG); }, true, "###### log ",
         [&] { return root.read("/victim") == "keep"; }, staged},
        {"tar.log with a second name: not cut", nullptr, "",
         [&] { MkdirP(root.file(state)), link(root.file("/victim").c_str(), root.file(QX_TAR_LOG).c_str()); }, true,
         "###### log ", [&] { return root.read("/victim") == "keep"; }, staged},
        {"the old staging place a link: never used, never followed", nullptr, "",
         [&] { plant("/vdir", "/home/ubuntu/McuUpdate"); }, true, ok,
         [&] { return root.exists(QX_MASTER_HEX) && gone("/vdir/" + master) && gone("/vdir/MASTER.hex"); }, staged},
        {"version.json's place a link to a directory: replaced", nullptr, "", [&] { plant("/vdir", QX_VERSION_JSON); },
         true, ok, [&] { return gone("/vdir/version.json") && root.read(QX_VERSION_JSON) == "{}"; }, staged},
        {"the package a link: refused, its target not made executable", nullptr, "", [&] { plant("/victim", pkg); },
         false, "is not a regular file", [&] { return access(root.file("/victim").c_str(), X_OK) != 0; },
         "reason=no-package"},
        {"the package a FIFO: refused at once", nullptr, "",
         [&] { unlink(root.file(pkg).c_str()), mkfifo(root.file(pkg).c_str(), 0600); }, false, "is not a regular file",
         [&] { return true; }, "reason=no-package"},
        {"left by a power cut: not flashed again; a package with only a master image raises the flag", nullptr, "",
         [&] { root.write(QX_IOMCU_HEX, "old"); }, true, ok,
         [&] { return gone(QX_IOMCU_HEX) && root.exists(QX_MASTER_HEX); }, staged},
        {"a member with ../", nullptr, "-P --transform s,^McuUpdate/version.json,McuUpdate/../x,", [] {}, false,
         outside, [&] { return gone(state + "/x") && nothingStaged(); }, "reason=not-plain"},
        {"a member beside McuUpdate", [](const std::string& s) { WriteFile(s + "/.bashrc", "k"); }, ".bashrc", [] {},
         false, outside, [&] { return gone(state + "/.bashrc"); }, "reason=not-plain"},
        {"a link out of the home", [](const std::string& s) { symlink("/etc", (s + "/McuUpdate/etc").c_str()); }, "",
         [] {}, false, odd, [&] { return gone(std::string(QX_UPDATE_DIR) + "etc"); }, "reason=not-plain"},
        {"a hard link",
         [](const std::string& s) { link((s + "/McuUpdate/version.json").c_str(), (s + "/McuUpdate/h").c_str()); }, "",
         [] {}, false, odd, [&] { return gone(std::string(QX_UPDATE_DIR) + "h"); }, "reason=not-plain"},
        {"set-id bits and another owner: dropped", nullptr, "--owner=1234 --group=1234 --mode=6755", [] {}, true, ok,
         [&] {
             struct stat st;
             return stat(root.file(QX_MASTER_HEX).c_str(), &st) == 0 && (st.st_mode & 06000) == 0 &&
                    st.st_uid == geteuid();
         },
         staged},
        {"more than 64 MiB packed: refused before it is read", nullptr, "",
         [&] { truncate(root.file(pkg).c_str(), (off_t)(64 << 20) + 1); }, false, "more than 64 MiB packed",
         nothingStaged, "reason=too-large"},
        {"more than 256 MiB unpacked: refused before anything is unpacked", sparse("zeros", (off_t)257 << 20),
         "--sparse", [] {}, false, "more than 256 MiB unpacked", nothingStaged, "reason=too-large"},
        {"a master image larger than its target holds", sparse(master, (off_t)(2 << 20) + 1), "", [] {}, false,
         "more than the 2097152 its target can hold", nothingStaged, "reason=too-large"},
        {"more than 1024 members",
         [](const std::string& s) {
             for (int i = 0; i < 1100; i++) WriteFile(s + "/McuUpdate/f" + std::to_string(i), "");
         },
         "", [] {}, false, "more than 1024 members", nothingStaged, "reason=too-large"},
        {"a second order while one is staged: refused, nothing on disk changes", nullptr, "",
         [&] {
             g_pTaskUP4mcu->m_bPackageRun = true;
             root.write(QX_MASTER_HEX, "first");
             RunRecord_Begin(emOrderPackage, "first", "", "flashing");
         },
         false, "###### package order refused: a package upgrade is staged or running",
         [&] { return root.read(QX_MASTER_HEX) == "first" && gone(QX_TAR_LOG); }, "order_id=first\n"},
    };
    for (const auto& r : rows) {
        RemoveTree(root.file("/home"));
        RemoveTree(root.file("/var"));
        RemoveTree(root.file("/vdir"));
        unlink(root.file("/victim").c_str());
        root.write("/victim", "keep");
        root.write("/vdir/keep", "keep");
        Package({{master, "m"}, {"version.json", "{}"}}, r.prepare, r.tarOpts);
        g_pTaskUP4mcu->SetUpgradeflg(false);
        g_pTaskUP4mcu->m_bPackageRun = false;
        RunRecord_Phase("finished");  // the row before has ended
        r.plant();
        log.clear();
        g_pudp4vela->Task_UpdateFile_Path();
        EXPECT_EQ(g_pTaskUP4mcu->GetUpgradeflg(), r.flag) << r.legend;
        EXPECT_TRUE(log.contains(r.logged)) << r.legend << "\n" << log.text();
        EXPECT_TRUE(r.safe()) << r.legend;
        EXPECT_NE(ReadFile(root.file(QX_LAST_RUN)).find(r.record), std::string::npos) << r.legend;
    }
}

}  // namespace
