// Debian's Mender client (unpacked by scripts/mender-tools.sh) installs fwtool
// artifacts through the matrix-mcu module against the production agent in
// fwtool simulate --agent's namespaces, standalone, across reboots and power cuts.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "BlackBox.h"
#include "HexWriter.h"
#include "Package.h"
#include "testing.h"

using namespace fwtest;

namespace {

const std::string kMenderBin = std::string(FWAGENT_MENDER_DIR) + "/usr/bin";

// Every boot's driver starts with this: $1 the unpacked client's bin
// directory, $2 the update module, $3 the test's work directory, $4 fwtool.
const char kPrelude[] = R"sh(set -u
bin=$1 module=$2 work=$3 fwtool=$4
# The client's fixed paths are made in a mount namespace of our own, /etc and
# /usr/share seen through links to the host's entries: the host stays as it is.
if [ "${MENDER_E2E_NS:-}" != 1 ]; then
    exec env MENDER_E2E_NS=1 unshare --mount --propagation private bash "$0" "$@"
fi
ns=$(mktemp -d "$work/ns.XXXXXX") || exit 1
through_links() {
    local held=$ns/held.$2 view=$ns/view.$2
    mkdir "$held" "$view" && mount --rbind "$1" "$held" &&
        (shopt -s dotglob nullglob && ln -s "$held"/* "$view"/) &&
        find "$held"/ -mindepth 1 -maxdepth 1 -type l -exec cp -P --remove-destination -t "$view" {} + &&
        rm -f "$view/mender" && mount --bind "$view" "$1"
}
through_links /etc etc && through_links /usr/share share &&
    mkdir -p /etc/mender /usr/share/mender/modules/v3 &&
    echo artifact_name=factory-image > /etc/mender/artifact_info &&
    touch /usr/share/mender/modules/v3/matrix-mcu &&
    mount --bind "$module" /usr/share/mender/modules/v3/matrix-mcu || { echo "setup: client paths not made"; exit 1; }

tree=$work/data/modules/v3/payloads/0000/tree
rec=/var/lib/mgtask/last-run
client() {
    echo "---- mender $*"
    "$bin/mender" -c "$work/mender.conf" -b "$work/mender.conf" -d "$work/data" --no-syslog -l info "$@" 2>&1
    echo "mender $1: rc=$?"
}
shows() {
    local q=("$bin/mender" -c "$work/mender.conf" -b "$work/mender.conf" -d "$work/data" --no-syslog -l error)
    echo "artifact: $("${q[@]}" show-artifact 2> /dev/null)"
    "${q[@]}" show-provides 2> /dev/null | sed 's/^/provides: /'
}
field() { sed -n "s/^$1=//p" $rec 2> /dev/null; }
record() {
    local id at
    [ -r $rec ] || { echo "record: none"; return; }
    id=$(field order_id) at=$(field current)
    [ -n "$id" ] && [ "$id" = "$(cat "$work/order_id" 2> /dev/null)" ] && id=ours
    echo "record: order $id, phase $(field phase)${at:+ at $at}, verdict $(field verdict)"
}
package() {
    local p=/home/ubuntu/McuUpdate.tar.gz what=absent
    if [ -f $p ]; then
        what="uid $(stat -c %u $p), "
        if cmp -s $p "$work/package.tar.gz"; then what+="the artifact's package"; else what+="another file"; fi
    fi
    echo "package path: $what"
    if compgen -G "/home/ubuntu/.McuUpdate*" > /dev/null; then echo "package path: leftover beside it"; fi
}
# The daemon's ArtifactReboot state, which a standalone install leaves out.
order() {
    cp "$tree/tmp/matrix-mcu/order_id" "$work/order_id" || { echo "no order id kept"; return; }
    echo "---- ArtifactReboot"
    /usr/share/mender/modules/v3/matrix-mcu ArtifactReboot "$tree" 2>&1
    echo "ArtifactReboot: rc=$?"
}
stop_agent() {
    local pid i
    pid=$(ss -Hulpn 'sport = :1158' | sed -n 's/.*pid=\([0-9]*\).*/\1/p' | head -n 1)
    [ -n "$pid" ] || { echo "agent: not on the order port"; exit 1; }
    kill "$pid"
    for i in $(seq 100); do
        ss -Hul 'sport = :1158' | grep -q . || { echo "agent: down"; return; }
        sleep 0.1
    done
    echo "agent: still on the order port"
    exit 1
}
vela_order() {
    local i
    "$fwtool" vela --report-port 1154 --wait 0 send 251 vela-order > /dev/null || { echo "vela: not sent"; exit 1; }
    for i in $(seq 600); do
        if [ "$(field order_id)/$(field phase)" = vela-order/flashing ]; then
            echo "vela: order flashing"
            return
        fi
        sleep 0.1
    done
    echo "vela: order not flashing"
    exit 1
}
)sh";

// What the boots do.
const char kInstallAndOrder[] = R"sh(
client install "$work/artifact.mender"
package
order
)sh";
const char kCommit[] = R"sh(
client commit
shows
record
package
)sh";
const char kInstallOnly[] = R"sh(
client install "$work/artifact.mender"
package
record
shows
)sh";
const char kAgentDown[] = R"sh(
stop_agent
client install "$work/artifact.mender"
package
record
shows
)sh";
const char kWhileVelasRuns[] = R"sh(
vela_order
client install "$work/artifact.mender"
package
record
shows
)sh";

