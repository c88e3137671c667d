#include "Package.h"

#include <stdlib.h>
#include <sys/wait.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "QxLog.h"
#include "Sandbox.h"
#include "Taskfile2mcu.h"
#include "Taskfile2mcu_Isp.h"
#include "Udp2vela.h"

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
    std::string out;
    if (RunArgv({"tar", "-czf", tarGzPath, "-C", scratch.path(), "McuUpdate"}, &out) != 0) {
        if (err) *err = "tar failed: " + out;
        return false;
    }
    return true;
}

}  // namespace sim

namespace sim {

namespace {
std::string s_complaint;
QxLogHook s_host = nullptr;
void* s_hostUser = nullptr;

void KeepComplaint(int stream, const char* text, size_t len, void*) {
    if (s_host) s_host(stream, text, len, s_hostUser);
    std::string line(text, len);
    if (s_complaint.empty() && line.compare(0, 6, "######") == 0)
        s_complaint = line.substr(6, line.find_last_not_of("\r\n ") - 5);
}

void Load(const TempRoot& root, const std::string& boardPath, bool isp, LoadedImage* out) {
    out->present = root.exists(boardPath);
    if (!out->present) return;
    out->text = root.read(boardPath);
    if (!isp) {
        // Pushed raw: the agent checks the text whole before it sends any.
        char why[128] = "";
        int fd = open(root.file(boardPath).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || HexCheckImage(fd, why, sizeof(why)) != 0) out->refused = fd < 0 ? "cannot open" : why;
        if (fd >= 0) close(fd);
        return;
    }
    CTaskfile2mcu task;
    s_complaint.clear();
    if (task.ProcessReadUpgradeFile(root.file(boardPath).c_str()) != 0)
        out->refused = s_complaint.empty() ? "refused" : s_complaint;
    else
        out->flash.assign(g_FlashBuf, g_FlashBuf + QX_FLASHBUF_LEN);
}
}  // namespace

StagedPackage StageWithAgent(const TempRoot& root, QxLogHook host, void* hostUser) {
    s_host = host;
    s_hostUser = hostUser;
    QxLog_SetHook(&KeepComplaint, nullptr);
    {
        // The agent's own staging; without a task object no upgrade starts.
        CUdpListen2vela link;
        link.Task_UpdateFile_Path();
    }
    StagedPackage s;
    Load(root, QX_MASTER_HEX, false, &s.master);
    Load(root, QX_IOMCU_HEX, false, &s.ioMcu);
    Load(root, QX_BV_HEX, true, &s.bv);
    for (int row = 0; row < 3; row++)
        for (int bank = 0; bank < 3; bank++)
            Load(root, std::string(g_aIspEpFamilies[row].pBasePath) + ".h0" + std::to_string(bank), true,
                 &s.ep[row][bank]);
    s.hasVersion = root.exists(QX_VERSION_JSON);
    if (s.hasVersion) s.versionJson = root.read(QX_VERSION_JSON);
    QxLog_SetHook(host, hostUser);
    namespace fs = std::filesystem;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root.file(QX_UPDATE_DIR), ec), end; !ec && it != end; it.increment(ec)) {
        std::string name = it->path().filename().string();
        bool staged = name == "MASTER.hex" || name == "IOMCU.hex" || name == "BV.hex" ||
                      (name.size() > 4 && name.compare(name.size() - 4, 3, ".h0") == 0 && name.back() >= '0' &&
                       name.back() <= '2');
        if (it->is_regular_file() && !staged)
            s.leftovers.push_back(fs::relative(it->path(), root.file(QX_UPDATE_DIR)).string());
    }
    std::sort(s.leftovers.begin(), s.leftovers.end());
    return s;
}

}  // namespace sim
