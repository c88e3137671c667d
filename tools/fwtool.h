// fwtool: the engineer's command line. Each tools/cmd_*.cpp registers one
// subcommand with a static FwCommand object.
#pragma once

#include <string>
#include <vector>

struct FwCommand {
    using Main = int (*)(const std::vector<std::string>& args);
    FwCommand(const char* name, const char* usage, const char* summary, Main main);
    const char* name;
    const char* usage;
    const char* summary;
    Main main;
};

// Prints "fwtool NAME USAGE" and the summary on stderr; returns 2 (the usage exit status).
int FwUsage(const char* name);