enum Artifact { kSigned, kUnsigned, kOtherDevice };

struct E2eRow {
    const char* name;
    Artifact artifact;
    bool keyRequired;  // the client's configuration names the public key
    const char* faults;
    const char* powerCut;
    std::vector<std::string> boots;  // each boot's driver
    int reboots;                     // the agent's reboots
    // In the drivers' output, in this order; and nowhere in it.
    std::vector<std::string> says, never;
    std::vector<std::string> record;  // lines of the result record at the end; empty: no record
};

void PrintTo(const E2eRow& r, std::ostream* os) { *os << r.name; }

class MenderE2e : public testing::TestWithParam<E2eRow> {};

// This build's agent, or another (the armhf build's).
std::string AgentUnderTest() {
    const char* a = getenv("FWAGENT_E2E_AGENT");
    return a && *a ? a : MGTASK_PATH;
}

// Master and IO MCU images only: a BV image costs each of eight ports about 50 s.
std::string MakePackage(const std::string& path) {
    sim::PackageImages p;
    p.master = sim::ImageToHex(sim::SampleImage(160, {{0x00, 0x3F}}));
    p.ioMcu = sim::ImageToHex(sim::SampleImage(170, {{0x00, 0x1F}}));
    p.versionJson = "{\"version\":\"e2e\"}";
    std::string err;
    return sim::BuildPackage(path, p, &err) ? "" : err;
}

// Runs argv; "" when it exited 0, else what it printed.
std::string Ran(const std::vector<std::string>& argv) {
    std::string out;
    return RunArgv(argv, &out) == 0 ? "" : argv[0] + ": " + out;
}

std::string Prepare(const std::string& work, const E2eRow& row) {
    std::string err = MakePackage(work + "/package.tar.gz");
    if (err.empty() && (row.artifact == kSigned || row.keyRequired)) {
        err = Ran({"openssl", "ecparam", "-genkey", "-name", "prime256v1", "-noout", "-out", work + "/key.pem"});
        if (err.empty()) err = Ran({"openssl", "ec", "-in", work + "/key.pem", "-pubout", "-out", work + "/key.pub"});
    }
    if (!err.empty()) return err;
    const std::string path = "PATH=" + kMenderBin + ":/usr/sbin:/usr/bin:/sbin:/bin";
    const std::string type = row.artifact == kOtherDevice ? "other-board" : "hv4412";
    std::vector<std::string> make = {"env", path, FWTOOL_PATH, "artifact", work + "/package.tar.gz"};
    make.insert(make.end(), {"--version", "1.0", "--device-type", type, "-o", work + "/artifact.mender"});
    if (row.artifact == kSigned) make.insert(make.end(), {"--key", work + "/key.pem"});
    if (!(err = Ran(make)).empty()) return err;
    sim::MkdirP(work + "/data");
    sim::WriteFile(work + "/device_type", "device_type=hv4412\n");
    std::string conf = "{\"DeviceTypeFile\": \"" + work + "/device_type\"";
    if (row.keyRequired) conf += ", \"ArtifactVerifyKey\": \"" + work + "/key.pub\"";
    sim::WriteFile(work + "/mender.conf", conf + "}\n");
    return "";
}

