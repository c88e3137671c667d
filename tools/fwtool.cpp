#include "fwtool.h"

#include <stdio.h>
#include <string.h>

#include <map>

namespace {
std::map<std::string, const FwCommand*>& Registry() {
    static std::map<std::string, const FwCommand*> s_registry;
    return s_registry;
}
}  // namespace

FwCommand::FwCommand(const char* i_name, const char* i_usage, const char* i_summary, Main i_main)
    : name(i_name), usage(i_usage), summary(i_summary), main(i_main) {
    Registry()[name] = this;
}

int FwUsage(const char* i_name) {
    auto it = Registry().find(i_name);
    if (it != Registry().end())
        fprintf(stderr, "usage: fwtool %s %s\n  %s\n", it->second->name, it->second->usage, it->second->summary);
    return 2;
}

static int PrintHelp(FILE* fp) {
    fprintf(fp, "usage: fwtool COMMAND [ARGS]\n\ncommands:\n");
    for (const auto& kv : Registry()) fprintf(fp, "  %-14s %s\n", kv.first.c_str(), kv.second->summary);
    return 0;
}

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (argc < 2) {
        PrintHelp(stderr);
        return 2;
    }
    if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "help") == 0)
        return PrintHelp(stdout);
    auto it = Registry().find(argv[1]);
    if (it == Registry().end()) {
        fprintf(stderr, "fwtool: unknown command '%s'\n", argv[1]);
        PrintHelp(stderr);
        return 2;
    }
    std::vector<std::string> args(argv + 2, argv + argc);
    for (const auto& a : args) {
        if (a == "-h" || a == "--help") {
            FwUsage(argv[1]);
            return 0;
        }
    }
    return it->second->main(args);
}
