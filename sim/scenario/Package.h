// Update packages as vela uploads them: a tar.gz with the top directory
// "McuUpdate" and the images under their release file names.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "QxLog.h"
#include "Sandbox.h"

namespace sim {

struct PackageImages {
    // Empty strings leave a file out of the package.
    std::string master, ioMcu, bv, versionJson;
    // [row][bank]: rows EP91A6SQ, EP9162SQ, Input; banks .h00 .h01 .h02.
    std::string ep[3][3];
    std::string version = "V1.0";  // version text in the release names
};

// Builds the package at tarGzPath with the system's tar and gzip; false with *err on failure.
bool BuildPackage(const std::string& tarGzPath, const PackageImages& images, std::string* err);

// The release file names, relative to the package's top directory.
std::string ReleaseName(const char* what, const std::string& version);     // "master", "iomcu", "bv"
std::string EpReleaseName(int row, int bank, const std::string& version);  // e.g. EP91A6SQ/...-V1.0.h00
// The folder of an EP family (a row of g_aIspEpFamilies) in the package.
std::string EpFamilyDir(int row);

}  // namespace sim

namespace sim {

// One staged image and what the agent's loader makes of it.
struct LoadedImage {
    bool present = false;
    std::string text;            // the staged file
    std::string refused;         // "" when the loader takes it, else the loader's first complaint
    std::vector<uint8_t> flash;  // the loader's 65,536-byte image (EP and BV images only)
};

struct StagedPackage {
    LoadedImage master, ioMcu, bv;
    LoadedImage ep[3][3];  // [row][bank] as in PackageImages
    bool hasVersion = false;
    std::string versionJson;
    std::vector<std::string> leftovers;  // staged files no rename took
};

// Stages the package at root's upload path with the agent's own commands and
// judges every image with the agent's own loader (EP and BV) or raw-image
// check (master, IO MCU). The board profile
// must point at root, and no agent may run in this process yet (the loader's
// buffers are process-wide). The agent's log goes on to host while it stages,
// and host is the log hook afterwards.
StagedPackage StageWithAgent(const TempRoot& root, QxLogHook host = nullptr, void* hostUser = nullptr);

}  // namespace sim
