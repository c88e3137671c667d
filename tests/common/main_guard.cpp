// Every test program puts a refusing "reboot" first in PATH before any test
// runs, so not even a stray shell "reboot" can reach the real command. It
// records each call in $FWAGENT_STRAY_REBOOT_LOG when that is set (the test
// command fails the run when the file exists afterwards). Every report any
// vela stand-in received must also have been one vela can read.
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "testing.h"

namespace {
struct RebootGuard {
    RebootGuard() {
        const char* tmp = getenv("TMPDIR");
        std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/fwagent-guard-XXXXXX";
        if (mkdtemp(&tmpl[0]) == nullptr) abort();
        dir = tmpl;
        fwtest::WriteFile(
            dir + "/reboot",
            "#!/bin/sh\necho 'stray reboot refused by the test guard' >&2\n"
            "[ -n \"$FWAGENT_STRAY_REBOOT_LOG\" ] && echo \"reboot $*\" >> \"$FWAGENT_STRAY_REBOOT_LOG\"\n"
            "exit 1\n");
        chmod((dir + "/reboot").c_str(), 0755);
        const char* path = getenv("PATH");
        std::string p = dir + ":" + (path ? path : "/usr/bin:/bin");
        setenv("PATH", p.c_str(), 1);
    }
    ~RebootGuard() { fwtest::RemoveTree(dir); }
    std::string dir;
};
RebootGuard s_guard;

struct ReportGuard : testing::Environment {
    void TearDown() override { EXPECT_EQ(sim::MalformedReports(), 0u) << "reports vela could not read"; }
};
testing::Environment* const s_reports = testing::AddGlobalTestEnvironment(new ReportGuard);
}  // namespace
