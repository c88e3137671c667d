// fwtool simulate --agent runs the unmodified mgtask in private namespaces
// against the emulated board and checks it, record and trees included. The
// light package (master and IO MCU, about 40 s; the whole one takes 30 min).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

#include "BlackBox.h"
#include "HexWriter.h"
#include "Package.h"
#include "TreeState.h"
#include "testing.h"

namespace {

// The web account beside the agent: $1 a directory root owns, $2 another
// package, $3 fwtool. It lays a link where the package used to be unpacked;
// once the order is sent it moves whatever is there aside for a link to
// /dev; once the agent has taken the package it rewrites it in place, moves
// the staging place aside again for a link to $1, and orders again. The
// rewrite and the order must work; the swaps race an agent that still stages
// there, and only say when they lose.
const char kAttack[] = R"(set -u
outside=$1 other=$2 fwtool=$3 home=/home/ubuntu
step() { "$@" || { echo "beside: $event: $* failed" >&2; exit 1; }; }
rewrite() { cat "$other" > $home/McuUpdate.tar.gz; }
swap() {
    mv -T $home/McuUpdate $home/McuUpdate.$event 2> /dev/null
    ln -s "$1" $home/McuUpdate 2> /dev/null || echo "beside: $event: McuUpdate taken back meanwhile" >&2
}
while read -r event; do
    case $event in
    orders) step ln -s "$outside" $home/McuUpdate ;;
    package-sent) swap /dev ;;
    package-taken)
        step rewrite
        swap "$outside"
        step "$fwtool" vela --report-port 1154 --wait 0 package > /dev/null ;;
    esac
done
)";

// Drivers: run as root on the board with $1 fwtool.
const char kOrderAndWait[] = R"sh(set -u
touch /tmp/first-boot
"$1" vela --report-port 1154 --wait 0 send 251 first-order > /dev/null || exit 1
sleep 300
echo "boot 1: the board never went down"
exit 1
)sh";

// For the drivers of a later boot.
const char kDriverHelpers[] = R"sh(set -u
rec=/var/lib/mgtask/last-run now=$(cat /proc/sys/kernel/random/boot_id)
fail() { echo "boot 2: $*"; exit 1; }
field() { sed -n "s/^$1=//p" $rec; }
order() {
    "$fwtool" vela --report-port 1154 --wait 0 send 251 "$1" > /dev/null || fail "order $1 not sent"
    for i in $(seq 300); do
        [ "$(field order_id)" = "$1" ] && break
        sleep 0.1
    done
    [ "$(field order_id)" = "$1" ] || fail "order $1 not taken"
    [ "$(field boot_id)" = "$now" ] || fail "order $1 recorded with boot id '$(field boot_id)', not $now"
}
fwtool=$1
)sh";

// After the agent's reboot: a new boot id, a fresh /tmp, the first order's
// record; then another order, recorded with the new boot's id.
const char kSecondBoot[] = R"sh(
[ ! -e /tmp/first-boot ] || fail "/tmp kept the first boot's file"
[ "$(field order_id)" = first-order ] || fail "record of order '$(field order_id)'"
[ -n "$(field boot_id)" ] && [ "$(field boot_id)" != "$now" ] || fail "boot id $now as before"
order second-order
)sh";

// After the power cut: the record says where, and a new order is taken.
const char kAfterCut[] = R"sh(
[ "$(field phase)/$(field current)" = interrupted/MASTER ] || fail "record: $(field phase) at $(field current)"
order after-cut
)sh";

struct BlackBoxRow {
    const char* name;
    bool attack;  // the web account works against the upgrade beside the agent
    // Drivers in place of vela's package order (nullptr: vela's stand-in orders).
    const char* driver;
    const char* secondBoot;
    const char* powerCut;             // --power-cut-at
    std::vector<std::string> record;  // lines the result record must hold at the end
};

void PrintTo(const BlackBoxRow& r, std::ostream* os) { *os << r.name; }

class MgTaskBlackBox : public testing::TestWithParam<BlackBoxRow> {};

