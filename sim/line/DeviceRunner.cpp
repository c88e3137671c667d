#include "DeviceRunner.h"

namespace sim {


DeviceRunner::DeviceRunner(PtyLine& line, Device& dev) : line_(line), dev_(dev), link_(new PtyLink(line)) {}

DeviceRunner::~DeviceRunner() { stop(); }

void DeviceRunner::start(const std::string& entry) {
    if (running_.exchange(true)) return;
    dev_.attach(*link_, entry);
    thread_ = std::thread([this] { run(); });
}

void DeviceRunner::stop() {
    if (!running_.exchange(false)) return;
    if (thread_.joinable()) thread_.join();
    dev_.detach();
}

void DeviceRunner::run() {
    uint8_t buf[4096];
    while (running_.load()) {
        ssize_t n = line_.read(buf, sizeof(buf), 1);
        if (n > 0) dev_.onBytes(*link_, buf, (size_t)n);
        dev_.onTick(*link_);
    }
}

}  // namespace sim
