#include "TraceScenarios.h"

#include <functional>
#include <map>
#include <random>

#include "BoardProfile.h"
#include "HexWriter.h"
#include "IspDevice.h"
#include "LabWorld.h"
#include "Taskfile2mcu_Isp.h"
#include "Trace.h"

namespace sim {

namespace {

// The lab's rig with its line recorded.
struct World : LabWorld {
    // On virtual time: the same wire, and the same times, at every run.
    World() : LabWorld(LabOptions{}) {
        trace.setHolder([this] { return board.holder(); });
        line.setTap(&trace);
    }
    ~World() {
        board.stop();
        line.setTap(nullptr);
    }
    Trace trace;
};

// Each returns "" when the device ends up holding what was sent, else why not.
std::string OneBvPort(World& w, unsigned seed) {
    std::vector<uint8_t> image = SampleImage(seed, {{0x00, 0x03}});
    w.root.write(QX_BV_HEX, ImageToHex(image));
    w.selectPort(true, 1, QX_BV_HEX);
    w.task.Run4EPUpgrade();
    return IspVerifyBank(w.isp.bv(1), 0, image);
}

std::string EpBanks(World& w, unsigned seed) {
    static const char* const kSuffix[3] = {".h00", ".h01", ".h02"};
    std::vector<uint8_t> banks[3] = {SampleImage(seed, {{0x00, 0x01}}), SampleImage(seed + 1, {{0x80, 0x81}}),
                                     SampleImage(seed + 2, {{0x80, 0x81}})};
    for (int b = 0; b < 3; b++) w.root.write(std::string(IspEpBasePath(1)) + kSuffix[b], ImageToHex(banks[b]));
    w.selectPort(false, 1, IspEpBasePath(1));
    w.task.Run4EPUpgrade();
    std::string why;
    for (unsigned b = 0; b < 3 && why.empty(); b++) why = IspVerifyBank(w.isp.ep(1), b, banks[b]);
    return why;
}

std::string MasterPush(World& w, unsigned seed) {
    std::string hex = ImageToHex(SampleImage(seed, {{0x00, 0x00}}));
    w.root.write(QX_MASTER_HEX, hex);
    w.task.SetUartSpeed(Board_SerialDev(), 57600);
    w.task.Process4STUpgrade();
    Bootloader::Record r = w.master.record();
    return r.imageComplete && r.hexText == hex ? "" : "master image incomplete " + r.error;
}

std::string ValensRun(World& w, unsigned seed) {
    std::mt19937 rng(seed);
    std::string image(1500, '\0');
    for (auto& c : image) c = (char)(rng() & 0xFF);
    w.root.write(QX_VALENS_TX_HEX, image);
    w.task.SetValensUpFlg(1);
    w.task.m_nValensResult = 0;
    w.task.Process4STUpgrade();
    ValensChip::Record r = w.valens.record();
    return r.complete && r.file == image && w.task.m_nValensResult == 1 ? "" : "the chip did not take the file";
}

using Run = std::function<std::string(World&, unsigned)>;
const std::map<std::string, Run>& Scenarios() {
    static const std::map<std::string, Run> s_runs = {
        {"bv", OneBvPort}, {"ep-banks", EpBanks}, {"master", MasterPush}, {"valens", ValensRun}};
    return s_runs;
}

}  // namespace

const std::vector<std::string>& TraceScenarioNames() {
    static const std::vector<std::string> s_names = [] {
        std::vector<std::string> v;
        for (const auto& kv : Scenarios()) v.push_back(kv.first);
        return v;
    }();
    return s_names;
}

bool RecordTraceScenario(const std::string& name, unsigned seed, const std::string& path, std::string* err) {
    auto it = Scenarios().find(name);
    if (it == Scenarios().end()) {
        *err = "no scenario " + name;
        return false;
    }
    World w;
    if (!w.ready()) {
        *err = "the board could not be set up";
        return false;
    }
    *err = it->second(w, seed);
    w.board.stop();
    return err->empty() && w.trace.save(path, err);
}

}  // namespace sim
