#include "IspDevice.h"

#include <stdio.h>

#include <algorithm>
#include <set>

#include "Taskfile2mcu_Isp.h"

namespace sim {

namespace {
const size_t kBlock = 512;
// Only 86 bytes in the data phase, followed by silence this long, are the
// agent asking again (the answer came too late), not the start of a block:
// a block always arrives in one write.
const auto kRepeatGap = std::chrono::milliseconds(1);
// An incomplete block this long silent is given up.
const auto kReceiveTimeout = std::chrono::milliseconds(50);
}  // namespace

IspDevice::IspDevice(IspFamily family, unsigned port)
    : family_(family), port_(port), flash_(banks(), std::vector<uint8_t>(65536, 0xFF)) {}

std::string IspDevice::EntryText(IspFamily family, unsigned port) {
    char sz[32];
    if (family == IspFamily::BV)
        snprintf(sz, sizeof(sz), "UPG BVE%u\r\n", port);
    else if (port <= 8)
        snprintf(sz, sizeof(sz), "WUPG MCUIN%u\r\n", port);
    else
        snprintf(sz, sizeof(sz), "WUPG MCUOUT%u\r\n", port - 8);
    return sz;
}

std::string IspDevice::name() const { return (family_ == IspFamily::EP ? "EP" : "BV") + std::to_string(port_); }

void IspDevice::setFaults(const IspFaults& faults) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_ = faults;
}

bool IspDevice::mute() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return faults_.silent || (faults_.silentAfterBlock >= 0 && blocks_ >= faults_.silentAfterBlock);
}

void IspDevice::answer(Link& link, const void* data, size_t len) {
    if (!mute()) link.send(data, len);
}

void IspDevice::attach(Link& link, const std::string&) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attached_ = true;
    }
    enter(link);
}

void IspDevice::detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_ = false;
    mode_ = kCmd;
    data_.clear();
    tail_.clear();
}

bool IspDevice::attached() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return attached_;
}

// An entry text (first or repeated): back to the prompt.
void IspDevice::enter(Link& link) {
    mode_ = kCmd;
    data_.clear();
    tail_.clear();
    bool fe;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        entries_++;
        attemptBlocks_ = 0;
        fe = promptsFE_ < faults_.promptFE;
        if (fe) promptsFE_++;
    }
    uint8_t prompt = fe ? 0xFE : 0x3E;
    answer(link, &prompt, 1);
}

void IspDevice::onBytes(Link& link, const uint8_t* data, size_t len) {
    const std::string entry = entryText();
    for (size_t i = 0; i < len; i++) {
        uint8_t b = data[i];
        lastByte_ = BoardClock::now();
        if (mode_ == kData) {
            // The block is taken in onTick, once the batch is in: see there.
            data_.push_back(b);
            continue;
        }
        tail_.push_back((char)b);
        if (tail_.size() > entry.size()) tail_.erase(0, tail_.size() - entry.size());
        if (tail_ == entry) {
            enter(link);
            continue;
        }
        if (mode_ == kArgs) {
            args_[argsHave_++] = b;
            if (argsHave_ == argsWanted_) {
                mode_ = kCmd;
                command(link, code_, args_);
            }
            continue;
        }
        switch (b) {
            case 0x83:
            case 0x84:
                code_ = b;
                argsWanted_ = b == 0x83 ? 1 : 2;
                argsHave_ = 0;
                mode_ = kArgs;
                break;
            case 0x81:
            case 0x85:
            case 0x86:
                command(link, b, nullptr);
                break;
            default:
                break;  // text of the entry request, or noise
        }
    }
}

