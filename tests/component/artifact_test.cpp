// fwtool artifact on real packages, read back by Debian's mender-artifact.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sstream>

#include "HexWriter.h"
#include "Package.h"
#include "testing.h"

using namespace fwtest;

namespace {

const std::string kMenderBin = std::string(FWAGENT_MENDER_DIR) + "/usr/bin";

enum PackageKind { kGood, kBadMaster, kLinkMember, kVersionOnly };

struct ArtifactCase {
    const char* name;
    PackageKind package;
    bool tool;  // mender-artifact in PATH
    bool sign;
    std::string version, deviceType;
    int rc;
    std::vector<std::string> says;   // in fwtool's output
    std::vector<std::string> reads;  // in mender-artifact's reading of the artifact
};

// clang-format off
const ArtifactCase kCases[] = {
    {"Unsigned", kGood, true, false, "2.5", "matrix-board", 0,
     {"no image for: BV.hex", "wrote", "not signed"},
     {"Name: matrix-mcu-2.5", "Type:   matrix-mcu", "rootfs-image.matrix-mcu.version: 2.5",
      "Compatible devices: '[matrix-board]'", "\"board_model\": \"HV4412-7730-K28\"", "Signature: no signature",
      "name:     pkg.tar.gz"}},
    {"SignedWithKey", kGood, true, true, "2.6-rc1", "hv4412", 0, {"signed"},
     {"Signature: signed and verified correctly", "rootfs-image.matrix-mcu.version: 2.6-rc1",
      "Compatible devices: '[hv4412]'"}},
    {"ImageTheLoaderRefuses", kBadMaster, true, false, "2.5", "matrix-board", 1,
     {"MASTER.hex", "refused", "would not flash as it is"}, {}},
    {"PackageTheAgentRefuses", kLinkMember, true, false, "2.5", "matrix-board", 1,
     {"the agent would refuse", "is neither a file nor a directory"}, {}},
    {"NoImageAtAll", kVersionOnly, true, false, "2.5", "matrix-board", 1, {"holds no image the agent would flash"}, {}},
    {"WithoutMenderArtifact", kGood, false, false, "2.5", "matrix-board", 1,
     {"mender-artifact is not installed", "apt-get install mender-artifact"}, {}},
    {"VersionWithSpace", kGood, true, false, "2 5", "matrix-board", 1, {"--version [2 5] holds a space"}, {}},
    {"EmptyDeviceType", kGood, true, false, "2.5", "", 1, {"--device-type is empty"}, {}},
};
// clang-format on

void PrintTo(const ArtifactCase& c, std::ostream* os) { *os << c.name; }

std::string MakePackage(const TempRoot& root, PackageKind kind) {
    std::string path = root.path() + "/pkg.tar.gz", err;
    if (kind == kLinkMember) {
        root.write("/src/McuUpdate/version.json", "{}");
        EXPECT_EQ(symlink("/etc/shadow", root.file("/src/McuUpdate/HV4412-7730-K28-Master-V1.hex").c_str()), 0);
        EXPECT_EQ(RunArgv({"tar", "-czf", path, "-C", root.file("/src"), "McuUpdate"}), 0);
        return path;
    }
    sim::PackageImages p;
    if (kind != kVersionOnly) {
        p.master = sim::ImageToHex(sim::SampleImage(1, {{0x00, 0x0F}}));
        p.ioMcu = sim::ImageToHex(sim::SampleImage(2, {{0x00, 0x07}}));
    }
    if (kind == kBadMaster) p.master.resize(p.master.size() / 2);
    p.versionJson = "{\"v\":\"2\"}";
    EXPECT_TRUE(sim::BuildPackage(path, p, &err)) << err;
    return path;
}

class Artifact : public ::testing::TestWithParam<ArtifactCase> {};

TEST_P(Artifact, RefusesWhatWouldNotFlashAndWritesWhatTheClientReads) {
    const ArtifactCase& c = GetParam();
    if (c.tool && access((kMenderBin + "/mender-artifact").c_str(), X_OK) != 0)
        GTEST_SKIP() << "no mender-artifact in " << kMenderBin << ": run scripts/mender-tools.sh " FWAGENT_MENDER_DIR;
    if (!c.tool && access("/usr/bin/mender-artifact", X_OK) == 0)
        GTEST_SKIP() << "mender-artifact is installed on this machine: cannot try without it";
    TempRoot root;
    std::string pkg = MakePackage(root, c.package), out = root.path() + "/out/a.mender", said;
    root.mkdirs("/out");
    // Only the unpacked tool, and the system's programs, in PATH.
    root.mkdirs("/bin");
    if (c.tool) {
        ASSERT_EQ(symlink((kMenderBin + "/mender-artifact").c_str(), root.file("/bin/mender-artifact").c_str()), 0);
    }
    std::vector<std::string> argv = {"env", "PATH=" + root.file("/bin") + ":/usr/sbin:/usr/bin:/sbin:/bin"};
    std::istringstream fwtool(FWTOOL_PATH);
    for (std::string w; fwtool >> w;) argv.push_back(w);
    argv.insert(argv.end(), {"artifact", pkg, "--version", c.version, "--device-type", c.deviceType, "-o", out});
    if (c.sign) {
        std::string keyOut;
        ASSERT_EQ(
            RunArgv({"openssl", "ecparam", "-genkey", "-name", "prime256v1", "-noout", "-out", root.file("/key.pem")},
                    &keyOut),
            0)
            << keyOut;
        ASSERT_EQ(
            RunArgv({"openssl", "ec", "-in", root.file("/key.pem"), "-pubout", "-out", root.file("/pub.pem")}, &keyOut),
            0)
            << keyOut;
        argv.insert(argv.end(), {"--key", root.file("/key.pem")});
    }
    EXPECT_EQ(RunArgv(argv, &said), c.rc) << said;
    for (const std::string& s : c.says) EXPECT_NE(said.find(s), std::string::npos) << s << "\n" << said;
    // A refusal leaves no artifact, not even a half one.
    if (c.rc != 0) {
        EXPECT_FALSE(root.exists("/out/a.mender"));
        EXPECT_EQ(RunCommand("ls -A " + root.file("/out"), &said), 0);
        EXPECT_EQ(said, "");
        return;
    }
    std::vector<std::string> read = {kMenderBin + "/mender-artifact", "read"};
    if (c.sign) read.insert(read.end(), {"-k", root.file("/pub.pem")});
    read.push_back(out);
    std::string reading;
    ASSERT_EQ(RunArgv(read, &reading), 0) << reading;
    for (const std::string& s : c.reads) EXPECT_NE(reading.find(s), std::string::npos) << s << "\n" << reading;
}

INSTANTIATE_TEST_SUITE_P(Rows, Artifact, ::testing::ValuesIn(kCases), fwtest::LegendName());

}  // namespace
