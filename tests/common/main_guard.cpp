// Every test program puts a recording "reboot" first in PATH before any test
// runs, so not even a stray shell "reboot" can reach the real command.
#include <stdlib.h>
#include <sys/stat.h>

#include <string>

#include "testing.h"

namespace {
struct RebootGuard {
    RebootGuard() {
        char tmpl[] = "/tmp/fwagent-guard-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) abort();
        dir = tmpl;
        fwtest::WriteFile(dir + "/reboot", "#!/bin/sh\necho 'stray reboot refused by the test guard' >&2\nexit 1\n");
        chmod((dir + "/reboot").c_str(), 0755);
        const char* path = getenv("PATH");
        std::string p = dir + ":" + (path ? path : "/usr/bin:/bin");
        setenv("PATH", p.c_str(), 1);
    }
    ~RebootGuard() { fwtest::RemoveTree(dir); }
    std::string dir;
};
RebootGuard s_guard;
}  // namespace
