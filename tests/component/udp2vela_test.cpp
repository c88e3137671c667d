// The host link over real UDP sockets on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>

#include "MgTask.h"
#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "testing.h"

using namespace fwtest;

namespace {

// A host link listening on a free port, reporting to a vela stand-in; the
// task object exists (so orders can set its flags) but its scheduler does not run.
class HostLink : public ::testing::Test {
protected:
    void SetUp() override {
        vela.setOrderPort(FreeUdpPort());
        ASSERT_EQ(BoardProfile_Set(TestProfile(root, vela, reboot)), 0);
        g_pTaskUP4mcu = new CTaskfile2mcu();
        g_pudp4vela = new CUdpListen2vela();
        g_pudp4vela->init();
        ASSERT_TRUE(log.waitFor("m_socket = ["));
    }
    // Sends and waits until the receive line for it (or the given text) is logged.
    void Order(uint32_t type, const std::string& payload, const char* until = "MarkedNum recv[") {
        size_t before = log.count(until);
        vela.sendOrder(type, payload);
        ASSERT_TRUE(log.waitFor(until, 10000, before + 1)) << log.text();
    }
    int LastRecvNumber() {
        std::string t = log.text();
        std::smatch m;
        int n = -1;
        std::regex re("MarkedNum recv\\[(\\d+)\\]");
        for (auto it = std::sregex_iterator(t.begin(), t.end(), re); it != std::sregex_iterator(); ++it)
            n = std::stoi((*it)[1]);
        return n;
    }
    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot{root};
    LogCapture log{true};
};

TEST_F(HostLink, ReceiveNumberRunsFrom1To49ThenWrapsTo0) {
    for (int i = 1; i <= 51; i++) {
        Order(999, "x");
        EXPECT_EQ(LastRecvNumber(), i % 50) << "datagram " << i;
    }
}

TEST_F(HostLink, DatagramFieldsAreReadFromWhatArrived) {
    vela.sendRaw({});  // an empty datagram: no line, no number
    Order(0, "", "MarkedNum recv[");
    EXPECT_EQ(log.count("MarkedNum recv["), 1u);
    EXPECT_EQ(LastRecvNumber(), 1);
    // One byte 251: the type, with the missing bytes 0. Without a package it stops at the access check.
    log.clear();
    vela.sendRaw({251});
    ASSERT_TRUE(log.waitFor("###### access QX_TXMCU_UPDATE_FILE_PATH is Failed"));
    EXPECT_TRUE(log.contains("recvbuf[251] [0]"));
    EXPECT_TRUE(log.contains("datalenth[1]"));
    EXPECT_FALSE(g_pTaskUP4mcu->GetUpgradeflg());

    // 3000 bytes are handled as their first 2048.
    std::vector<uint8_t> big(3000, 'a');
    uint32_t t = 7, l = 3000;
    memcpy(big.data(), &t, 4);
    memcpy(big.data() + 4, &l, 4);
    vela.sendRaw(big);
    ASSERT_TRUE(log.waitFor("recvbuf[7] [3000]"));
    EXPECT_TRUE(log.contains("datalenth[2048]"));
}

TEST_F(HostLink, ValensOrderStoresItsTextAndSelectsTheChip) {
    root.write("/home/ubuntu/valens/VSTX.hex", ":00000001FF\n");
    Order(253, "UPG TX RX!", "CmdLen:[");
    EXPECT_TRUE(log.contains("----------Valens upgrade Uart Cmd :[UPG TX RX!], CmdLen:[10]"));
    EXPECT_STREQ(g_pudp4vela->GetValensUpCmd(), "UPG TX RX!");
    EXPECT_TRUE(WaitFor([] { return g_pTaskUP4mcu->GetValensUpFlg() == 1; }, 1000));  // "TX" wins over "RX"

    // Eight bytes: an empty command, no target.
    g_pTaskUP4mcu->SetValensUpFlg(0);
    Order(253, "", "CmdLen:[");
    EXPECT_TRUE(log.contains("Cmd :[], CmdLen:[0]"));
    EXPECT_STREQ(g_pudp4vela->GetValensUpCmd(), "");
    EXPECT_EQ(g_pTaskUP4mcu->GetValensUpFlg(), 0);

    // The payload ends at its first NUL; at most 1023 characters are kept.
    Order(253, std::string("RX\0tail", 7), "CmdLen:[2]");
    Order(253, std::string(1500, 'Q'), "CmdLen:[1023]");
    EXPECT_EQ(strlen(g_pudp4vela->GetValensUpCmd()), 1023u);
}

TEST_F(HostLink, ValensImageMustExistForTheSelectedChip) {
    root.write("/home/ubuntu/valens/VSRX.hex", ":00000001FF\n");
    Order(253, "UPG TX", "access VSTX.hex");
    EXPECT_TRUE(log.contains("###### access VSTX.hex is Failed"));
    EXPECT_EQ(g_pTaskUP4mcu->GetValensUpFlg(), 0);
    Order(253, "UPG RX", "CmdLen:[");
    EXPECT_TRUE(log.waitFor("CmdLen:[6]"));
    EXPECT_TRUE(WaitFor([] { return g_pTaskUP4mcu->GetValensUpFlg() == 2; }, 1000));  // set after the line
    Order(253, "upg tx rx", "CmdLen:[");  // the search is case-sensitive
    EXPECT_EQ(g_pTaskUP4mcu->GetValensUpFlg(), 2);
    EXPECT_FALSE(log.contains("access VSRX.hex is Failed"));
}

TEST_F(HostLink, SendCarriesTheRecordAsItIs) {
    comm_master_t rec;
    memset(&rec, 0, sizeof(rec));
    rec.type = 251;  // any record; a 252 would have to be a report vela can read
    std::string text(100, 'r');
    memcpy(rec.data, text.data(), text.size());
    rec.len = 108;
    EXPECT_EQ(g_pudp4vela->Send((char*)&rec, 108), 0);
    EXPECT_EQ(QX_SendText2vela(comm_master_type_switch_serial, "switch serial"), 0);
    ASSERT_TRUE(vela.waitForCount(2));
    auto d = vela.datagrams();
    ASSERT_EQ(d[0].bytes.size(), 108u);
    EXPECT_EQ(d[0].type(), 251u);
    EXPECT_EQ(d[0].len(), 108u);
    EXPECT_EQ(d[0].payload(), text);  // no NUL after the text
    ASSERT_EQ(d[1].bytes.size(), 21u);
    EXPECT_EQ(d[1].type(), 400u);
    EXPECT_EQ(d[1].len(), 21u);
    EXPECT_EQ(d[1].payload(), "switch serial");
    EXPECT_TRUE(log.contains("MarkedNum send[0] In CUdpListen2vela::Send() sendbuf[400] [switch serial] [21]"));
    // Limits: 2048 bytes go, 2049 and no message are refused.
    std::vector<char> buf(4096, 0);
    EXPECT_EQ(g_pudp4vela->Send(buf.data(), 2048), 0);
    ASSERT_TRUE(vela.waitForCount(3));
    EXPECT_EQ(vela.datagrams()[2].bytes.size(), 2048u);
    EXPECT_EQ(g_pudp4vela->Send(buf.data(), 2049), -1);
    EXPECT_TRUE(log.contains("In CUdpListen4Web::Send(), Length of Msg is Wrong"));
    EXPECT_EQ(g_pudp4vela->Send(nullptr, 8), -1);
    EXPECT_TRUE(log.contains("In CUdpListen4Web::Send(), Msg is Wrong"));
}

TEST(HostLinkSend, ReturnsZeroWithNobodyListening) {
    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot(root);
    LogCapture log(true);
    BoardProfile p = TestProfile(root, vela, reboot);
    p.u16OrderPort = FreeUdpPort();
    p.u16ReportPort = FreeUdpPort();  // nobody there
    ASSERT_EQ(BoardProfile_Set(p), 0);
    CUdpListen2vela link;
    link.CreateSocket();  // sockets only, no receive thread
    g_pudp4vela = &link;
    EXPECT_EQ(QX_SendText2vela(252, "lost"), 0);
    EXPECT_EQ(QX_SendText2vela(252, "lost again"), 0);
    g_pudp4vela = nullptr;
}

TEST(HostLinkStamp, TimeStampIsAlways15Characters) {
    std::regex re("^\\d\\d:\\d\\d:\\d\\d\\.\\d{6}$");
    for (int i = 0; i < 2000; i++) {
        std::string s = CUdpListen2vela::getDateTime();
        ASSERT_EQ(s.size(), 15u) << s;
        ASSERT_TRUE(std::regex_match(s, re)) << s;
    }
}

TEST(HostLinkStartup, TakenOrderPortStillStartsTheScheduler) {
    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot(root);
    LogCapture log(true);
    // Hold the order port on all addresses, as another process would.
    int holder = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(bind(holder, (struct sockaddr*)&a, sizeof(a)), 0);
    socklen_t l = sizeof(a);
    getsockname(holder, (struct sockaddr*)&a, &l);
    vela.setOrderPort(ntohs(a.sin_port));
    ASSERT_EQ(BoardProfile_Set(TestProfile(root, vela, reboot, "/dev/null", 0.01)), 0);

    ASSERT_EQ(MgTask_StartService(), 0);
    EXPECT_TRUE(log.waitFor("bind: "));
    EXPECT_TRUE(log.waitFor("In CTaskfile2mcu, successful pthread"));
    EXPECT_TRUE(log.waitFor("function [WaitForRead], line = [357]"));
    // The scheduler still works: a Valens order set by hand runs its branch.
    g_pTaskUP4mcu->SetValensUpFlg(2);
    EXPECT_TRUE(log.waitFor("In CTaskfile2mcu::CloseUart, close fd...."));
    EXPECT_TRUE(WaitFor([] { return g_pTaskUP4mcu->GetValensUpFlg() == 0; }, 2000));
    EXPECT_EQ(reboot.count(), 0);
    close(holder);
}

}  // namespace

namespace {
TEST(HostLinkHandOver, ReaderNeverSeesAMixOfTwoValensCommands) {
    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot(root);
    LogCapture log(true);
    ASSERT_EQ(BoardProfile_Set(TestProfile(root, vela, reboot)), 0);
    CUdpListen2vela link;  // no sockets: the receive path is driven directly
    g_pudp4vela = &link;
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::vector<char> a(8 + 1000, 'A'), b(8 + 1000, 'B');
        for (auto* v : {&a, &b}) {
            uint32_t t = 253;
            memcpy(v->data(), &t, 4);
        }
        for (int i = 0; !stop; i++) {
            std::vector<char>& v = (i & 1) ? b : a;
            link.TranslateOnePack2Struct(v.data(), (int32_t)v.size());
        }
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
    g_pudp4vela = nullptr;
    EXPECT_GT(seen, 0);
    EXPECT_EQ(mixed, 0);
}
}  // namespace
