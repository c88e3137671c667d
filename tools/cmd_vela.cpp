// fwtool vela: stands in for the main control application. Sends one order to
// the agent and prints every datagram that comes back.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <stdexcept>

#include "Vela.h"
#include "fwtool.h"

namespace {

struct Args {
    int agentPort = 1158, reportPort = 1153;
    double waitSec = 5;
    std::string valensText, sendText;
    uint32_t sendType = 0;
} s_args;

int Run(uint32_t type, const std::string& payload, bool valens) {
    const int agentPort = s_args.agentPort, reportPort = s_args.reportPort;
    const double waitSec = s_args.waitSec;
    std::unique_ptr<sim::VelaStandIn> vela;
    try {
        vela.reset(new sim::VelaStandIn((uint16_t)reportPort));
    } catch (const std::exception& e) {
        fprintf(stderr, "fwtool vela: cannot listen on 127.0.0.1:%d: %s\n", reportPort, e.what());
        return 1;
    }
    vela->setOrderPort((uint16_t)agentPort);
    auto t0 = std::chrono::steady_clock::now();
    auto boardT0 = sim::BoardClock::now();
    vela->sendOrder(type, payload);
    printf("sent type %u (%zu payload bytes) to 127.0.0.1:%d; listening on 127.0.0.1:%d for %.1f s\n", type,
           payload.size(), agentPort, reportPort, waitSec);
    size_t shown = 0;
    auto end = t0 + std::chrono::milliseconds((long)(waitSec * 1000));
    bool done = false;
    while (!done && std::chrono::steady_clock::now() < end) {
        vela->waitForCount(shown + 1, 100);
        auto got = vela->datagrams();
        for (; shown < got.size(); shown++) {
            const sim::Datagram& d = got[shown];
            double at = std::chrono::duration<double>(d.at - boardT0).count();
            printf("[+%8.3fs] type %u len %u bytes %zu  %s\n", at, d.type(), d.len(), d.bytes.size(),
                   d.payload().c_str());
            sim::Report r;
            // A Valens run ends with "switch serial"; a package run with the report that says isEnd 1.
            if ((valens && d.type() == 400) || (d.type() == 252 && sim::ParseReport(d.payload(), &r) && r.isEnd == "1"))
                done = true;
        }
    }
    printf("%zu datagram(s) received\n", shown);
    return 0;
}

FwCommand::Run Setup(CLI::App& app) {
    app.add_option("--port", s_args.agentPort, "the agent's order port")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    app.add_option("--report-port", s_args.reportPort, "port to take the reports on")
        ->capture_default_str()
        ->check(CLI::Range(1, 65535));
    app.add_option("--wait", s_args.waitSec, "seconds to listen")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 86400.0));
    app.require_subcommand(1, 1);
    CLI::App* package = app.add_subcommand("package", "order a package upgrade (type 251)");
    CLI::App* valens = app.add_subcommand("valens", "order a Valens upgrade (type 253) with TEXT as its command");
    valens->add_option("TEXT", s_args.valensText, "e.g. \"UPG VALENS TX\"")->required();
    CLI::App* send = app.add_subcommand("send", "send any order TYPE with TEXT");
    send->add_option("TYPE", s_args.sendType, "order type")->required();
    send->add_option("TEXT", s_args.sendText, "payload");
    return [package, valens] {
        if (package->parsed()) return Run(251, "", false);
        if (valens->parsed()) return Run(253, s_args.valensText, true);
        return Run(s_args.sendType, s_args.sendText, false);
    };
}

FwCommand s_cmd("vela", "send an order to the agent as vela does and print every datagram that comes back", &Setup);

}  // namespace