std::chrono::nanoseconds IspDevice::tickIn() const {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (faults_.noise) return std::chrono::milliseconds(1);
    }
    if (mode_ != kData || data_.empty()) return std::chrono::nanoseconds(-1);
    if (data_.size() >= kBlock) return std::chrono::nanoseconds(0);
    bool only86 = std::all_of(data_.begin(), data_.end(), [](uint8_t c) { return c == 0x86; });
    auto due = lastByte_ + (only86 ? std::chrono::duration_cast<std::chrono::nanoseconds>(kRepeatGap)
                                   : std::chrono::duration_cast<std::chrono::nanoseconds>(kReceiveTimeout));
    return std::max(std::chrono::nanoseconds(0), due - BoardClock::now());
}

void IspDevice::onTick(Link& link) {
    bool noise;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        noise = faults_.noise;
    }
    if (noise) {
        static const uint8_t kNoise[4] = {0x55, 0xAA, 0x00, 0x7F};
        link.send(kNoise, sizeof(kNoise));
    }
    if (mode_ != kData) return;
    if (data_.size() >= kBlock) {
        // A repeated 86 that came in the same batch as the block sits in front of it.
        size_t excess = data_.size() - kBlock;
        bool repeats = std::all_of(data_.begin(), data_.begin() + (long)excess, [](uint8_t c) { return c == 0x86; });
        if (repeats) data_.erase(data_.begin(), data_.begin() + (long)excess);
        data_.resize(kBlock);
        block(link);
        return;
    }
    if (data_.empty()) return;
    auto quiet = BoardClock::now() - lastByte_;
    bool only86 = std::all_of(data_.begin(), data_.end(), [](uint8_t c) { return c == 0x86; });
    if (only86 && quiet >= kRepeatGap) {
        data_.clear();
        command(link, 0x86, nullptr);
    } else if (quiet >= kReceiveTimeout) {
        // A block that stopped halfway: dropped, as the device's receive time-out does.
        data_.clear();
        mode_ = kCmd;
    }
}

void IspDevice::command(Link& link, uint8_t code, const uint8_t* args) {
    switch (code) {
        case 0x81:
        case 0x85: {
            uint8_t a = code;
            answer(link, &a, 1);
            break;
        }
        case 0x83: {
            bank_ = args[0];
            uint8_t a[2] = {0x83, (uint8_t)('0' + (bank_ & 0x0F))};
            answer(link, a, sizeof(a));
            break;
        }
        case 0x84:
            address(link, args[0]);
            break;
        case 0x86:
            startBlock(link);
            break;
        default:
            break;
    }
}

// A row address: taken and recorded, or refused while the fault knob says so.
void IspDevice::address(Link& link, uint8_t row) {
    bool refuse;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        refuse = refused_ < faults_.refuseAddress;
        if (refuse) {
            refused_++;
        } else if (!faults_.silent && !(faults_.silentAfterBlock >= 0 && blocks_ >= faults_.silentAfterBlock)) {
            addressed_.push_back({bank_, row, BoardClock::now()});
        }
    }
    uint8_t a = refuse ? 0x3E : 0x84;
    if (!refuse) row_ = row;
    answer(link, &a, 1);
}

// The go-ahead for a data block, once answered with a burst when the fault knob says so.
void IspDevice::startBlock(Link& link) {
    bool burst;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        burst = faults_.burstBeforeBlock >= 0 && blocks_ == faults_.burstBeforeBlock;
        if (burst) faults_.burstBeforeBlock = -1;
    }
    if (burst) {
        std::vector<uint8_t> noise(24, 0x86);
        answer(link, noise.data(), noise.size());
    } else {
        uint8_t a = 0x86;
        answer(link, &a, 1);
    }
    mode_ = kData;
    data_.clear();
}

