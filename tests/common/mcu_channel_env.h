// The master-MCU channel on a pty, the emulated MCU on its master, on virtual time.
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

class McuChannelTest : public ::testing::Test, public AgentHome {
protected:
    McuChannelTest() : AgentHome(0) {}
    sim::PtyLine line;
    std::unique_ptr<sim::McuPeer> mcu;
    std::unique_ptr<AgentGlobals> globals;

    // Opens the channel on dev (the pty slave when empty), as start-up would.
    void open(const std::string& dev = "") {
        install(dev.empty() ? line.slavePath() : dev, 0);
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
