#include "package_judge.h"

#include <fcntl.h>
#include <unistd.h>

#include "BoardProfile.h"
#include "HexWriter.h"
#include "Package.h"
#include "QxLog.h"
#include "Sandbox.h"
#include "Taskfile2mcu_Isp.h"

namespace {

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

// Keeps the first "######" line the staging prints (why a package was refused).
void KeepRefusal(int, const char* text, size_t len, void* user) {
    std::string* first = static_cast<std::string*>(user);
    std::string line(text, len);
    if (first->empty() && line.compare(0, 6, "######") == 0) {
        size_t end = line.find_last_not_of("\r\n ");
        *first = line.substr(0, end == std::string::npos ? 0 : end + 1);
    }
}

}  // namespace

bool JudgePackage(const std::string& pkg, PackageJudgement* out) {
    if (access(pkg.c_str(), R_OK) != 0) return false;
    sim::TempRoot root;
    BoardProfile profile;
    profile.strRoot = root.path();
    profile.strRebootCmd = "false";  // nothing here reboots; a profile wants a command all the same
    if (BoardProfile_Set(profile) != 0) return false;
    sim::WriteFile(root.file("/home/ubuntu/McuUpdate.tar.gz"), sim::ReadFile(pkg));
    QxLog_SetQuiet(true);
    // The staging commands complain about every release file the package
    // lacks; the table says it better.
    fflush(stdout);
    int err = dup(2), null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, 2);
    sim::StagedPackage s = sim::StageWithAgent(root, &KeepRefusal, &out->refusal);
    dup2(err, 2);
    close(err);
    close(null);
    QxLog_SetHook(nullptr, nullptr);
    // The staging's own refusals; the loader's complaints are in the table.
    if (out->refusal.find("package refused") == std::string::npos &&
        out->refusal.find("package not staged") == std::string::npos)
        out->refusal.clear();

    auto& t = out->table;
    t = {{"staged file", "result", "agent's loader", "devices' reading"}};
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
    size_t imageRows = t.size();
    t.push_back({"version.json", s.hasVersion ? "ok" : "missing", "", s.hasVersion ? s.versionJson : ""});
    for (const std::string& f : s.leftovers)
        t.push_back({f, "stray", "", "no rename took it: left in the staging directory"});
    for (size_t i = 1; i < t.size(); i++) {
        const std::string& result = t[i][1];
        out->problems += result != "ok";
        out->disagreements += result == "DISAGREE";
        out->blocking += result == "refused" || result == "DISAGREE" || result == "stray";
        if (i < imageRows) {
            out->images += result != "missing";
            if (result == "missing") out->missing.push_back(t[i][0]);
        }
    }
    return true;
}
