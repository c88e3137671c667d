// A test with the master-MCU channel's surroundings: a temp board root, a
// vela stand-in, a reboot stub, a pty line and, once opened, the channel on
// its slave with the emulated MCU on its master.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "McuPeer.h"
#include "PtyLine.h"
#include "Transfer4mcu.h"
#include "Udp2vela.h"
#include "testing.h"

namespace fwtest {

class McuChannelTest : public ::testing::Test {
protected:
    TempRoot root;
    VelaStandIn vela;
    RebootStub reboot{root};
    sim::PtyLine line;
    std::unique_ptr<sim::McuPeer> mcu;
    LogCapture log{true};
    std::unique_ptr<AgentGlobals> globals;

    // The board profile alone, for tests that need no channel.
    void profile(double timeScale, const std::string& dev = "/dev/null") {
        SetProfile(TestProfile(root, vela, reboot, dev, timeScale));
    }
    // Opens the channel on dev (the pty slave when empty), as start-up would.
    void open(double timeScale = 1.0, const std::string& dev = "") {
        profile(timeScale, dev.empty() ? line.slavePath() : dev);
        globals.reset(new AgentGlobals(nullptr, AgentGlobals::kSockets));
        g_pTransferFile2mcu = new CTransfer4mcu();
        mcu.reset(new sim::McuPeer(line));
        ASSERT_EQ(CTransfer4mcu::QX_UartInit(), 0);
    }
    void TearDown() override {
        // Both channel threads end once woken: none is left sleeping or spinning.
        if (g_pTransferFile2mcu != nullptr) {
            EXPECT_EQ(CTransfer4mcu::QX_UartClose(), 0);
        }
        if (mcu) mcu->stop();
        delete g_pTransferFile2mcu;
        g_pTransferFile2mcu = nullptr;
        globals.reset();
    }
};

}  // namespace fwtest
