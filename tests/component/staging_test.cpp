// Staging of real tar.gz update packages built in the test.
#include <gtest/gtest.h>
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
    std::istringstream table(ReadFile(FWAGENT_SOURCE_DIR "/tests/data/staging_release.tsv"));
    for (std::string line; std::getline(table, line);) {
        size_t tab = line.find('\t');
        if (line[0] == '#' || tab == std::string::npos) continue;
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
    EXPECT_FALSE(root.exists("/home/ubuntu/McuUpdate/version.json"));
    // The unpacking log stays inside the root.
    EXPECT_NE(root.read("/tar.log").find("McuUpdate/"), std::string::npos);
    EXPECT_TRUE(g_pTaskUP4mcu->GetUpgradeflg());
}

TEST_F(Staging, OrdersBeforeTheTaskObjectExistsTouchNoTaskObject) {
    Package({{"HV4412-7730-K28-Master-V2.hex", "m2"}});
    root.write("/home/ubuntu/valens/VSTX.hex", "x");
    g_pTaskUP4mcu = nullptr;
    g_pudp4vela->Task_UpdateFile_Path();
    g_pudp4vela->Task_Valens_UpdateFile_Path("TX");
    EXPECT_EQ(root.read("/home/ubuntu/McuUpdate/MASTER.hex"), "m2");
}

// A missing or corrupt package, and what another local user may plant for root to trip over.
TEST_F(Staging, BadPackagesAndPlantedLinksFifosOrMembersAreNeverFollowed) {
    const std::string pkg = "/home/ubuntu/McuUpdate.tar.gz", master = "HV4412-7730-K28-Master-V1.hex";
    auto plant = [&](const std::string& target, const std::string& at) {
        MkdirP(root.file(at.substr(0, at.rfind('/'))));
        unlink(root.file(at).c_str());
        symlink(root.file(target).c_str(), root.file(at).c_str());
    };
    auto gone = [&](const std::string& p) {
        struct stat st;
        return lstat(root.file(p).c_str(), &st) != 0;
    };
    const std::string ok = "] nret[0]", outside = "lies outside McuUpdate/", odd = "is neither a file nor a directory";
    struct {
        const char* legend;
        std::function<void(const std::string&)> prepare;  // how the package is made
        std::string tarOpts;
        std::function<void()> plant;
        bool flag;
        std::string logged;
        std::function<bool()> safe;
    } rows[] = {
        {"no package: nothing runs", nullptr, "", [&] { unlink(root.file(pkg).c_str()); }, false,
         "###### access QX_TXMCU_UPDATE_FILE_PATH is Failed", [&] { return gone("/tar.log"); }},
        {"no gzip data: tar's status shown, the flag raised as ever", nullptr, "", [&] { root.write(pkg, "no gzip"); },
         true, "cmdBuffer is [tar -zxvf", [&] { return !log.contains(ok) && gone(QX_MASTER_HEX); }},
        {"tar.log a link: not written", nullptr, "", [&] { plant("/victim", "/tar.log"); }, true, "###### log ",
         [&] { return root.read("/victim") == "keep"; }},
        {"tar.log with a second name: not cut", nullptr, "",
         [&] { link(root.file("/victim").c_str(), root.file("/tar.log").c_str()); }, true, "###### log ",
         [&] { return root.read("/victim") == "keep"; }},
        {"the staging directory a link, no directory entry first: removed, not followed", nullptr,
         "--no-recursion McuUpdate/" + master, [&] { plant("/vdir", "/home/ubuntu/McuUpdate"); }, true, ok,
         [&] { return root.exists("/vdir/keep") && root.exists(QX_MASTER_HEX) && gone("/vdir/" + master); }},
        {"version.json's place a link to a directory: replaced", nullptr, "", [&] { plant("/vdir", QX_VERSION_JSON); },
         true, ok, [&] { return gone("/vdir/version.json") && root.read(QX_VERSION_JSON) == "{}"; }},
        {"the package a link: refused, its target not made executable", nullptr, "", [&] { plant("/victim", pkg); },
         false, "is not a regular file", [&] { return access(root.file("/victim").c_str(), X_OK) != 0; }},
        {"the package a FIFO: refused at once", nullptr, "",
         [&] { unlink(root.file(pkg).c_str()), mkfifo(root.file(pkg).c_str(), 0600); }, false, "is not a regular file",
         [&] { return true; }},
        {"left by a power cut: not flashed again; a package with only a master image raises the flag", nullptr, "",
         [&] { root.write(QX_IOMCU_HEX, "old"); }, true, ok,
         [&] { return gone(QX_IOMCU_HEX) && root.exists(QX_MASTER_HEX); }},
        {"a member with ../", nullptr, "-P --transform s,^McuUpdate/version.json,McuUpdate/../x,", [] {}, false,
         outside, [&] { return gone("/home/ubuntu/x"); }},
        {"a member beside McuUpdate", [](const std::string& s) { WriteFile(s + "/.bashrc", "k"); }, ".bashrc", [] {},
         false, outside, [&] { return gone("/home/ubuntu/.bashrc"); }},
        {"a link out of the home", [](const std::string& s) { symlink("/etc", (s + "/McuUpdate/etc").c_str()); }, "",
         [] {}, false, odd, [&] { return gone("/home/ubuntu/McuUpdate/etc"); }},
        {"a hard link",
         [](const std::string& s) { link((s + "/McuUpdate/version.json").c_str(), (s + "/McuUpdate/h").c_str()); }, "",
         [] {}, false, odd, [&] { return gone("/home/ubuntu/McuUpdate/h"); }},
        {"set-id bits and another owner: dropped", nullptr, "--owner=1234 --group=1234 --mode=6755", [] {}, true, ok,
         [&] {
             struct stat st;
             return stat(root.file(QX_MASTER_HEX).c_str(), &st) == 0 && (st.st_mode & 06000) == 0 &&
                    st.st_uid == geteuid();
         }},
    };
    for (const auto& r : rows) {
        RemoveTree(root.file("/home"));
        RemoveTree(root.file("/vdir"));
        for (const char* f : {"/tar.log", "/victim"}) unlink(root.file(f).c_str());
        root.write("/victim", "keep");
        root.write("/vdir/keep", "keep");
        Package({{master, "m"}, {"version.json", "{}"}}, r.prepare, r.tarOpts);
        r.plant();
        g_pTaskUP4mcu->SetUpgradeflg(false);
        log.clear();
        g_pudp4vela->Task_UpdateFile_Path();
        EXPECT_EQ(g_pTaskUP4mcu->GetUpgradeflg(), r.flag) << r.legend;
        EXPECT_TRUE(log.contains(r.logged)) << r.legend << "\n" << log.text();
        EXPECT_TRUE(r.safe()) << r.legend;
    }
}

}  // namespace
