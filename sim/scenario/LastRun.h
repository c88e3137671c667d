// The agent's result record as the simulator reads it back after a run:
// "key=value" lines (format in src/RunRecord.h).
#pragma once

#include <map>
#include <string>

namespace sim {

struct LastRun {
    bool present = false;  // the file was there and readable
    std::string text;      // as read
    std::map<std::string, std::string> values;
    std::string get(const std::string& key) const {
        auto it = values.find(key);
        return it == values.end() ? "" : it->second;
    }
    // The recorded outcome of a target by its summary name ("Valens", "EP3", "master", "IOMCU").
    std::string target(const std::string& summaryName) const;
};

LastRun ReadLastRun(const std::string& path);

}  // namespace sim
