// Set-up shared by the fuzz targets: a quiet log and a board profile on a
// fast clock whose shell commands are recorded instead of run.
#pragma once

#include <stdlib.h>
#include <sys/prctl.h>

#include <filesystem>
#include <string>
#include <vector>

#include "BoardProfile.h"
#include "QxLog.h"

namespace fuzzboard {

inline std::vector<std::string>& Commands() {
    static std::vector<std::string> s_commands;
    return s_commands;
}

inline int RecordCommand(const char* i_pCmd) {
    Commands().push_back(i_pCmd ? i_pCmd : "");
    return 0;
}

// Once per process: a private root under TMPDIR, time i_dScale times real time.
inline const std::string& Init(double i_dScale) {
    static std::string s_root;
    if (!s_root.empty()) return s_root;
    QxLog_SetQuiet(getenv("FUZZ_VERBOSE") == nullptr);  // the agent's log, when replaying one input
    prctl(PR_SET_TIMERSLACK, 1UL);                      // a scaled pause lasts its microseconds, not 50 more
    const char* pTmp = getenv("TMPDIR");
    std::string strTemplate = std::string(pTmp && *pTmp ? pTmp : "/tmp") + "/fuzzroot.XXXXXX";
    std::vector<char> name(strTemplate.begin(), strTemplate.end());
    name.push_back('\0');
    if (mkdtemp(name.data()) == nullptr) abort();
    s_root = name.data();
    atexit([] { std::filesystem::remove_all(s_root); });
    BoardProfile profile;
    profile.strRoot = s_root;
    profile.dTimeScale = i_dScale;
    profile.strRebootCmd = "reboot-stub";
    profile.pfnShell = RecordCommand;
    if (BoardProfile_Set(profile) != 0) abort();
    return s_root;
}

}  // namespace fuzzboard
