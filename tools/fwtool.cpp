#include "fwtool.h"

#include <stdio.h>

#include <map>
#include <vector>

#include "FwVersion.h"

namespace {
std::map<std::string, const FwCommand*>& Registry() {
    static std::map<std::string, const FwCommand*> s_registry;
    return s_registry;
}
}  // namespace

FwCommand::FwCommand(const char* i_name, const char* i_summary, Setup i_setup)
    : name(i_name), summary(i_summary), setup(i_setup) {
    Registry()[name] = this;
}

int main(int argc, char** argv) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    CLI::App app("fwtool: the firmware engineer's tool for the matrix control board's upgrade agent", "fwtool");
    app.set_version_flag("--version", std::string("fwtool ") + FWAGENT_VERSION, "print the version and exit");
    app.require_subcommand(1, 1);
    CLI::App* help = app.add_subcommand("help", "list the commands");
    std::vector<std::pair<CLI::App*, FwCommand::Run>> commands;
    for (const auto& kv : Registry()) {
        CLI::App* sub = app.add_subcommand(kv.first, kv.second->summary);
        commands.push_back({sub, kv.second->setup(*sub)});
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;  // the usage exit status
    }
    if (help->parsed()) {
        printf("%s", app.get_formatter()->make_help(&app, "fwtool", CLI::AppFormatMode::Normal).c_str());
        return 0;
    }
    for (auto& c : commands)
        if (c.first->parsed()) return c.second();
    return 2;
}
