// The host link over real UDP sockets on loopback.
#include <gtest/gtest.h>
#include <string.h>
#include <arpa/inet.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <thread>

#include "MgTask.h"
#include "testing.h"

using namespace fwtest;

namespace {

class Home : public ::testing::Test, public AgentHome {};
using HostLinkSend = Home;
using HostLinkStartup = Home;
using HostLinkHandOver = Home;

// A listening host link; the task object exists, its scheduler does not run.
class HostLink : public Home {
protected:
    void SetUp() override {
        vela.setOrderPort(FreeUdpPort());
        install();
        globals.reset(new AgentGlobals(&task, AgentGlobals::kListening));
        ASSERT_TRUE(log.waitFor("m_socket = ["));
    }
    // Sends and waits until the text logged for it has been logged once more.
    void Order(uint32_t type, const std::string& payload, const char* until = "MarkedNum recv[") {
        size_t before = log.count(until);
        vela.sendOrder(type, payload);
        ASSERT_TRUE(log.waitFor(until, 10000, before + 1)) << log.text();
    }
    CTaskfile2mcu& task = *new CTaskfile2mcu();  // the receive thread may use it to the end
    std::unique_ptr<AgentGlobals> globals;
};

TEST_F(HostLink, DatagramsShorterOrLongerThanTheirFieldsAreReadSafely) {
    vela.sendRaw({});  // an empty datagram: no line, no number
    Order(0, "");
    EXPECT_EQ(log.count("MarkedNum recv["), 1u);
    // One byte 251: the type, the missing bytes 0. Without a package it stops at the access check.
    vela.sendRaw({251});
    ASSERT_TRUE(log.waitFor("###### access QX_TXMCU_UPDATE_FILE_PATH is Failed"));
    EXPECT_FALSE(task.GetUpgradeflg());
    std::vector<uint8_t> big(3000, 'a');  // handled as its first 2048 bytes
    const uint32_t head[2] = {7, 3000};
    memcpy(big.data(), head, sizeof(head));
    vela.sendRaw(big);
    vela.sendOrder(0, "");  // each of the three carried its line: 251, the big one, this
    EXPECT_TRUE(log.waitFor("MarkedNum recv[", 10000, 4));
}

// A Valens order keeps its text (up to its first NUL, at most 1023 characters)
// and selects the chip whose image exists: "TX" before "RX", case-sensitive.
TEST_F(HostLink, ValensOrdersStoreTheirTextAndSelectTheChip) {
    struct {
        const char* legend;
        std::string images, payload, cmd;
        int flag;
    } rows[] = {
        {"TX wins over RX", "TX", "UPG TX RX!", "UPG TX RX!", 1},
        {"eight bytes: an empty command, no target", "TX", "", "", 0},
        {"the text ends at its first NUL", "RX", std::string("RX\0tail", 7), "RX", 2},
        {"1500 characters: 1023 kept", "TX", std::string(1500, 'Q'), std::string(1023, 'Q'), 0},
        {"TX without its image", "RX", "UPG TX", "UPG TX", 0},
        {"RX with its image", "RX", "UPG RX", "UPG RX", 2},
        {"lower case is no target", "TX RX", "upg tx rx", "upg tx rx", 0},
    };
    for (const auto& r : rows) {
        for (const char* chip : {"TX", "RX"}) {
            const std::string image = std::string("/home/ubuntu/valens/VS") + chip + ".hex";
            if (r.images.find(chip) != std::string::npos)
                root.write(image, ":00000001FF\n");
            else
                unlink(root.file(image).c_str());
        }
        task.SetValensUpFlg(0);
        Order(253, r.payload, "CmdLen:[");
        EXPECT_EQ(g_pudp4vela->GetValensUpCmd(), r.cmd) << r.legend;
        EXPECT_TRUE(WaitFor([&] { return task.GetValensUpFlg() == r.flag; }, 1000)) << r.legend;  // set after the line
    }
}

TEST_F(HostLink, SendCarriesTheRecordAsItIsUpTo2048Bytes) {
    EXPECT_EQ(QX_SendText2vela(comm_master_type_switch_serial, "switch serial"), 0);
    std::vector<char> buf(4096, 0);
    EXPECT_EQ(g_pudp4vela->Send(buf.data(), 2048), 0);
    ASSERT_TRUE(vela.waitForCount(2));
    auto d = vela.datagrams();
    EXPECT_EQ(d[0].bytes.size(), 21u);
    EXPECT_EQ(d[0].type(), 400u);
    EXPECT_EQ(d[0].len(), 21u);
    EXPECT_EQ(d[0].payload(), "switch serial");
    EXPECT_EQ(d[1].bytes.size(), 2048u);
    EXPECT_EQ(g_pudp4vela->Send(buf.data(), 2049), -1);
    EXPECT_EQ(g_pudp4vela->Send(nullptr, 8), -1);
}

TEST_F(HostLinkSend, ReturnsZeroWithNobodyListening) {
    BoardProfile p = TestProfile(root, vela, reboot);
    p.u16ReportPort = FreeUdpPort();  // nobody there
    SetProfile(p);
    AgentGlobals globals(nullptr, AgentGlobals::kSockets);
    EXPECT_EQ(QX_SendText2vela(252, "lost"), 0);
    EXPECT_EQ(QX_SendText2vela(252, "lost again"), 0);
}

// A port handed over on descriptor 3 is taken as it is, only when meant for us.
TEST_F(HostLinkStartup, TakesTheOrderPortTheServiceManagerHandsOver) {
    install();
    struct {
        const char* legend;
        bool forUs;  // LISTEN_PID names this process
        bool taken;
    } rows[] = {{"handed to this process", true, true}, {"handed to another process", false, false}};
    for (const auto& r : rows) {
        int held = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in addr = {};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        ASSERT_EQ(bind(held, (struct sockaddr*)&addr, sizeof(addr)), 0);
        getsockname(held, (struct sockaddr*)&addr, &len);
        pid_t pid = fork();
        if (pid == 0) {
            // The child owns descriptor 3 as a service manager's child would.
            dup2(held, 3);
            setenv("LISTEN_FDS", "1", 1);
            setenv("LISTEN_PID", std::to_string(r.forUs ? getpid() : getppid()).c_str(), 1);
            CUdpListen2vela link;
            bool ok = link.CreateSocket() == 0 && (link.m_socket == 3) == r.taken;
            char buf[16] = "";
            if (ok && r.taken) ok = recv(link.m_socket, buf, sizeof(buf), 0) == 5 && memcmp(buf, "order", 5) == 0;
            ok = ok && (getenv("LISTEN_FDS") == nullptr) == r.taken;
            _exit(ok ? 0 : 1);
        }
        if (r.taken) sendto(held, "order", 5, 0, (struct sockaddr*)&addr, sizeof(addr));
        int status = -1;
        waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << r.legend;
        close(held);
    }
}

TEST_F(HostLinkStartup, TakenOrderPortEndsTheStartWithAFailure) {
    VelaStandIn holder;  // another process on the order port
    vela.setOrderPort(holder.reportPort());
    install("/dev/null", 0.01);
    // Deaf but alive would let whoever holds the port take vela's orders.
    EXPECT_EQ(MgTask_StartService(), -1);
    EXPECT_TRUE(log.contains("bind: "));
    EXPECT_EQ(g_pTaskUP4mcu, nullptr);
    EXPECT_EQ(reboot.count(), 0);
}

TEST_F(HostLinkHandOver, ReaderNeverSeesAMixOfTwoValensCommands) {
    install();
    AgentGlobals globals(nullptr, AgentGlobals::kSockets);  // not listening: the receive path is driven directly
    CUdpListen2vela& link = *globals.link;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<char> v[2] = {std::vector<char>(8 + 1000, 'A'), std::vector<char>(8 + 1000, 'B')};
        for (auto& x : v) x[0] = (char)253, x[1] = x[2] = x[3] = 0;  // Valens orders
        for (int i = 0; !stop; i++) link.TranslateOnePack2Struct(v[i & 1].data(), (int32_t)v[i & 1].size());
    });
    int mixed = 0, seen = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (seen < 20000 && std::chrono::steady_clock::now() < end) {
        std::string s = link.GetValensUpCmd();
        if (s.empty()) continue;
        seen++;
        if (s.size() != 1000 || s.find_first_not_of(s[0]) != std::string::npos) mixed++;
    }
    stop = true;
    writer.join();
    EXPECT_GT(seen, 0);
    EXPECT_EQ(mixed, 0);
}

}  // namespace
