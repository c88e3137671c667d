// An agent's upgrade task on the lab's emulated board with all EP and BV ISP
// devices, and the sample images the ISP tests flash.
#pragma once

#include <ctype.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "HexWriter.h"
#include "IspDevice.h"
#include "LabWorld.h"
#include "Taskfile2mcu_Isp.h"
#include "testing.h"

namespace fwtest {

// The lab's rig with the upgrade flag up, the agent's log captured; on
// virtual time unless a time scale is given (see sim::UseTimeScale).
class IspRig : public sim::LabWorld {
public:
    explicit IspRig(double scale = 0) : LabWorld(sim::LabOptions{scale, {}, {}, {}}) {
        if (!ready()) throw std::runtime_error("the board could not be set up");
        task.SetUpgradeflg(true);
    }

    // Writes base + ".h00"/".h01"/".h02" for EP (or the one BV file) from the images.
    void writeEp(const std::string& boardBase, const std::vector<std::vector<uint8_t>>& banks) {
        static const char* kSuffix[3] = {".h00", ".h01", ".h02"};
        for (size_t b = 0; b < banks.size() && b < 3; b++)
            root.write(boardBase + kSuffix[b], sim::ImageToHex(banks[b]));
    }
    void writeBv(const std::vector<uint8_t>& image) { root.write(QX_BV_HEX, sim::ImageToHex(image)); }
    // Sets up the task for one EP or BV port, as the orchestration does.
    void select(unsigned port, bool bv = false) { selectPort(bv, port, bv ? QX_BV_HEX : IspEpBasePath(port)); }
    // Reports whose name starts with prefix ("EpFile(3)", "BV(5)").
    std::vector<Report> reportsFor(const std::string& name) const {
        std::vector<Report> out;
        for (const Report& r : vela.reports())
            if (r.name == name) out.push_back(r);
        return out;
    }

    LogCapture log{true};
};


// Sample EP banks: bank 0 with data in rows 0x70-0x7F too (never written),
// bank 2 with blank rows 0x82-0x85 (they do not end the bank) and blank from 0x90.
inline std::vector<std::vector<uint8_t>> SampleEpBanks(uint32_t seed) {
    return {sim::SampleImage(seed, {{0x00, 0x0F}, {0x6E, 0x7F}, {0xF0, 0xFF}}),
            sim::SampleImage(seed + 1, {{0x80, 0x9F}}), sim::SampleImage(seed + 2, {{0x80, 0x81}, {0x86, 0x8F}})};
}
// Sample BV image: rows 0x00-0x8F, blank from 0x90.
inline std::vector<uint8_t> SampleBvImage(uint32_t seed) { return sim::SampleImage(seed, {{0x00, 0x8F}}); }

}  // namespace fwtest
