// Orders are taken from the board itself only. Needs root: the test moves
// into a private network namespace where lo also carries 192.0.2.1.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "testing.h"

using namespace fwtest;

TEST(HostLinkSource, DatagramFromOutsideLoopbackIsDropped) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a private network namespace";
    if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "cannot create a network namespace: " << strerror(errno);
    std::string out;
    ASSERT_EQ(RunCommand("ip link set lo up && ip addr add 192.0.2.1/32 dev lo", &out), 0) << out;

    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot(root);
    LogCapture log(true);
    vela.setOrderPort(FreeUdpPort());
    SetProfile(TestProfile(root, vela, reboot));
    root.write("/home/ubuntu/valens/VSTX.hex", "x");
    AgentGlobals globals(new CTaskfile2mcu(), AgentGlobals::kListening);  // both left to the receive thread
    ASSERT_TRUE(log.waitFor("m_socket = ["));

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in src;
    memset(&src, 0, sizeof(src));
    src.sin_family = AF_INET;
    inet_pton(AF_INET, "192.0.2.1", &src.sin_addr);
    ASSERT_EQ(bind(fd, (struct sockaddr*)&src, sizeof(src)), 0);
    struct sockaddr_in dst = src;
    dst.sin_port = htons(vela.orderPort());
    char order[16] = {(char)253, 0, 0, 0, 10, 0, 0, 0, 'T', 'X'};
    ASSERT_EQ(sendto(fd, order, 10, 0, (struct sockaddr*)&dst, sizeof(dst)), 10);
    ASSERT_TRUE(log.waitFor("orders are taken from loopback only"));
    EXPECT_EQ(log.count("######"), 1u);
    EXPECT_TRUE(log.contains("from 192.0.2.1:"));
    EXPECT_FALSE(log.contains("MarkedNum recv["));
    EXPECT_EQ(g_pTaskUP4mcu->GetValensUpFlg(), 0);

    // The same order from loopback is carried out.
    vela.sendOrder(253, "TX");
    EXPECT_TRUE(WaitFor([] { return g_pTaskUP4mcu->GetValensUpFlg() == 1; }, 10000));
    close(fd);
}
