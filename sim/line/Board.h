// The emulated board behind the serial line: the router in application mode
// (57600 bit/s, text commands) hands the line to the addressed device, which
// keeps it until "UPG RST\r\n" or another device's entry text.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "PtyLine.h"
#include "VirtualClock.h"

namespace sim {

// What a device can do with the line while it holds it.
class Link {
public:
    virtual ~Link() = default;
    virtual void send(const void* data, size_t len) = 0;
    void send(const std::string& s) { send(s.data(), s.size()); }
    virtual unsigned baud() const = 0;
};

// The line itself as a device sees it.
class PtyLink : public Link {
public:
    explicit PtyLink(PtyLine& line) : line_(line) {}
    void send(const void* data, size_t len) override { line_.write(data, len); }
    unsigned baud() const override { return line_.baud(); }

private:
    PtyLine& line_;
};

class Device {
public:
    virtual ~Device() = default;
    virtual std::string name() const = 0;
    // The line is handed over; entry is the text that selected the device.
    virtual void attach(Link& link, const std::string& entry) = 0;
    // Bytes from the agent while the device holds the line.
    virtual void onBytes(Link& link, const uint8_t* data, size_t len) = 0;
    // The speed the device listens at; 0 = any. Bytes at another speed count as garbled.
    virtual unsigned expectedBaud() const { return 0; }
    // Called while attached when the time tickIn() gave has passed, and after
    // bytes (timers).
    virtual void onTick(Link&) {}
    // How long from now onTick() has something to do (zero: at once);
    // negative: nothing until bytes come.
    virtual std::chrono::nanoseconds tickIn() const { return std::chrono::nanoseconds(-1); }
    // The line is taken away ("UPG RST\r\n" or another entry text).
    virtual void detach() {}
    // True once the device gives the line back by itself (a boot loader that
    // rebooted into the application); the router then takes it again.
    virtual bool released() const { return false; }
};

class Board {
public:
    explicit Board(PtyLine& line);
    ~Board();
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // An entry text (with its "\r\n") that hands the line to dev.
    void route(const std::string& entry, Device* dev);
    // "UPG MCUSIG\r\n" then "UPG MCUSIG\r\n" selects ioMcu; then any text with
    // "TX" or "RX" selects valens.
    void routeSig(Device* ioMcu, Device* valens);

    // A noisy line: each byte, either way, has one bit flipped with chance p. Before start().
    void setNoise(double p, unsigned seed);
    size_t flipped() const { return flipped_.load(); }

    void start();
    void stop();
    // A power cut, between stop() and start() once the agent is gone: the
    // device that held the line loses it (stop() took it back), keeping what
    // its flash holds, the bytes in flight are lost and the line comes up as
    // at power-on. The router starts again in application mode.
    void powerCut();

    int resets() const { return resets_.load(); }
    // Bytes that arrived while the line ran at another speed than the holder expects.
    size_t garbled() const { return garbled_.load(); }
    // Lines the router saw in application mode, and devices selected, in order.
    std::vector<std::string> routerLog() const;
    std::string holder() const;  // name of the device holding the line, "" for the router
    // How long the agent kept a device busy: from the first hand-over of the
    // line to it to the last time the line left it; 0 when it never got the line.
    double heldSeconds(const std::string& device) const;

private:
    void run();
    void handle(uint8_t byte);
    void handleHeld(uint8_t byte);
    void handleAfterSig();
    void handleAppLine();
    void attach(Device* dev, const std::string& entry);
    void release();
    void log(const std::string& s);
    void noise(uint8_t* data, size_t len);

    class NoisyLink;
    PtyLine& line_;
    std::unique_ptr<Link> link_;
    double noise_ = 0;
    std::mt19937 rng_;
    std::atomic<size_t> flipped_{0};
    std::map<std::string, Device*> routes_;
    Device* ioMcu_ = nullptr;
    Device* valens_ = nullptr;
    Device* current_ = nullptr;
    bool sigPending_ = false;
    std::string appLine_;
    std::string window_;  // last bytes, to spot entry texts while a device holds the line
    std::atomic<int> resets_{0};
    std::atomic<size_t> garbled_{0};
    unsigned speedBefore_ = 0, speedAfter_ = 0;  // of the last read, board thread only
    mutable std::mutex mutex_;
    std::vector<std::string> log_;
    std::string holderName_;
    std::map<std::string, std::pair<BoardClock::time_point, BoardClock::time_point>> held_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace sim