void IspDevice::block(Link& link) {
    mode_ = kCmd;
    if (mute()) {
        data_.clear();
        return;
    }
    bool withhold;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (bank_ < flash_.size() && row_ <= 254)
            std::copy(data_.begin(), data_.end(), flash_[bank_].begin() + row_ * 256);
        writes_.push_back({bank_, row_, BoardClock::now()});
        withhold = blocks_ >= faults_.missZFromBlock && zWithheld_ < faults_.missZ;
        if (withhold) zWithheld_++;
        int k = faults_.withholdZBlock + (entries_ % 2 == 0 ? faults_.withholdZShift : 0);
        withhold = withhold || (faults_.withholdZBlock >= 0 && attemptBlocks_ == k);
        attemptBlocks_++;
        blocks_++;
    }
    data_.clear();
    if (!withhold) {
        uint8_t z = 'Z';
        answer(link, &z, 1);
    }
}

std::vector<uint8_t> IspDevice::flash(unsigned bank) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bank < flash_.size() ? flash_[bank] : std::vector<uint8_t>();
}

std::vector<IspWrite> IspDevice::writes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return writes_;
}

std::vector<IspWrite> IspDevice::addressed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return addressed_;
}

int IspDevice::entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_;
}

int IspDevice::blocks() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blocks_;
}

std::vector<unsigned> IspExpectedRows(IspFamily family, unsigned bank, const std::vector<uint8_t>& image) {
    std::vector<unsigned> rows;
    bool ep = family == IspFamily::EP;
    if (ep && bank < 2) {
        for (unsigned r = bank == 0 ? 0 : 0x80; r <= 0xFE; r += 2) {
            if (r == 0x70) r = 0x80;
            rows.push_back(r);
        }
        return rows;
    }
    auto blank = [&](unsigned r) {
        if (r > 254 || image.size() < 65536) return false;
        const uint8_t* p = &image[r * 256];
        return p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF && p[511] == 0xFF;
    };
    for (unsigned r = ep ? 0x80 : 0; r <= 0xFE; r += 2) {
        rows.push_back(r);
        if (r > 0x83 && blank(r + 2)) break;
    }
    return rows;
}

std::string IspVerifyBank(const IspDevice& dev, unsigned bank, const std::vector<uint8_t>& image) {
    if (image.size() != 65536) return "image is not 65,536 bytes";
    std::vector<unsigned> rows = IspExpectedRows(dev.family(), bank, image);
    std::set<unsigned> want(rows.begin(), rows.end());
    std::set<unsigned> got;
    for (const IspWrite& w : dev.writes())
        if (w.bank == bank) got.insert(w.row);
    char sz[160];
    for (unsigned r : want) {
        if (!got.count(r)) {
            snprintf(sz, sizeof(sz), "%s bank %u: row 0x%02X never written", dev.name().c_str(), bank, r);
            return sz;
        }
    }
    for (unsigned r : got) {
        if (!want.count(r)) {
            snprintf(sz, sizeof(sz), "%s bank %u: row 0x%02X written though the walk skips it", dev.name().c_str(),
                     bank, r);
            return sz;
        }
    }
    std::vector<uint8_t> flash = dev.flash(bank);
    if (flash.size() != 65536) return dev.name() + ": no such bank";
    for (size_t a = 0; a < 65536; a++) {
        unsigned blockRow = (unsigned)(a >> 8) & ~1u;
        uint8_t expect = want.count(blockRow) ? image[a] : 0xFF;
        if (flash[a] != expect) {
            snprintf(sz, sizeof(sz), "%s bank %u: address 0x%04zX holds 0x%02X, expected 0x%02X", dev.name().c_str(),
                     bank, a, flash[a], expect);
            return sz;
        }
    }
    return "";
}

IspDeviceSet::IspDeviceSet() {
    for (unsigned p = 1; p <= QXIH_EP_PORTS; p++) ep_.emplace_back(new IspDevice(IspFamily::EP, p));
    for (unsigned p = 1; p <= QXIH_BV_PORTS; p++) bv_.emplace_back(new IspDevice(IspFamily::BV, p));
}

void IspDeviceSet::routeAll(Board& board) {
    for (auto& d : ep_) board.route(d->entryText(), d.get());
    for (auto& d : bv_) board.route(d->entryText(), d.get());
}

}  // namespace sim
