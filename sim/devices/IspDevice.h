// The EP and BV devices of the emulated board in their ISP mode: a prompt on
// the entry text, byte-coded answers (81, 83, 84, 85, 86), and a 512-byte
// block written at the row the last address request named, with a "Z" for
// each block. Flash is kept per bank (three for EP, one for BV).
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "Board.h"

namespace sim {

enum class IspFamily { EP, BV };

// Fault knobs; the defaults make a well-behaved device.
struct IspFaults {
    bool silent = false;        // never answers anything
    int promptFE = 0;           // answers the first n entry texts with FE instead of '>'
    int refuseAddress = 0;      // answers '>' to the first n address requests
    int missZFromBlock = 0;     // from the block with this index (0-based, counted over the device's life) ...
    int missZ = 0;              // ... withholds the 'Z' of this many blocks
    int burstBeforeBlock = -1;  // answers the 86 before block k with a burst of 24 bytes
    int silentAfterBlock = -1;  // answers nothing once k blocks are in
    int withholdZBlock = -1;    // withholds the 'Z' of block k (0-based) of every attempt (from its entry text) ...
    int withholdZShift = 0;     // ... but of block k + n in every second attempt
    bool noise = false;         // once attached, sends noise bytes for ever (besides its answers)
};

struct IspWrite {
    unsigned bank;
    unsigned row;
    BoardClock::time_point at;  // when the block (or request) was complete
};

class IspDevice : public Device {
public:
    IspDevice(IspFamily family, unsigned port);

    // "WUPG MCUIN%d\r\n" (EP 1-8), "WUPG MCUOUT%d\r\n" (EP 9-16, as 1-8), "UPG BVE%d\r\n" (BV).
    static std::string EntryText(IspFamily family, unsigned port);
    std::string entryText() const { return EntryText(family_, port_); }
    IspFamily family() const { return family_; }
    unsigned port() const { return port_; }
    unsigned banks() const { return family_ == IspFamily::EP ? 3u : 1u; }

    std::string name() const override;
    void attach(Link& link, const std::string& entry) override;
    void onBytes(Link& link, const uint8_t* data, size_t len) override;
    void onTick(Link& link) override;
    std::chrono::nanoseconds tickIn() const override;
    void detach() override;
    unsigned expectedBaud() const override { return 57600; }

    void setFaults(const IspFaults& faults);

    // Snapshots; safe while the board runs.
    std::vector<uint8_t> flash(unsigned bank) const;  // 65,536 bytes, 0xFF where never written
    std::vector<IspWrite> writes() const;             // every block, in arrival order
    std::vector<IspWrite> addressed() const;          // every accepted address request
    int entries() const;                              // entry texts received
    int blocks() const;                               // blocks received
    bool attached() const;

private:
    enum Mode { kCmd, kArgs, kData };
    void answer(Link& link, const void* data, size_t len);
    void command(Link& link, uint8_t code, const uint8_t* args);
    void address(Link& link, uint8_t row);
    void startBlock(Link& link);
    void block(Link& link);
    void enter(Link& link);
    bool mute() const;

    const IspFamily family_;
    const unsigned port_;
    mutable std::mutex mutex_;
    IspFaults faults_;
    std::vector<std::vector<uint8_t>> flash_;
    std::vector<IspWrite> writes_;
    std::vector<IspWrite> addressed_;
    int entries_ = 0;
    int blocks_ = 0;
    int promptsFE_ = 0;
    int refused_ = 0;
    int zWithheld_ = 0;
    int attemptBlocks_ = 0;
    bool attached_ = false;

    // line state (board thread only)
    Mode mode_ = kCmd;
    uint8_t code_ = 0;
    uint8_t args_[2] = {0, 0};
    size_t argsWanted_ = 0, argsHave_ = 0;
    std::vector<uint8_t> data_;
    unsigned bank_ = 0, row_ = 0;
    std::string tail_;
    BoardClock::time_point lastByte_;
};

// The verdict on one bank: "" when the device holds the image in exactly the
// rows the agent's walk writes, and 0xFF everywhere else; otherwise why not.
std::string IspVerifyBank(const IspDevice& dev, unsigned bank, const std::vector<uint8_t>& image);

// Rows (even, each the start of a 512-byte block) the agent writes for an image.
std::vector<unsigned> IspExpectedRows(IspFamily family, unsigned bank, const std::vector<uint8_t>& image);

// Every EP and BV device of the board, routed by its entry text.
class IspDeviceSet {
public:
    IspDeviceSet();
    void routeAll(Board& board);
    IspDevice& ep(unsigned port) { return *ep_.at(port - 1); }  // 1 to 16
    IspDevice& bv(unsigned port) { return *bv_.at(port - 1); }  // 1 to 8

private:
    std::vector<std::unique_ptr<IspDevice>> ep_, bv_;
};

}  // namespace sim