TEST_P(MenderE2e, ClientModuleAndAgent) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for the board's namespaces";
    if (access((kMenderBin + "/mender").c_str(), X_OK) != 0 ||
        access((kMenderBin + "/mender-artifact").c_str(), X_OK) != 0)
        GTEST_SKIP() << "no Mender client in " << kMenderBin << ": run scripts/mender-tools.sh " FWAGENT_MENDER_DIR;
    const E2eRow& row = GetParam();
    TempRoot scratch;
    const std::string work = scratch.path();
    // Driver commands are split at spaces.
    const std::string args = kMenderBin + " " + FWAGENT_MENDER_MODULE + " " + work + " " + FWTOOL_PATH;
    ASSERT_EQ(std::count(args.begin(), args.end(), ' '), 3) << args;
    ASSERT_EQ(Prepare(work, row), "");

    const std::string record = work + "/last-run", drivers = work + "/drivers.txt", out = work + "/simulate.txt";
    std::vector<std::string> argv = {FWTOOL_PATH, "simulate", "--agent", AgentUnderTest(), "--quiet"};
    argv.insert(argv.end(), {"--package", work + "/package.tar.gz", "--record", record, "--driver-output", drivers});
    const char* runner = getenv("FWAGENT_E2E_RUNNER");
    if (runner && *runner) argv.insert(argv.end(), {"--agent-runner", runner});
    for (size_t b = 0; b < row.boots.size(); b++) {
        const std::string script = work + "/boot" + std::to_string(b + 1) + ".sh";
        sim::WriteFile(script, std::string(kPrelude) + row.boots[b]);
        argv.insert(argv.end(), {b == 0 ? "--driver" : "--second-boot", "bash " + script + " " + args});
    }
    if (row.faults) argv.insert(argv.end(), {"--faults", row.faults});
    if (row.powerCut) argv.insert(argv.end(), {"--power-cut-at", row.powerCut});

    const int rc = sim::WaitProgram(sim::SpawnProgram(argv, out));
    const std::string summary = sim::ReadFile(out), output = sim::ReadFile(drivers);
    EXPECT_EQ(rc, 0) << "fwtool simulate's checks";
    size_t at = 0;
    for (const std::string& s : row.says) {
        size_t found = output.find(s, at);
        EXPECT_NE(found, std::string::npos) << "[" << s << "] after offset " << at;
        if (found != std::string::npos) at = found + s.size();
    }
    for (const std::string& s : row.never) EXPECT_EQ(output.find(s), std::string::npos) << s;
    EXPECT_EQ(output.find("leftover"), std::string::npos);
    std::smatch m;
    const std::regex reboots("no device held the line when the board rebooted +ok +([0-9]+) reboots");
    if (std::regex_search(summary, m, reboots)) {
        EXPECT_EQ(std::stoi(m[1]), row.reboots) << "reboots";
    } else {
        ADD_FAILURE() << "no count of reboots in the summary";
    }
    const std::string recorded = "\n" + sim::ReadFile(record);
    if (row.record.empty()) {
        EXPECT_EQ(recorded, "\n") << "a record where no order was taken";
    }
    for (const std::string& line : row.record)
        EXPECT_NE(recorded.find("\n" + line + "\n"), std::string::npos) << line << " in" << recorded;
    if (HasFailure()) printf("%s\n==== drivers\n%s", summary.c_str(), output.c_str());
}

