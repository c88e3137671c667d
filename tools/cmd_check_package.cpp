// fwtool check-package: stages an update package exactly as the agent does (its
// own staging commands, in a private root) and tells, target by target, what an
// upgrade would flash from it. Every EP and BV image goes through the agent's
// own loader and, apart from it, through the emulated devices' reading of
// Intel HEX; the two must agree on the verdict and on every byte.
#include <stdio.h>
#include <fcntl.h>
#include <unistd.h>

#include "BoardProfile.h"
#include "HexWriter.h"
#include "Package.h"
#include "Progress.h"
#include "QxLog.h"
#include "Sandbox.h"
#include "Taskfile2mcu_Isp.h"
#include "fwtool.h"

namespace {

std::string s_package;

size_t UsedRows(const std::vector<uint8_t>& flash) {
    size_t rows = 0;
    for (size_t r = 0; r < 256; r++)
        for (size_t c = 0; c < 256; c++)
            if (flash[r * 256 + c] != 0xFF) {
                rows++;
                break;
            }
    return rows;
}

// The loader's verdict against the devices' reading: "ok", "refused" or "DISAGREE".
std::vector<std::string> JudgeIsp(const std::string& label, const sim::LoadedImage& img) {
    if (!img.present) return {label, "missing", "", "no image: the upgrade skips these ports"};
    std::vector<uint8_t> mine;
    std::string why = sim::HexToImage(img.text, &mine);
    if (img.refused.empty() && why.empty())
        return mine == img.flash
                   ? std::vector<std::string>{label, "ok", "", std::to_string(UsedRows(mine)) + " rows of data"}
                   : std::vector<std::string>{label, "DISAGREE", "", "the two readings differ in content"};
    if (!img.refused.empty() && !why.empty()) return {label, "refused", img.refused, why};
    return {label, "DISAGREE", img.refused.empty() ? "takes it" : img.refused, why.empty() ? "takes it" : why};
}

// MASTER.hex and IOMCU.hex are pushed raw: the agent's raw-image check
// against the boot loaders' reading.
std::vector<std::string> JudgeRaw(const std::string& label, const sim::LoadedImage& img) {
    if (!img.present) return {label, "missing", "", "no image: the upgrade skips this MCU"};
    std::vector<uint8_t> mine;
    std::string why = sim::HexToImage(img.text, &mine);
    if (img.refused.empty() && why.empty())
        return {label, "ok", "(pushed raw)", std::to_string(img.text.size()) + " bytes of Intel HEX"};
    if (!img.refused.empty() && !why.empty()) return {label, "refused", img.refused, why};
    return {label, "DISAGREE", img.refused.empty() ? "takes it" : img.refused, why.empty() ? "takes it" : why};
}

int Run() {
    const std::string& pkg = s_package;
    if (access(pkg.c_str(), R_OK) != 0) {
        fprintf(stderr, "fwtool check-package: cannot read %s\n", pkg.c_str());
        return 1;
    }
    sim::TempRoot root;
    BoardProfile profile;
    profile.strRoot = root.path();
    profile.strRebootCmd = "false";  // nothing here reboots; a profile wants a command all the same
    if (BoardProfile_Set(profile) != 0) return 1;
    sim::WriteFile(root.file("/home/ubuntu/McuUpdate.tar.gz"), sim::ReadFile(pkg));
    QxLog_SetQuiet(true);
    // The staging commands complain about every release file the package
    // lacks; the table says it better.
    fflush(stdout);
    int err = dup(2), null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, 2);
    sim::StagedPackage s = sim::StageWithAgent(root);
    dup2(err, 2);
    close(err);
    close(null);

    std::vector<std::vector<std::string>> t = {{"staged file", "result", "agent's loader", "devices' reading"}};
    t.push_back(JudgeRaw("MASTER.hex", s.master));
    t.push_back(JudgeRaw("IOMCU.hex", s.ioMcu));
    t.push_back(JudgeIsp("BV.hex (BV ports 1-8)", s.bv));
    for (int row = 2; row >= 0; row--) {
        const IspEpFamily& family = g_aIspEpFamilies[row];
        std::string ports =
            " (EP ports " + std::to_string(family.u32FirstPort) + "-" + std::to_string(family.u32LastPort) + ")";
        for (int bank = 0; bank < 3; bank++)
            t.push_back(JudgeIsp(sim::EpFamilyDir(row) + " .h0" + std::to_string(bank) + (bank == 0 ? ports : ""),
                                 s.ep[row][bank]));
    }
    t.push_back({"version.json", s.hasVersion ? "ok" : "missing", "", s.hasVersion ? s.versionJson : ""});
    for (const std::string& f : s.leftovers)
        t.push_back({f, "stray", "", "no rename took it: left in the staging directory"});
    int problems = 0, disagreements = 0;
    for (size_t i = 1; i < t.size(); i++) {
        problems += t[i][1] != "ok";
        disagreements += t[i][1] == "DISAGREE";
    }
    sim::PrintTable(stdout, t);
    if (disagreements)
        printf("the agent's loader and the devices' reading DISAGREE on %d image(s): an error in one of them\n",
               disagreements);
    printf("%s\n", problems ? "the package is NOT complete: see the rows above" : "every target has a valid image");
    return problems ? 1 : 0;
}

FwCommand::Run Setup(CLI::App& app) {
    app.add_option("PACKAGE", s_package, "update package (.tar.gz) as vela uploads it")->required();
    return &Run;
}

FwCommand s_cmd("check-package", "stage a package as the agent does and judge every image it would flash", &Setup);

}  // namespace
