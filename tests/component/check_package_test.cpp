// fwtool check-package on real packages: the agent's own staging, then every
// image judged by the agent's loader and by the devices' own reading.
#include <gtest/gtest.h>

#include <functional>

#include "HexWriter.h"
#include "Package.h"
#include "testing.h"

using namespace fwtest;

TEST(CheckPackage, JudgesEveryImageAndNamesWhatIsWrong) {
    using Spoil = std::function<void(sim::PackageImages&)>;
    const struct {
        Spoil spoil;
        int rc;
        std::vector<std::string> shows;
    } cases[] = {
        {[](sim::PackageImages&) {}, 0, {"every target has a valid image"}},
        {[](sim::PackageImages& p) { p.bv[1] = p.bv[1] == '0' ? '1' : '0'; }, 1, {"cksum<6> is error", "NOT complete"}},
        {[](sim::PackageImages& p) { p.ioMcu.clear(); }, 1, {"no image: the upgrade skips this MCU"}},
        {[](sim::PackageImages& p) { p.master.resize(p.master.size() / 2); }, 1, {"MASTER.hex", "refused"}},
        // Only the end record: the loader refuses what a device would take.
        {[](sim::PackageImages& p) { p.ep[1][2] = ":00000001FF\r\n"; },
         1,
         {"address overflow and MaxAddr is <0x0>!", "DISAGREE on 1 image"}},
    };
    for (const auto& c : cases) {
        TempRoot root;
        sim::PackageImages p;
        p.master = sim::ImageToHex(sim::SampleImage(1, {{0x00, 0x0F}}));
        p.ioMcu = sim::ImageToHex(sim::SampleImage(2, {{0x00, 0x07}}));
        p.bv = sim::ImageToHex(sim::SampleImage(3, {{0x00, 0x8F}}));
        for (int i = 0; i < 9; i++) p.ep[i / 3][i % 3] = sim::ImageToHex(sim::SampleImage(10 + i, {{0x80, 0x9F}}));
        p.versionJson = "{\"v\":\"2\"}";
        c.spoil(p);
        std::string err, out;
        ASSERT_TRUE(sim::BuildPackage(root.path() + "/pkg.tar.gz", p, &err)) << err;
        EXPECT_EQ(Fwtool({"check-package", root.path() + "/pkg.tar.gz"}, &out), c.rc) << out;
        for (const std::string& s : c.shows) EXPECT_NE(out.find(s), std::string::npos) << s << "\n" << out;
    }
}
