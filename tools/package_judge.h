// What an upgrade would flash from a package: staged with the agent's own
// commands in a private root, every image judged by the agent's loader and by
// the emulated devices' reading. Shared by check-package and artifact.
#pragma once

#include <string>
#include <vector>

struct PackageJudgement {
    // Header row first: staged file, result, agent's loader, devices' reading.
    std::vector<std::vector<std::string>> table;
    int problems = 0;                  // rows that are not "ok" (a missing image counts)
    int disagreements = 0;             // rows where the loader and the devices disagree
    int blocking = 0;                  // refused, disputed or stray: the package would not flash as meant
    int images = 0;                    // images staged
    std::vector<std::string> missing;  // targets the upgrade would skip
    std::string refusal;               // the agent's first "######" line while staging, if any
};

// The board profile of this process is set to a private root: call it once,
// before any agent object exists. False when the file cannot be read.
bool JudgePackage(const std::string& package, PackageJudgement* out);
