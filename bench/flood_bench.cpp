// Load on the order port: 100,000 datagrams of random length and content from
// loopback at full speed (no package order among them; Valens orders without
// an image), then the whole upgrade against the emulated board. Prints what
// the kernel dropped, the process's RSS along the way and the upgrade's
// checks; exits non-zero when the upgrade fails.
// usage: flood_bench [DATAGRAMS] [SEED] [TIME_SCALE]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QxLog.h"
#include "Sandbox.h"
#include "SimScenario.h"

namespace {

long RssKb() {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, 6, "VmRSS:") == 0) return atol(line.c_str() + 6);
    return -1;
}

// Receive queue bytes and drops of the UDP socket bound to the port (/proc/net/udp).
bool SocketCounters(uint16_t port, unsigned long* rxQueue, unsigned long* drops) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, st, queues, tr, retr, uid, timeout, inode, ref, ptr;
        unsigned long d = 0;
        f >> sl >> local >> remote >> st >> queues >> tr >> retr >> uid >> timeout >> inode >> ref >> ptr >> d;
        if (strtoul(local.substr(local.find(':') + 1).c_str(), nullptr, 16) != port) continue;
        *rxQueue = strtoul(queues.substr(queues.find(':') + 1).c_str(), nullptr, 16);
        *drops = d;
        return true;
    }
    return false;
}

std::vector<uint8_t> RandomDatagram(std::mt19937& rng) {
    std::vector<uint8_t> d(rng() % 2101);
    for (auto& b : d) b = (uint8_t)rng();
    if (d.size() >= 4) {
        uint32_t type = rng();
        switch (rng() % 8) {
            case 0:
                type = 253;
                break;  // a Valens order; no image is there
            case 1:
                type = 252;
                break;
            case 2:
                type = rng() % 512;
                break;
            default:
                break;
        }
        if (type == 251) type = 250;  // never a package order
        for (int i = 0; i < 4; i++) d[i] = (uint8_t)(type >> (8 * i));
        if (type == 253 && d.size() > 12 && rng() % 2) memcpy(&d[8], rng() % 2 ? "UPG TX" : "UPG RX", 6);
    }
    return d;
}

void Flood(uint16_t port, long count, unsigned seed) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::mt19937 rng(seed);
    unsigned long q0 = 0, drops0 = 0, q = 0, drops = 0;
    SocketCounters(port, &q0, &drops0);
    long rss0 = RssKb(), failed = 0;
    auto t0 = std::chrono::steady_clock::now();
    for (long i = 0; i < count; i++) {
        std::vector<uint8_t> d = RandomDatagram(rng);
        if (sendto(fd, d.data(), d.size(), 0, (sockaddr*)&to, sizeof(to)) < 0) failed++;
    }
    double sendSec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // The agent has taken everything the kernel kept when its queue is empty.
    for (int i = 0; i < 6000 && SocketCounters(port, &q, &drops) && q > 0; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    double drainSec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    close(fd);
    printf("flood: %ld datagrams sent in %.2f s (%ld send errors), queue empty after %.2f s\n", count, sendSec, failed,
           drainSec);
    printf("flood: kernel dropped %lu at the agent's socket (%.1f %%), queue now %lu bytes\n", drops - drops0,
           100.0 * (double)(drops - drops0) / (double)count, q);
    printf("flood: RSS %ld kB before, %ld kB after\n", rss0, RssKb());
    fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    long count = argc > 1 ? atol(argv[1]) : 100000;
    unsigned seed = argc > 2 ? (unsigned)atol(argv[2]) : 1;
    QxLog_SetQuiet(true);
    auto* root = new sim::TempRoot();  // the agent's threads outlive main's scope
    sim::RebootStub reboot(*root);
    sim::ScenarioOptions options;
    if (argc > 3) options.timeScale = atof(argv[3]);
    options.beforeOrders = [&](uint16_t port) { Flood(port, count, seed); };
    int rc = sim::RunUpgradeScenario(*root, reboot, options, stdout);
    printf("after the upgrade: RSS %ld kB; upgrade %s\n", RssKb(), rc == 0 ? "carried out" : "FAILED");
    sim::RemoveTree(root->path());
    fflush(stdout);
    _exit(rc);
}
