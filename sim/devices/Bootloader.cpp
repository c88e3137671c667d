#include "Bootloader.h"

#include <algorithm>

namespace sim {

namespace {
int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

std::string CheckHexRecord(const std::string& rec, bool* isEnd) {
    if (isEnd) *isEnd = false;
    if (rec.size() < 11 || rec[0] != ':') return "record too short or without ':'";
    if ((rec.size() - 1) % 2 != 0) return "odd number of hex digits";
    std::vector<uint8_t> b;
    for (size_t i = 1; i + 1 < rec.size(); i += 2) {
        int h = HexDigit(rec[i]), l = HexDigit(rec[i + 1]);
        if (h < 0 || l < 0) return "not a hex digit";
        b.push_back((uint8_t)(h * 16 + l));
    }
    if (b.size() != (size_t)b[0] + 5) return "count does not match the record length";
    uint8_t sum = 0;
    for (uint8_t v : b) sum = (uint8_t)(sum + v);
    if (sum != 0) return "bad checksum";
    uint8_t type = b[3];
    if (type > 5) return "unknown record type";
    if (type == 1) {
        if (b[0] != 0) return "end record with data";
        if (isEnd) *isEnd = true;
    }
    return "";
}

namespace {
std::chrono::nanoseconds Ms(double ms) { return std::chrono::nanoseconds((int64_t)(ms * 1e6)); }
}  // namespace

Bootloader::Bootloader(std::string name, BootloaderOptions opt) : name_(std::move(name)), opt_(std::move(opt)) {}

std::chrono::nanoseconds Bootloader::tickIn() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::chrono::nanoseconds none(-1);
    if (!attached_ || opt_.silent) return none;
    auto now = BoardClock::now();
    auto until = [&](BoardClock::time_point t) { return std::max(std::chrono::nanoseconds(0), t - now); };
    // The line's speed is no byte: it is looked at every millisecond until it changes.
    if (!tokenSent_) {
        if (!fastSeen_) return std::chrono::milliseconds(1);
        auto in = until(fastAt_ + Ms(opt_.tokenDelayMs));
        // Noise, once it began, goes out every millisecond.
        return opt_.noise && in.count() == 0 ? std::chrono::milliseconds(1) : in;
    }
    if (opt_.repeatToken && !ended_) return until(tokenAt_ + Ms(opt_.repeatMs));
    if (ended_ && !rec_.closed && !opt_.noClosingText) return until(endedAt_ + Ms(opt_.closingDelayMs));
    return none;
}

void Bootloader::attach(Link&, const std::string&) {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_ = true;
    int attaches = rec_.attaches + 1;
    tokenSent_ = fastSeen_ = ended_ = started_ = false;
    record_.clear();
    rec_ = Record();
    rec_.attaches = attaches;
}

void Bootloader::detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_ = false;
}

void Bootloader::onBytes(Link&, const uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < len; i++) feed(data[i]);
}

void Bootloader::feed(uint8_t c) {
    rec_.raw.push_back((char)c);
    if (!tokenSent_ || ended_ || !rec_.error.empty()) {
        if (started_) rec_.hexText.push_back((char)c);
        return;
    }
    // Text commands repeated by the agent before the image are not records.
    if (!started_) {
        if (c != ':') return;
        started_ = true;
    }
    rec_.hexText.push_back((char)c);
    if (c == '\r' || c == '\n') {
        if (record_.empty()) return;
        bool isEnd = false;
        std::string why = CheckHexRecord(record_, &isEnd);
        if (!why.empty()) {
            rec_.error = "record " + std::to_string(rec_.records + 1) + ": " + why;
        } else {
            rec_.records++;
            if (isEnd) {
                ended_ = true;
                endedAt_ = BoardClock::now();
            }
        }
        record_.clear();
        return;
    }
    if (record_.size() > 600) {
        rec_.error = "record " + std::to_string(rec_.records + 1) + ": too long";
        return;
    }
    if (c == ':' && !record_.empty()) {
        rec_.error = "record " + std::to_string(rec_.records + 1) + ": no line end";
        return;
    }
    record_.push_back((char)c);
}

void Bootloader::onTick(Link& link) {
    std::string say;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!attached_ || opt_.silent) return;
        auto now = BoardClock::now();
        if (!tokenSent_) {
            // The agent switches the line to 115200 after its entry command.
            if (!fastSeen_) {
                if (link.baud() != 115200) return;
                fastSeen_ = true;
                fastAt_ = now;
            }
            if (now - fastAt_ < Ms(opt_.tokenDelayMs)) return;
            if (opt_.noise) {
                say = "\x55\xaa\x7f";
            } else {
                tokenSent_ = true;
                tokenAt_ = now;
                say = opt_.token;
            }
        } else if (opt_.repeatToken && !ended_ && now - tokenAt_ >= Ms(opt_.repeatMs)) {
            tokenAt_ = now;
            say = opt_.token;
        } else if (ended_ && !rec_.closed && !opt_.noClosingText && now - endedAt_ >= Ms(opt_.closingDelayMs)) {
            rec_.closed = true;
            for (const auto& l : opt_.closing) say += l;
        }
    }
    if (!say.empty()) link.send(say);
}

Bootloader::Record Bootloader::record() const {
    std::lock_guard<std::mutex> lock(mutex_);
    Record r = rec_;
    r.imageComplete = ended_ && rec_.error.empty();
    return r;
}

}  // namespace sim
