#include "Package.h"

#include <stdlib.h>
#include <sys/wait.h>

#include "Sandbox.h"
#include "Taskfile2mcu_Isp.h"

namespace sim {

std::string EpFamilyDir(int row) {
    std::string path = g_aIspEpFamilies[row].pBasePath;
    size_t slash = path.rfind('/');
    size_t before = path.rfind('/', slash - 1);
    return path.substr(before + 1, slash - before - 1);
}

namespace {
// The package holds an EP image under the name of its base on the board.
std::string EpBase(int row) {
    std::string path = g_aIspEpFamilies[row].pBasePath;
    return path.substr(path.rfind('/') + 1);
}
}  // namespace

std::string ReleaseName(const char* what, const std::string& version) {
    std::string w = what;
    if (w == "master") return "HV4412-7730-K28-Master-" + version + ".hex";
    if (w == "iomcu") return "HV4412-7730-K28-IOMCU-" + version + ".hex";
    return "E8-BV-" + version + ".hex";
}

std::string EpReleaseName(int row, int bank, const std::string& version) {
    return EpFamilyDir(row) + "/" + EpBase(row) + "-" + version + ".h0" + std::to_string(bank);
}

bool BuildPackage(const std::string& tarGzPath, const PackageImages& images, std::string* err) {
    TempRoot scratch;
    std::string top = scratch.path() + "/McuUpdate/";
    MkdirP(top);
    if (!images.master.empty()) WriteFile(top + ReleaseName("master", images.version), images.master);
    if (!images.ioMcu.empty()) WriteFile(top + ReleaseName("iomcu", images.version), images.ioMcu);
    if (!images.bv.empty()) WriteFile(top + ReleaseName("bv", images.version), images.bv);
    if (!images.versionJson.empty()) WriteFile(top + "version.json", images.versionJson);
    for (int row = 0; row < 3; row++)
        for (int bank = 0; bank < 3; bank++)
            if (!images.ep[row][bank].empty())
                WriteFile(top + EpReleaseName(row, bank, images.version), images.ep[row][bank]);
    std::string cmd = "tar -czf '" + tarGzPath + "' -C '" + scratch.path() + "' McuUpdate 2>&1";
    int st = system(cmd.c_str());
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
        if (err) *err = "tar failed: " + cmd;
        return false;
    }
    return true;
}

}  // namespace sim
