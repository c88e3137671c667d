// The result record: what each sequence of events leaves in the file, what a
// restart makes of a record cut off mid-upgrade, and what --status tells.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "RunRecord.h"
#include "testing.h"

using namespace fwtest;

namespace {

class RunRecord : public ::testing::Test, public AgentHome {
protected:
    void SetUp() override { install(); }
    std::string record() const { return root.read(QX_LAST_RUN); }
    // What --status prints for the record at path, and its exit status.
    int StatusOf(const std::string& path, std::string* out) {
        const std::string capture = root.file("/status.txt");
        fflush(stdout);
        int saved = dup(1), fd = open(capture.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        int rc = RunRecord_PrintStatus(path.c_str());
        fflush(stdout);
        dup2(saved, 1);
        close(saved);
        close(fd);
        *out = ReadFile(capture);
        return rc;
    }
    std::string out;
};

void Package(const char* phase) { RunRecord_Begin(emOrderPackage, "fleet-42", "ab12", phase); }
void AllNoImage() {
    for (int i = 1; i <= 16; i++) RunRecord_Target(("EP" + std::to_string(i)).c_str(), emOutcomeNoImage);
    for (int i = 1; i <= 8; i++) RunRecord_Target(("BV" + std::to_string(i)).c_str(), emOutcomeNoImage);
    RunRecord_Target("IOMCU", emOutcomeNoImage);
}

TEST_F(RunRecord, EachSequenceLeavesItsRecord) {
    struct {
        const char* legend;
        std::function<void()> run;
        std::vector<std::string> lines;  // each must stand in the record as a line
    } rows[] = {
        {"a staged package: every target pending, verdict pending", [] { Package("staging"); },
         {"format=1", "order=package", "order_id=fleet-42", "package_sha256=ab12", "phase=staging", "current=",
          "target.EP1=pending", "target.MASTER=pending", "target.BV8=pending", "target.IOMCU=pending",
          "verdict=pending"}},
        {"every staged target flashed: success",
         [] {
             Package("flashing");
             AllNoImage();
             RunRecord_Current("MASTER");
             RunRecord_Target("MASTER", emOutcomeFlashed);
             RunRecord_Phase("rebooting");
         },
         {"phase=rebooting", "current=", "target.MASTER=flashed", "target.EP3=no-image", "verdict=success"}},
        {"one target unconfirmed: failure",
         [] {
             Package("flashing");
             AllNoImage();
             RunRecord_Target("MASTER", emOutcomeFlashed);
             RunRecord_Target("BV2", emOutcomeNoAnswer);
             RunRecord_Phase("rebooting");
         },
         {"target.BV2=no-answer", "verdict=failure"}},
        {"no image staged at all: failure",
         [] {
             Package("flashing");
             AllNoImage();
             RunRecord_Target("MASTER", emOutcomeNoImage);
             RunRecord_Phase("rebooting");
         },
         {"verdict=failure"}},
        {"a target never reached counts against the verdict",
         [] {
             Package("flashing");
             RunRecord_Phase("rebooting");
         },
         {"target.EP1=pending", "verdict=failure"}},
        {"a refusal beside a running upgrade keeps its record",
         [] {
             Package("flashing");
             RunRecord_Current("EP4");
             RunRecord_Refused(emOrderPackage, "other", "busy");
         },
         {"order_id=fleet-42", "phase=flashing", "current=EP4", "verdict=pending"}},
        {"a refusal with nothing running: a record of its own",
         [] {
             Package("flashing");
             RunRecord_Phase("finished");
             RunRecord_Refused(emOrderPackage, "other", "too-large");
         },
         {"order_id=other", "phase=refused", "reason=too-large", "verdict=failure"}},
        {"a package after a Valens run in one pass keeps the Valens outcome",
         [] {
             RunRecord_Begin(emOrderValens, "", "", "flashing");
             RunRecord_Target("VALENS", emOutcomeFailed);
             RunRecord_Phase("finished");
             RunRecord_Begin(emOrderPackage, "", "", "flashing", true);
         },
         {"order=package", "target.VALENS=failed", "target.EP1=pending", "verdict=pending"}},
        {"values never carry spaces or line breaks",
         [] { RunRecord_Begin(emOrderPackage, "a b\nphase=x", "", "staging"); }, {"order_id=a_b_phase_x"}},
    };
    for (const auto& r : rows) {
        r.run();
        std::string text = "\n" + record();
        for (const auto& l : r.lines) EXPECT_NE(text.find("\n" + l + "\n"), std::string::npos) << r.legend << ": " << l << text;
        struct stat st;
        ASSERT_EQ(stat(root.file(QX_LAST_RUN).c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u) << r.legend;  // every account may read it
    }
}

// A record left mid-upgrade by a power cut or a crash, read by the next start.
TEST_F(RunRecord, AStartTurnsAnUpgradeCutOffIntoInterrupted) {
    const std::string head = "format=1\norder=package\norder_id=\npackage_sha256=\nboot_id=x\nstarted=1\nupdated=2\n";
    struct {
        const char* phase;
        bool recovered;
        std::string verdict;
    } rows[] = {{"staging", true, "failure"},  {"flashing", true, "failure"},  {"resetting", true, "failure"},
                {"rebooting", false, "success"}, {"finished", false, "success"}, {"refused", false, "success"}};
    for (const auto& r : rows) {
        root.write(QX_LAST_RUN, head + "phase=" + r.phase + "\ncurrent=MASTER\nreason=\ntarget.EP1=flashed\n" +
                                    "target.MASTER=pending\nverdict=success\n");
        EXPECT_EQ(RunRecord_RecoverAtStart(), r.recovered) << r.phase;
        std::string text = record();
        EXPECT_EQ(text.find("phase=interrupted\n") != std::string::npos, r.recovered) << r.phase << text;
        EXPECT_NE(text.find("verdict=" + r.verdict + "\n"), std::string::npos) << r.phase << text;
        // What was known survives: where it stopped and what was done.
        EXPECT_NE(text.find("current=MASTER\nreason=\ntarget.EP1=flashed\n"), std::string::npos) << r.phase << text;
    }
}

TEST_F(RunRecord, StatusTellsAPersonAndAScript) {
    struct {
        const char* legend;
        std::function<void()> run;
        int exit;
        std::string shown;
    } rows[] = {
        {"no record", [] {}, 2, "no upgrade recorded"},
        {"under way", [] { Package("flashing"); }, 2, "verdict   pending"},
        {"success",
         [] {
             Package("flashing");
             AllNoImage();
             RunRecord_Target("MASTER", emOutcomeFlashed);
             RunRecord_Phase("finished");
         },
         0, "MASTER    flashed\nBV1       no-image"},
        {"refused", [] { RunRecord_Refused(emOrderPackage, "", "not-plain"); }, 1, "phase     refused (not-plain)"},
    };
    for (const auto& r : rows) {
        r.run();
        EXPECT_EQ(StatusOf(root.file(QX_LAST_RUN), &out), r.exit) << r.legend;
        EXPECT_NE(out.find(r.shown), std::string::npos) << r.legend << "\n" << out;
        EXPECT_EQ(out.find("verdict") == std::string::npos, r.exit == 2 && r.shown[0] == 'n') << r.legend;
    }
    // Any other option is refused with the usage, before anything runs.
    ASSERT_EQ(RunArgv({"sh", "-c", std::string(MGTASK_PATH) + " --bogus"}, &out), 2);
    EXPECT_NE(out.find("mgtask --status"), std::string::npos) << out;
}

TEST(RunRecordOrderId, OnlyPlainIdsAreKept) {
    struct {
        std::string payload;
        std::string id;
    } rows[] = {{"", ""},
                {"fleet-42.a_b", "fleet-42.a_b"},
                {std::string(64, 'x'), std::string(64, 'x')},
                {std::string(65, 'x'), ""},
                {"a b", ""},
                {"id;reboot", ""},
                {std::string("ok\0tail", 7), "ok"}};
    for (const auto& r : rows)
        EXPECT_EQ(RunRecord_OrderId(r.payload.data(), r.payload.size()), r.id) << r.payload;
}

}  // namespace
