// fwtool check-package on real packages: the agent's own staging, then every image judged.
#include <gtest/gtest.h>

#include "HexWriter.h"
#include "Package.h"
#include "testing.h"

using namespace fwtest;

namespace {
sim::PackageImages Complete() {
    sim::PackageImages p;
    p.master = sim::ImageToHex(sim::SampleImage(1, {{0x00, 0x0F}}));
    p.ioMcu = sim::ImageToHex(sim::SampleImage(2, {{0x00, 0x07}}));
    p.bv = sim::ImageToHex(sim::SampleImage(3, {{0x00, 0x8F}}));
    for (int row = 0; row < 3; row++)
        for (int bank = 0; bank < 3; bank++) p.ep[row][bank] = sim::ImageToHex(sim::SampleImage(10 + row * 3 + bank, {{0x80, 0x9F}}));
    p.versionJson = "{\"v\":\"2\"}";
    return p;
}

int Check(const TempRoot& root, const sim::PackageImages& images, std::string* out) {
    std::string err;
    EXPECT_TRUE(sim::BuildPackage(root.path() + "/pkg.tar.gz", images, &err)) << err;
    return RunCommand(std::string(FWTOOL_PATH) + " check-package " + root.path() + "/pkg.tar.gz", out);
}
}  // namespace

TEST(CheckPackage, CompletePackagePasses) {
    TempRoot root;
    std::string out;
    EXPECT_EQ(Check(root, Complete(), &out), 0) << out;
    EXPECT_NE(out.find("every target has a valid image"), std::string::npos) << out;
    EXPECT_NE(out.find("BV.hex (BV ports 1-8)"), std::string::npos);
}

TEST(CheckPackage, BrokenOrMissingImagesAreNamed) {
    TempRoot root;
    sim::PackageImages p = Complete();
    p.bv[1] = p.bv[1] == '0' ? '1' : '0';       // a checksum that no longer adds up
    p.ioMcu.clear();                             // no IO MCU image
    p.ep[1][2] = ":00000001FF\r\n";              // only the end record
    p.master = p.master.substr(0, p.master.size() / 2);  // cut: no end record
    std::string out;
    EXPECT_EQ(Check(root, p, &out), 1) << out;
    EXPECT_NE(out.find("######cksum<"), std::string::npos) << out;
    EXPECT_NE(out.find("IOMCU.hex"), std::string::npos);
    EXPECT_NE(out.find("missing: the upgrade skips this MCU"), std::string::npos);
    EXPECT_NE(out.find("######address overflow and MaxAddr is <0x0>!"), std::string::npos) << out;
    EXPECT_NE(out.find("MASTER.hex"), std::string::npos);
    EXPECT_NE(out.find("the package is NOT complete"), std::string::npos);
}

TEST(CheckPackage, UnreadablePackageIsRefused) {
    std::string out;
    EXPECT_EQ(RunCommand(std::string(FWTOOL_PATH) + " check-package /nonexistent/pkg.tar.gz", &out), 1);
    EXPECT_NE(out.find("cannot read"), std::string::npos) << out;
}
