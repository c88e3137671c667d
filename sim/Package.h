// Update packages as vela uploads them: a tar.gz with the top directory
// "McuUpdate" and the images under their release file names.
#pragma once

#include <string>

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
std::string ReleaseName(const char* what, const std::string& version);          // "master", "iomcu", "bv"
std::string EpReleaseName(int row, int bank, const std::string& version);      // e.g. EP91A6SQ/...-V1.0.h00
// The folder of an EP family (a row of g_aIspEpFamilies) in the package.
std::string EpFamilyDir(int row);

}  // namespace sim
