// fwtool check-package: stages an update package exactly as the agent does (its
// own staging commands, in a private root) and tells, target by target, what an
// upgrade would flash from it.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "Bootloader.h"
#include "BoardProfile.h"
#include "QxLog.h"
#include "Sandbox.h"
#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "fwtool.h"

namespace {

std::string s_firstError;

void KeepErrors(int, const char* text, size_t len, void*) {
    std::string line(text, len);
    if (s_firstError.empty() && line.compare(0, 6, "######") == 0) s_firstError = line.substr(0, line.find_last_not_of("\r\n") + 1);
}

// A boot-loader image: raw Intel HEX text, every record good, an end record.
std::string CheckRawHex(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    size_t records = 0;
    bool end = false;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        bool isEnd = false;
        std::string why = sim::CheckHexRecord(line, &isEnd);
        if (!why.empty()) return "record " + std::to_string(records + 1) + ": " + why;
        records++;
        if (isEnd) end = true;
    }
    if (!end) return "no end record";
    return "";
}

size_t UsedRows() {
    size_t rows = 0;
    for (int r = 0; r < 256; r++)
        for (int c = 0; c < 256; c++)
            if (g_FlashBuf[r * 256 + c] != 0xFF) {
                rows++;
                break;
            }
    return rows;
}

int Main(const std::vector<std::string>& args) {
    if (args.size() != 1) return FwUsage("check-package");
    const std::string pkg = args[0];
    if (access(pkg.c_str(), R_OK) != 0) {
        fprintf(stderr, "fwtool check-package: cannot read %s\n", pkg.c_str());
        return 1;
    }
    sim::TempRoot root;
    BoardProfile profile;
    profile.strRoot = root.path();
    profile.strRebootCmd = "false";  // nothing here reboots; a profile wants a command all the same
    if (BoardProfile_Set(profile) != 0) return 1;
    sim::WriteFile(root.file(QX_TXMCU_UPDATE_FILE_PATH), sim::ReadFile(pkg));

    QxLog_SetQuiet(true);
    QxLog_SetHook(&KeepErrors, nullptr);
    {
        // The agent's own staging; no task object, so no flag and no upgrade.
        CUdpListen2vela link;
        link.Task_UpdateFile_Path();
    }

    int problems = 0;
    printf("%-44s %-8s %s\n", "staged file", "result", "detail");
    auto row = [&](const std::string& name, bool ok, const std::string& detail) {
        printf("%-44s %-8s %s\n", name.c_str(), ok ? "ok" : "PROBLEM", detail.c_str());
        if (!ok) problems++;
    };
    for (const char* path : {QX_MASTER_HEX, QX_IOMCU_HEX}) {
        std::string name = strrchr(path, '/') + 1;
        if (!root.exists(path)) {
            row(name, false, "missing: the upgrade skips this MCU");
            continue;
        }
        std::string why = CheckRawHex(root.read(path));
        row(name, why.empty(), why.empty() ? std::to_string(root.read(path).size()) + " bytes of Intel HEX" : why);
    }
    CTaskfile2mcu task;
    struct {
        const char* label;
        std::string path;
    } isp[] = {{"BV.hex (BV ports 1-8)", QX_BV_HEX},
               {"Input .h00 (EP ports 1-8)", std::string(QX_EP_BASE_INPUT) + ".h00"},
               {"Input .h01", std::string(QX_EP_BASE_INPUT) + ".h01"},
               {"Input .h02", std::string(QX_EP_BASE_INPUT) + ".h02"},
               {"EP9162SQ .h00 (EP ports 9-12)", std::string(QX_EP_BASE_9162) + ".h00"},
               {"EP9162SQ .h01", std::string(QX_EP_BASE_9162) + ".h01"},
               {"EP9162SQ .h02", std::string(QX_EP_BASE_9162) + ".h02"},
               {"EP91A6SQ .h00 (EP ports 13-16)", std::string(QX_EP_BASE_91A6) + ".h00"},
               {"EP91A6SQ .h01", std::string(QX_EP_BASE_91A6) + ".h01"},
               {"EP91A6SQ .h02", std::string(QX_EP_BASE_91A6) + ".h02"}};
    for (const auto& f : isp) {
        if (!root.exists(f.path)) {
            row(f.label, false, "missing");
            continue;
        }
        s_firstError.clear();
        int rc = task.ProcessReadUpgradeFile(root.file(f.path).c_str());
        row(f.label, rc == 0, rc == 0 ? std::to_string(UsedRows()) + " rows of data" : s_firstError);
    }
    bool version = root.exists(QX_VERSION_JSON);
    row("version.json", version, version ? root.read(QX_VERSION_JSON) : "missing");
    // Release files that no rename took stay behind in the staging directory.
    std::string left;
    sim::RunCommand("cd '" + root.file(QX_UPDATE_DIR) + "' && find . -type f ! -name MASTER.hex ! -name IOMCU.hex "
                          "! -name BV.hex ! -name '*.h0[012]' | sort",
                          &left);
    if (!left.empty()) {
        row("left in the staging directory", false, "");
        printf("%s", left.c_str());
    }
    QxLog_SetHook(nullptr, nullptr);
    printf("%s\n", problems ? "the package is NOT complete: see PROBLEM rows" : "every target has a valid image");
    return problems ? 1 : 0;
}

FwCommand s_cmd("check-package", "PACKAGE.tar.gz",
                "stage a package as the agent does and check every image it would flash", &Main);

}  // namespace