// Images other than the run's, under the names a misled agent would read.
void Decoys(const std::string& outside, const std::string& otherPackage) {
    sim::PackageImages other;
    other.master = sim::ImageToHex(sim::SampleImage(9060, {{0x00, 0x3F}}));
    other.ioMcu = sim::ImageToHex(sim::SampleImage(9070, {{0x00, 0x1F}}));
    other.versionJson = "{\"version\":\"other\"}";
    std::string err;
    ASSERT_TRUE(sim::BuildPackage(otherPackage, other, &err)) << err;
    sim::WriteFile(outside + "/MASTER.hex", other.master);
    sim::WriteFile(outside + "/IOMCU.hex", other.ioMcu);
    sim::WriteFile(outside + "/" + sim::ReleaseName("master", other.version), other.master);
    sim::WriteFile(outside + "/" + sim::ReleaseName("iomcu", other.version), other.ioMcu);
    sim::WriteFile(outside + "/version.json", other.versionJson);
}

TEST_P(MgTaskBlackBox, PassesEveryCheck) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for private mount, network and PID namespaces";
    // The web account reads the attack's files here (only root writes), so
    // every directory on the way must let it through: not the test's TMPDIR,
    // which may lie in a directory of root's own.
    struct WebReadable {
        std::string dir;
        WebReadable() {
            char tmpl[] = "/tmp/fwagent-web-XXXXXX";
            if (mkdtemp(tmpl) == nullptr || chmod(tmpl, 0755) != 0) throw std::runtime_error("no scratch directory");
            dir = tmpl;
        }
        ~WebReadable() { sim::RemoveTree(dir); }
        const std::string& path() const { return dir; }
    } scratch;
    const std::string outside = scratch.path() + "/outside", other = scratch.path() + "/other.tar.gz";
    const std::string out = scratch.path() + "/simulate.txt";
    Decoys(outside, other);
    sim::WriteFile(scratch.path() + "/attack.sh", kAttack);
    // A copy the web account can run wherever the build tree lies.
    const std::string fwtool = scratch.path() + "/fwtool";
    std::filesystem::copy_file(FWTOOL_PATH, fwtool);
    const BlackBoxRow& row = GetParam();
    const std::string record = scratch.path() + "/last-run", drivers = scratch.path() + "/drivers.txt";
    std::vector<std::string> argv = {FWTOOL_PATH, "simulate", "--agent", MGTASK_PATH, "--light", "--record", record};
    if (row.attack)
        argv.insert(argv.end(),
                    {"--beside", "bash " + scratch.path() + "/attack.sh " + outside + " " + other + " " + fwtool});
    auto script = [&](const std::string& name, const std::string& text) {
        sim::WriteFile(scratch.path() + "/" + name, text);
        return "bash " + scratch.path() + "/" + name + " " + FWTOOL_PATH;
    };
    if (row.driver) argv.insert(argv.end(), {"--driver", script("boot1.sh", row.driver), "--driver-output", drivers});
    if (row.secondBoot)
        argv.insert(argv.end(), {"--second-boot", script("boot2.sh", std::string(kDriverHelpers) + row.secondBoot)});
    if (row.powerCut) argv.insert(argv.end(), {"--power-cut-at", row.powerCut});
    const sim::TreeState before = sim::ReadTreeState({outside});
    int rc = sim::WaitProgram(sim::SpawnProgram(argv, out));
    EXPECT_EQ(rc, 0) << fwtest::ReadFile(out) << fwtest::ReadFile(drivers);
    const std::string recorded = "\n" + fwtest::ReadFile(record);
    for (const std::string& line : row.record)
        EXPECT_NE(recorded.find("\n" + line + "\n"), std::string::npos) << line << " in" << recorded;
    auto changed =
        sim::TreeChanges(before, sim::ReadTreeState({outside}),
                         [](const std::string&, const sim::TreeEntry*, const sim::TreeEntry*) { return false; });
    std::string list;
    for (const std::string& c : changed) list += " " + c;
    EXPECT_EQ(list, "") << "changed outside";
}

// clang-format off
const BlackBoxRow kRows[] = {
    {"Light",                     false, nullptr,       nullptr,     nullptr,     {"verdict=success"}},
    {"LightWithWebAccountBeside", true,  nullptr,       nullptr,     nullptr,     {"verdict=success"}},
    // The agent's own reboot, then a second boot that orders again.
    {"SecondBootAfterReboot",     false, kOrderAndWait, kSecondBoot, nullptr,
     {"order_id=second-order", "phase=rebooting", "verdict=success"}},
    // Cut mid-master: the second boot finds it interrupted there, and a new
    // order flashes the master whole (the summary judges the devices).
    {"PowerCutMidMaster",         false, kOrderAndWait, kAfterCut,   "MASTER:50",
     {"order_id=after-cut", "phase=rebooting", "verdict=success"}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, MgTaskBlackBox, testing::ValuesIn(kRows), fwtest::LegendName());

}  // namespace