// clang-format off
const E2eRow kRows[] = {
    {"Success", kSigned, true, nullptr, nullptr, {kInstallAndOrder, kCommit}, 1,
     {"authenticated digital signature of artifact", "placed at /home/ubuntu/McuUpdate.tar.gz",
      "At least one payload requested a reboot", "mender install: rc=0",
      "package path: uid 0, the artifact's package", "sent order", "MASTER: flashed", "IOMCU: flashed",
      "succeeded: 2 target(s) flashed", "mender commit: rc=0", "artifact: matrix-mcu-1.0",
      "provides: rootfs-image.matrix-mcu.version=1.0", "record: order ours, phase rebooting, verdict success",
      "package path: absent"},
     {"ArtifactReboot: rc=", "Rolling back"},
     {"target.MASTER=flashed", "target.IOMCU=flashed", "verdict=success"}},
    // No rollback for an MCU: the artifact is left inconsistent.
    {"MasterNeverAnswers", kUnsigned, false, "master=no-ready-text", nullptr, {kInstallAndOrder, kCommit}, 1,
     {"mender install: rc=0", "sent order", "MASTER: no-answer", "IOMCU: flashed", "verdict=failure",
      "matrix-mcu:   no-answer: MASTER", "Rolling back", "may have flashed devices", "mender commit: rc=1",
      "artifact: matrix-mcu-1.0_INCONSISTENT", "record: order ours, phase rebooting, verdict failure"},
     {"ArtifactReboot: rc=", "succeeded"},
     {"target.MASTER=no-answer", "target.IOMCU=flashed", "verdict=failure"}},
    {"IoMcuNeverConfirms", kUnsigned, false, "iomcu=no-closing-text", nullptr, {kInstallAndOrder, kCommit}, 1,
     {"mender install: rc=0", "sent order", "MASTER: flashed", "IOMCU: unconfirmed", "verdict=failure",
      "matrix-mcu:   unconfirmed: IOMCU", "may have flashed devices", "mender commit: rc=1",
      "artifact: matrix-mcu-1.0_INCONSISTENT", "record: order ours, phase rebooting, verdict failure"},
     {"ArtifactReboot: rc=", "succeeded"},
     {"target.MASTER=flashed", "target.IOMCU=unconfirmed", "verdict=failure"}},
    {"PowerCutMidMaster", kSigned, true, nullptr, "MASTER:50",
     {kInstallAndOrder, std::string(kCommit) + kInstallAndOrder, kCommit}, 1,
     {"sent order", "phase=interrupted current=MASTER", "may have flashed devices", "mender commit: rc=1",
      "artifact: matrix-mcu-1.0_INCONSISTENT", "record: order ours, phase interrupted at MASTER, verdict failure",
      "mender install: rc=0", "sent order", "MASTER: flashed", "succeeded: 2 target(s) flashed", "mender commit: rc=0",
      "artifact: matrix-mcu-1.0\n", "record: order ours, phase rebooting, verdict success"},
     {"ArtifactReboot: rc="},
     {"target.MASTER=flashed", "verdict=success"}},
    {"AgentDown", kUnsigned, false, nullptr, nullptr, {kAgentDown}, 0,
     {"agent: down", "nothing listens on the order port", "no order was sent: no device was touched",
      "mender install: rc=1", "package path: uid 65534, the artifact's package", "record: none",
      "artifact: factory-image"},
     {"placed at", "sent order"},
     {}},
    // The one reboot is the agent's, at the end of vela's own order.
    {"UpgradeAlreadyRunning", kUnsigned, false, nullptr, nullptr, {kWhileVelasRuns}, 1,
     {"vela: order flashing", "an upgrade is running on this board (phase=flashing, order vela-order)",
      "no order was sent: no device was touched", "mender install: rc=1",
      "package path: uid 65534, the artifact's package", "record: order vela-order, phase flashing",
      "artifact: factory-image"},
     {"placed at", "sent order"},
     {"order_id=vela-order", "verdict=success"}},
    {"OtherDeviceType", kOtherDevice, false, nullptr, nullptr, {kInstallOnly}, 0,
     {"not compatible with device hv4412", "mender install: rc=1", "package path: uid 65534, the artifact's package",
      "record: none", "artifact: factory-image"},
     {"matrix-mcu:"},
     {}},
    {"UnsignedWhereAKeyIsRequired", kUnsigned, true, nullptr, nullptr, {kInstallOnly}, 0,
     {"expecting signed artifact, but no signature file found", "mender install: rc=1", "package path: uid 65534, the artifact's package", "record: none",
      "artifact: factory-image"},
     {"matrix-mcu:"},
     {}},
};
// clang-format on

INSTANTIATE_TEST_SUITE_P(Rows, MenderE2e, testing::ValuesIn(kRows), fwtest::LegendName());

}  // namespace
