#include "ValensChip.h"

#include <algorithm>

#include <stdlib.h>

namespace sim {

namespace {
const uint8_t kSOH = 0x01, kSTX = 0x02, kEOT = 0x04, kACK = 0x06, kNAK = 0x15, kCAN = 0x18, kC = 'C';
}

uint16_t Crc16Xmodem(const uint8_t* data, size_t len) {
    uint16_t crc = 0;
    for (size_t i = 0; i < len; i++) {
        crc ^= (uint16_t)(data[i] << 8);
        for (int b = 0; b < 8; b++) crc = (crc & 0x8000) ? (uint16_t)((crc << 1) ^ 0x1021) : (uint16_t)(crc << 1);
    }
    return crc;
}

namespace {
std::chrono::nanoseconds Ms(double ms) { return std::chrono::nanoseconds((int64_t)(ms * 1e6)); }
}  // namespace

ValensChip::ValensChip(std::string name, ValensOptions opt) : name_(std::move(name)), opt_(opt) {}

std::chrono::nanoseconds ValensChip::tickIn() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::chrono::nanoseconds none(-1);
    if (!attached_ || opt_.silent) return none;
    // The line's speed is no byte: it is looked at every millisecond until it changes.
    if (!fast_) return std::chrono::milliseconds(1);
    auto now = BoardClock::now();
    auto until = [&](BoardClock::time_point t) { return std::max(std::chrono::nanoseconds(0), t - now); };
    // The packet time-out is passed once it is over by a whisker, as onTick has it.
    if (!pkt_.empty()) return until(pktAt_ + Ms(opt_.packetTimeoutMs)) + std::chrono::nanoseconds(1);
    bool asking = state_ == WaitHeader || (state_ == WaitClose && opt_.cForever);
    if (asking) return until(lastC_ + Ms(opt_.cPeriodMs));
    if (state_ == Done && verdictDue_) return until(doneAt_ + Ms(opt_.verdictDelayMs));
    return none;
}

void ValensChip::attach(Link&, const std::string& entry) {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_ = true;
    int attaches = rec_.attaches + 1;
    fast_ = false;
    state_ = WaitHeader;
    pkt_.clear();
    need_ = 0;
    expect_ = 1;
    nakLeft_ = opt_.nakTimes;
    extraCLeft_ = opt_.extraC;
    sendsOfBlock_ = 0;
    eotNaked_ = canSeen_ = ok_ = false;
    verdictDue_ = false;
    rec_ = Record();
    rec_.entry = entry;
    rec_.attaches = attaches;
}

void ValensChip::detach() {
    std::lock_guard<std::mutex> lock(mutex_);
    attached_ = false;
}

void ValensChip::onBytes(Link& link, const uint8_t* data, size_t len) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (size_t i = 0; i < len; i++) feed(link, data[i]);
}

void ValensChip::finish(bool ok) {
    state_ = Done;
    ok_ = ok;
    verdictDue_ = true;
    doneAt_ = BoardClock::now();
}

void ValensChip::feed(Link& link, uint8_t c) {
    if (state_ == Done) return;
    if (!pkt_.empty()) {
        pkt_.push_back(c);
        pktAt_ = BoardClock::now();
        if (pkt_.size() == need_) packet(link);
        return;
    }
    if (c == kCAN) {
        if (canSeen_) {
            rec_.cancelled = true;
            finish(false);
        }
        canSeen_ = true;
        return;
    }
    canSeen_ = false;
    if (opt_.silent) return;
    if (c == kSOH || c == kSTX) {
        pkt_.push_back(c);
        need_ = (c == kSOH ? 128u : 1024u) + 5;
        pktAt_ = BoardClock::now();
        return;
    }
    if (c == kEOT && (state_ == Data || state_ == WaitClose)) {
        rec_.eots++;
        if (opt_.nakFirstEot && !eotNaked_) {
            eotNaked_ = true;
            link.send(&kNAK, 1);
            return;
        }
        state_ = WaitClose;
        uint8_t a[2] = {kACK, kC};
        link.send(a, 2);
        lastC_ = BoardClock::now();
    }
    // Anything else (the update command text repeated, noise) is not for us.
}

void ValensChip::packet(Link& link) {
    std::vector<uint8_t> p;
    p.swap(pkt_);
    size_t n = p.size() - 5;
    uint16_t crc = (uint16_t)((p[3 + n] << 8) | p[4 + n]);
    if ((uint8_t)(p[1] + p[2]) != 0xFF || Crc16Xmodem(&p[3], n) != crc) {
        link.send(&kNAK, 1);
        return;
    }
    int blk = p[1];
    const uint8_t* d = &p[3];
    if (blk == 0 && (state_ == WaitHeader || (state_ == Data && expect_ == 1)))
        header(link, d, n);
    else if (state_ == WaitClose && blk == 0)
        closing(link, d);
    else if (state_ != Data)
        link.send(&kNAK, 1);
    else
        data(link, blk, d, n);
}

