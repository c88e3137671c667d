// Runs one device on a pty line without the router: the device holds the
// line from start() to stop(). For tests and benchmarks of a single protocol.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "Board.h"
#include "PtyLine.h"

namespace sim {

class DeviceRunner {
public:
    DeviceRunner(PtyLine& line, Device& dev);
    ~DeviceRunner();
    DeviceRunner(const DeviceRunner&) = delete;
    DeviceRunner& operator=(const DeviceRunner&) = delete;

    void start(const std::string& entry = "");
    void stop();

private:
    void run();
    PtyLine& line_;
    Device& dev_;
    std::unique_ptr<PtyLink> link_;
    std::atomic<bool> running_{false};
    std::thread thread_;
};

}  // namespace sim
