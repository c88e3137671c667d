// The boot loader of the master STM32 and of the IO MCU, as the agent sees it
// after its entry command: it switches to 115200 bit/s, says its ready token,
// takes raw Intel HEX text up to the end record checking every record, then
// says a closing text that contains "rebooting".
#pragma once

#include <stdint.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "Board.h"

namespace sim {

struct BootloaderOptions {
    std::string token = "START\r\n";   // ready token; "START" alone has no line end
    // Lines said after the end record; the last one should hold "rebooting".
    std::vector<std::string> closing = {"Image received\r\n", "rebooting...\r\n"};
    double tokenDelayMs = 50;          // after the line is at 115200
    double closingDelayMs = 20;        // after the end record
    // Fault knobs.
    bool silent = false;               // never says anything
    bool noClosingText = false;        // takes the image, then says nothing
    bool repeatToken = false;          // says its ready token again every repeatMs until the end record
    double repeatMs = 250;
    bool noise = false;                // says nothing but noise, for ever, once at 115200
};

class Bootloader : public Device {
public:
    explicit Bootloader(std::string name, BootloaderOptions opt = BootloaderOptions());

    std::string name() const override { return name_; }
    void attach(Link& link, const std::string& entry) override;
    void onBytes(Link& link, const uint8_t* data, size_t len) override;
    unsigned expectedBaud() const override { return 115200; }
    void onTick(Link& link) override;
    std::chrono::nanoseconds tickIn() const override;
    void detach() override;

    // What it received since the last attach, taken under one lock.
    struct Record {
        std::string raw;          // every byte
        std::string hexText;      // from the first ':' on
        bool imageComplete = false;  // end record seen, every record good
        std::string error;        // first bad record, "" if none
        size_t records = 0;       // good records taken
        int attaches = 0;
        bool closed = false;      // the closing text went out
    };
    Record record() const;
    // After its closing text the MCU runs its application again.
    bool released() const override { return record().closed; }

private:
    void feed(uint8_t c);
    void checkRecord(const std::string& rec);

    const std::string name_;
    const BootloaderOptions opt_;
    mutable std::mutex mutex_;
    bool attached_ = false;
    bool tokenSent_ = false;
    bool fastSeen_ = false;
    BoardClock::time_point fastAt_, tokenAt_;
    bool ended_ = false;  // end record seen
    BoardClock::time_point endedAt_;
    bool closed_ = false;
    bool started_ = false;  // first ':' seen
    std::string record_;  // the record being taken
    Record rec_;
};

// Checks one Intel HEX record (without line end): ':' + count, address, type,
// data and checksum as hex digits. Returns "" when good, else what is wrong;
// *isEnd tells an end-of-file record.
std::string CheckHexRecord(const std::string& rec, bool* isEnd);

}  // namespace sim
