// The Valens transmitter/receiver chip in its update mode: at 115200 bit/s it
// asks for a file with single 'C' bytes, takes it by YMODEM (header packet,
// 128- or 1024-byte CRC-16 packets, EOT, closing packet) and then says
// "SUCCESS\r\n" or "FAIL\r\n".
#pragma once

#include <stdint.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "Board.h"

namespace sim {

struct ValensOptions {
    double cPeriodMs = 1000;        // 'C' while waiting for a header
    double verdictDelayMs = 100;    // after the closing packet
    double packetTimeoutMs = 1000;  // a packet that stops arriving is dropped and NAKed
    uint32_t capacity = 4u << 20;
    // Fault knobs.
    bool silent = false;                                        // never says anything
    bool noVerdict = false;                                     // takes the file, then says nothing
    enum Verdict { Auto, Success, Fail, Both } verdict = Auto;  // Auto: SUCCESS for a whole file
    int nakBlock = -1;                                          // data packet (1 = first) answered with NAK ...
    int nakTimes = 1;                                           // ... this many times (a large number: always)
    int canBlock = -1;                                          // data packet answered with CAN CAN
    int extraC = 0;                                             // header packets answered with 'C' instead of ACK
    bool nakFirstEot = false;                                   // the first EOT is answered with NAK
    bool cForever = false;  // after EOT asks for the closing packet with 'C' for ever, never takes it
    int ackEvery = 0;       // a data packet taken only at every Nth send of it, the others not answered
    std::string preamble;   // said once at 115200, before the first 'C' (an old verdict, noise)
};

class ValensChip : public Device {
public:
    explicit ValensChip(std::string name = "valens", ValensOptions opt = ValensOptions());

    std::string name() const override { return name_; }
    void attach(Link& link, const std::string& entry) override;
    void onBytes(Link& link, const uint8_t* data, size_t len) override;
    unsigned expectedBaud() const override { return 115200; }
    void onTick(Link& link) override;
    std::chrono::nanoseconds tickIn() const override;
    void detach() override;

    // What it received since the last attach, taken under one lock.
    struct Record {
        std::string entry;  // text that selected it
        std::string fileName;
        long declaredSize = -1;  // -1 before a header
        std::string file;        // data, cut to the declared size
        bool complete = false;   // closing packet taken after a whole file
        bool cancelled = false;  // CAN CAN from either side
        std::string verdict;     // what it said at the end, "" until then
        int headers = 0;         // header packets seen (resends included)
        int eots = 0;
        std::vector<int> blocks;  // block byte of every good data packet, resends included
        int attaches = 0;
    };
    Record record() const;

private:
    enum State { WaitHeader, Data, WaitClose, Done };
    void feed(Link& link, uint8_t c);
    void packet(Link& link);
    void header(Link& link, const uint8_t* d, size_t n);
    void closing(Link& link, const uint8_t* d);
    void data(Link& link, int blk, const uint8_t* d, size_t n);
    void cancel(Link& link);  // CAN CAN, and the transfer ends
    void finish(bool ok);

    const std::string name_;
    const ValensOptions opt_;
    mutable std::mutex mutex_;
    bool attached_ = false;
    bool fast_ = false;
    State state_ = WaitHeader;
    std::vector<uint8_t> pkt_;
    size_t need_ = 0;
    BoardClock::time_point pktAt_, lastC_, doneAt_;
    int expect_ = 1;
    int nakLeft_ = 0, extraCLeft_ = 0;
    int sendsOfBlock_ = 0;  // sends of the expected data packet seen
    bool eotNaked_ = false;
    bool canSeen_ = false;
    bool ok_ = false;
    bool verdictDue_ = false;
    Record rec_;
};

// CRC-16/XMODEM, written here apart from the agent's so each checks the other.
uint16_t Crc16Xmodem(const uint8_t* data, size_t len);

}  // namespace sim
