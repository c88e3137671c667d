#include "LastRun.h"

#include <ctype.h>

#include <fstream>
#include <sstream>

namespace sim {

std::string LastRun::target(const std::string& summaryName) const {
    std::string name = summaryName;
    for (char& c : name) c = (char)toupper((unsigned char)c);
    return get("target." + name);
}

LastRun ReadLastRun(const std::string& path) {
    LastRun r;
    std::ifstream in(path, std::ios::binary);
    if (!in) return r;
    std::stringstream ss;
    ss << in.rdbuf();
    r.present = true;
    r.text = ss.str();
    std::istringstream lines(r.text);
    for (std::string line; std::getline(lines, line);) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && eq > 0) r.values[line.substr(0, eq)] = line.substr(eq + 1);
    }
    return r;
}

}  // namespace sim
