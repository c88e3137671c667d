// vela as the agent sees it: a peer on loopback that sends orders and
// collects every datagram with its arrival time.
#pragma once

#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "VirtualClock.h"

namespace sim {

// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeUdpPort();

struct Datagram {
    std::vector<uint8_t> bytes;
    BoardClock::time_point at;
    uint32_t type() const;
    uint32_t len() const;
    std::string payload() const;  // bytes from offset 8
};

// A parsed progress report ("set upgradestatus{...}").
struct Report {
    std::string name, total, current, percent, isEnd;
    int percentValue() const;
};
// Parses a report text as vela does; false when it is not one.
bool ParseReport(const std::string& text, Report* out);
// Type-252 datagrams that any stand-in in this process could not parse.
size_t MalformedReports();

// vela, as far as the agent sees it: sends orders, collects every datagram.
class VelaStandIn {
public:
    // Binds the report port on 127.0.0.1 (0: a free one); throws when it is taken.
    explicit VelaStandIn(uint16_t reportPort = 0);
    ~VelaStandIn();
    uint16_t reportPort() const { return reportPort_; }
    uint16_t orderPort() const { return orderPort_; }
    void setOrderPort(uint16_t port) { orderPort_ = port; }
    // Sends raw bytes / a record to the agent's order port.
    void sendRaw(const std::vector<uint8_t>& bytes);
    void sendOrder(uint32_t type, const std::string& payload = "");
    std::vector<Datagram> datagrams() const;
    std::vector<Report> reports() const;
    // Waits until pred holds over the datagrams so far; false on time-out.
    bool waitUntil(const std::function<bool(const std::vector<Datagram>&)>& pred, int timeoutMs = 30000) const;
    bool waitForCount(size_t n, int timeoutMs = 30000) const;

private:
    void run();
    int rx_ = -1;
    int tx_ = -1;
    uint16_t reportPort_ = 0;
    uint16_t orderPort_ = 0;
    std::atomic<bool> running_{true};
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Datagram> got_;
    std::thread thread_;
    int wake_[2] = {-1, -1};  // the receive thread's rest ends when this is written
};

}  // namespace sim
