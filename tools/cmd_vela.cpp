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

int Main(const std::vector<std::string>& args) {
    int agentPort = 1158, reportPort = 1153;
    double waitSec = 5;
    std::vector<std::string> words;
    for (size_t i = 0; i < args.size(); i++) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "--port" && hasValue) {
            agentPort = atoi(args[++i].c_str());
        } else if (a == "--report-port" && hasValue) {
            reportPort = atoi(args[++i].c_str());
        } else if (a == "--wait" && hasValue) {
            waitSec = atof(args[++i].c_str());
        } else if (a.compare(0, 2, "--") == 0) {
            fprintf(stderr, "fwtool vela: unknown option %s\n", a.c_str());
            return FwUsage("vela");
        } else {
            words.push_back(a);
        }
    }
    if (words.empty() || agentPort <= 0 || agentPort > 65535 || reportPort <= 0 || reportPort > 65535)
        return FwUsage("vela");
    uint32_t type;
    std::string payload;
    bool valens = false;
    if (words[0] == "package" && words.size() == 1) {
        type = 251;
    } else if (words[0] == "valens" && words.size() == 2) {
        type = 253;
        payload = words[1];
        valens = true;
    } else if (words[0] == "send" && (words.size() == 2 || words.size() == 3)) {
        type = (uint32_t)strtoul(words[1].c_str(), nullptr, 0);
        if (words.size() == 3) payload = words[2];
    } else {
        return FwUsage("vela");
    }

    std::unique_ptr<sim::VelaStandIn> vela;
    try {
        vela.reset(new sim::VelaStandIn((uint16_t)reportPort));
    } catch (const std::exception& e) {
        fprintf(stderr, "fwtool vela: cannot listen on 127.0.0.1:%d: %s\n", reportPort, e.what());
        return 1;
    }
    vela->setOrderPort((uint16_t)agentPort);
    auto t0 = std::chrono::steady_clock::now();
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
            double at = std::chrono::duration<double>(d.at - t0).count();
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

FwCommand s_cmd("vela", "[--port N] [--report-port N] [--wait SEC] package | valens TEXT | send TYPE [TEXT]",
                "send an order to the agent as vela does and print every datagram that comes back", &Main);

}  // namespace
