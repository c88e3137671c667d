#include "DeviceRunner.h"

#include <algorithm>

#include "VirtualClock.h"

namespace sim {

DeviceRunner::DeviceRunner(PtyLine& line, Device& dev) : line_(line), dev_(dev), link_(new PtyLink(line)) {}

DeviceRunner::~DeviceRunner() { stop(); }

void DeviceRunner::start(const std::string& entry) {
    if (running_.exchange(true)) return;
    dev_.attach(*link_, entry);
    thread_ = StartThread("device", [this] { run(); });
}

void DeviceRunner::stop() {
    if (!running_.exchange(false)) return;
    JoinThread(thread_);
    dev_.detach();
}

void DeviceRunner::run() {
    uint8_t buf[4096];
    while (running_.load()) {
        std::chrono::nanoseconds wait = std::chrono::seconds(1);
        auto in = dev_.tickIn();
        if (in.count() >= 0) wait = std::min(wait, in);
        ssize_t n = line_.read(buf, sizeof(buf), wait);
        if (n > 0) dev_.onBytes(*link_, buf, (size_t)n);
        if (n <= 0 || dev_.tickIn().count() == 0) dev_.onTick(*link_);
    }
}

}  // namespace sim
