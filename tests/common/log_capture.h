// The agent's log as a test sees it: every line with the board time it was
// logged, counted, searched and waited on while the capture lives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "VirtualClock.h"

namespace fwtest {

// How many times needle occurs in hay, without overlaps.
size_t Count(const std::string& hay, const std::string& needle);

// Sees every line the agent logs while it lives.
class LogCapture {
public:
    explicit LogCapture(bool quiet = false);
    ~LogCapture();
    std::string text() const;
    size_t count(const std::string& needle) const;
    bool contains(const std::string& needle) const { return count(needle) > 0; }
    // Waits until needle has been logged at least n times; false on time-out.
    bool waitFor(const std::string& needle, int timeoutMs = 30000, size_t n = 1) const;
    void clear();
    // When the first (or last) line holding needle was logged (time_point{} if never).
    sim::BoardClock::time_point at(const std::string& needle, bool last = false) const;

private:
    static void Hook(int stream, const char* text, size_t len, void* user);
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::string text_;
    std::vector<std::pair<sim::BoardClock::time_point, std::string>> lines_;
};

}  // namespace fwtest