void ValensChip::cancel(Link& link) {
    uint8_t a[2] = {kCAN, kCAN};
    link.send(a, 2);
    rec_.cancelled = true;
    finish(false);
}

// Packet 0: the file's name and declared size; a size above the capacity is refused.
void ValensChip::header(Link& link, const uint8_t* d, size_t n) {
    rec_.headers++;
    if (d[0] == 0) {  // empty header: nothing to take
        link.send(&kACK, 1);
        finish(false);
        return;
    }
    if (extraCLeft_ > 0) {
        extraCLeft_--;
        lastC_ = BoardClock::now();
        link.send(&kC, 1);
        return;
    }
    size_t nameLen = 0;
    while (nameLen < n && d[nameLen] != 0) nameLen++;
    rec_.fileName.assign((const char*)d, nameLen);
    std::string sizeText;
    for (size_t i = nameLen + 1; i < n && d[i] != 0 && d[i] != ' '; i++) sizeText.push_back((char)d[i]);
    rec_.declaredSize = sizeText.empty() ? -1 : strtol(sizeText.c_str(), nullptr, 10);
    if (rec_.declaredSize < 0 || (uint64_t)rec_.declaredSize > opt_.capacity) {
        cancel(link);
        return;
    }
    state_ = Data;
    uint8_t a[2] = {kACK, kC};
    link.send(a, 2);
}

// The closing packet after EOT: the transfer is complete when it is empty and
// the file has its declared size.
void ValensChip::closing(Link& link, const uint8_t* d) {
    rec_.headers++;
    if (opt_.cForever) {
        lastC_ = BoardClock::now();
        link.send(&kC, 1);
        return;
    }
    link.send(&kACK, 1);
    rec_.complete = d[0] == 0 && (long)rec_.file.size() == rec_.declaredSize;
    finish(rec_.complete);
}

// A data packet: kept up to the declared size, unless a fault knob answers it.
void ValensChip::data(Link& link, int blk, const uint8_t* d, size_t n) {
    if (blk == ((expect_ - 1) & 0xFF) && expect_ > 1) {  // our ACK was lost
        rec_.blocks.push_back(blk);
        link.send(&kACK, 1);
        return;
    }
    if (blk != (expect_ & 0xFF)) {
        link.send(&kNAK, 1);
        return;
    }
    rec_.blocks.push_back(blk);
    if (opt_.ackEvery > 0 && ++sendsOfBlock_ % opt_.ackEvery != 0) return;
    if (expect_ == opt_.nakBlock && nakLeft_ > 0) {
        nakLeft_--;
        link.send(&kNAK, 1);
        return;
    }
    if (expect_ == opt_.canBlock) {
        cancel(link);
        return;
    }
    size_t room = (size_t)rec_.declaredSize > rec_.file.size() ? (size_t)rec_.declaredSize - rec_.file.size() : 0;
    rec_.file.append((const char*)d, n < room ? n : room);
    expect_++;
    sendsOfBlock_ = 0;
    link.send(&kACK, 1);
}

void ValensChip::onTick(Link& link) {
    std::string say;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!attached_ || opt_.silent) return;
        auto now = BoardClock::now();
        if (!fast_) {
            if (link.baud() != 115200) return;
            fast_ = true;
            lastC_ = now - Ms(opt_.cPeriodMs);
            say = opt_.preamble;
        }
        if (!pkt_.empty() && now - pktAt_ > Ms(opt_.packetTimeoutMs)) {
            pkt_.clear();
            link.send(&kNAK, 1);
            return;
        }
        bool asking = state_ == WaitHeader || (state_ == WaitClose && opt_.cForever);
        if (asking && pkt_.empty() && now - lastC_ >= Ms(opt_.cPeriodMs)) {
            lastC_ = now;
            say += "C";
        } else if (state_ == Done && verdictDue_ && now - doneAt_ >= Ms(opt_.verdictDelayMs)) {
            verdictDue_ = false;
            if (!opt_.noVerdict) {
                switch (opt_.verdict) {
                    case ValensOptions::Auto:
                        say = ok_ ? "SUCCESS\r\n" : "FAIL\r\n";
                        break;
                    case ValensOptions::Success:
                        say = "SUCCESS\r\n";
                        break;
                    case ValensOptions::Fail:
                        say = "FAIL\r\n";
                        break;
                    case ValensOptions::Both:
                        say = "SUCCESS\r\nFAIL\r\n";
                        break;
                }
                rec_.verdict = say;
            }
        }
    }
    if (!say.empty()) link.send(say);
}

ValensChip::Record ValensChip::record() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return rec_;
}

}  // namespace sim
