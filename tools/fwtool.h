// fwtool: the engineer's command line. Each tools/cmd_*.cpp registers one
// subcommand with a static FwCommand object: its setup adds the options to
// the subcommand's CLI11 app and returns what runs once they are parsed.
#pragma once

#include <CLI/CLI.hpp>
#include <functional>
#include <string>

struct FwCommand {
    using Run = std::function<int()>;
    using Setup = Run (*)(CLI::App& app);
    FwCommand(const char* name, const char* summary, Setup setup);
    const char* name;
    const char* summary;
    Setup setup;
};
