// The message channel opened on a pty slave, with the emulated master MCU on
// the master side and a vela stand-in collecting the reports.
#include <gtest/gtest.h>
#include <string.h>

#include <chrono>

#include "McuPeer.h"
#include "PtyLine.h"
#include "Transfer4mcu.h"
#include "Udp2vela.h"
#include "mcu_channel_env.h"
#include "testing.h"

namespace {
using Bytes = std::vector<uint8_t>;

class Channel : public fwtest::McuChannelTest {
protected:
    bool gotRecord(uint32_t type, size_t n = 1) {
        return mcu->waitUntil([&] {
            size_t k = 0;
            for (const auto& r : mcu->records()) k += r.type == type;
            return k >= n;
        });
    }
};
using sim::McuWords;
}  // namespace

TEST_F(Channel, HeartbeatComesBackByteForByteAndSendMsgPads) {
    open();
    const Bytes payload{0x01, 0x7E, 0x7D, 0x00, 0xFF};
    ASSERT_EQ(mcu->sendRecord(comm_master_type_heartbeat, payload), 1);
    ASSERT_TRUE(gotRecord(comm_master_type_heartbeat));
    EXPECT_EQ(mcu->records()[0].frame, sim::McuRecord(comm_master_type_heartbeat, payload));
    EXPECT_EQ(mcu->badFrames(), 0u);

    size_t sent = 0;
    for (std::string text : {"ABCDE", "ABCD"}) {  // padded to 8 with zeros
        EXPECT_EQ(CTransfer4mcu::SendMsg(CTransfer4mcu::m_s32Uart2Fd, text.c_str(), (int)text.size(), 6), 0);
        ASSERT_TRUE(gotRecord(comm_master_type_cmd, ++sent));
        text.resize(8, '\0');
        EXPECT_EQ(mcu->records().back().len, 8);
        EXPECT_EQ(mcu->records().back().payload, Bytes(text.begin(), text.end()));
    }
    EXPECT_EQ(CTransfer4mcu::SendMsg(-1, "A", 1, 6), -1);
    EXPECT_EQ(CTransfer4mcu::SendMsg(3, nullptr, 1, 6), -1);
    EXPECT_EQ(CTransfer4mcu::SendMsg(3, "A", 0, 6), -1);
    // 1152 bytes would need 1156 with their padding: more than a record holds.
    EXPECT_EQ(CTransfer4mcu::SendMsg(3, std::string(1152, 'x').c_str(), 1152, 6), -1);
}

TEST_F(Channel, TwoRecordsHeldTogetherAreHandledWithoutASleepBetween) {
    // An idle pass sleeps 2 s at this scale; both records must be handled well inside one.
    // One frame carries both, so they are handed over together whatever the load.
    open(100.0);
    Bytes records = sim::McuRecord(comm_master_type_upg_info, McuWords({1, 1})),
          second = sim::McuRecord(comm_master_type_upg_info, McuWords({2, 2}));
    records.insert(records.end(), second.begin(), second.end());
    mcu->sendRaw(sim::McuEncodeFrame(0x4101, records));
    ASSERT_TRUE(log.waitFor("comm_master_type_upg_info mcu[1] status[1]", 30000));
    auto first = std::chrono::steady_clock::now();
    ASSERT_TRUE(log.waitFor("comm_master_type_upg_info mcu[2] status[2]", 30000));
    EXPECT_LT(std::chrono::steady_clock::now() - first, std::chrono::milliseconds(1500));
    EXPECT_EQ(g_UpgInfo.mcu.load(), 2);
    EXPECT_EQ(g_UpgInfo.status.load(), 2);
}

TEST_F(Channel, RefusedFramesLeaveTheChannelWorking) {
    Bytes big = McuWords({comm_master_type_cmd, 1025}), shortLen = McuWords({comm_master_type_cmd, 20}),
          stray = sim::McuRecord(comm_master_type_upg_info, McuWords({7, 7}));
    big.resize(8 + 1025, 'A');
    shortLen.resize(8 + 12, 'B');
    stray.insert(stray.end(), {1, 2, 3});
    const struct {
        const char* legend;
        Bytes frame;
    } rows[] = {{"len 1025 with its 1033 bytes", big},
                {"len above the bytes received", shortLen},
                {"shorter than a header", Bytes{11, 0, 0, 0, 0}},
                {"a record and stray bytes after it", stray}};
    open();
    size_t beats = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE(r.legend);
        ASSERT_EQ(mcu->send(r.frame), 1);  // acknowledged all the same
        ASSERT_EQ(mcu->sendRecord(comm_master_type_heartbeat, Bytes{9}), 1);
        EXPECT_TRUE(gotRecord(comm_master_type_heartbeat, ++beats));
    }
    // Refused where the frame comes in, by the parser's own rule: nothing bad
    // reaches the parser, so it never drops good records held with a bad one.
    EXPECT_EQ(log.count("Failed to call QX_GetTLVFromData"), 0u);
    EXPECT_EQ(g_UpgInfo.mcu.load(), 7);
}

TEST_F(Channel, WaitUpgReadyAndUpgradeFinished) {
    open(0.01);
    EXPECT_EQ(CTransfer4mcu::QX_WaitUPGReady(7), 0);
    ASSERT_TRUE(gotRecord(comm_master_type_upg_request));
    EXPECT_EQ(mcu->records()[0].frame, sim::McuRecord(comm_master_type_upg_request, Bytes{7, 0, 0, 0}));
    mcu->setAnswerUpgradeRequest(false);
    EXPECT_EQ(CTransfer4mcu::QX_WaitUPGReady(1), 1);
    // A type-4 record: the closing report, then the reboot.
    ASSERT_EQ(mcu->sendRecord(comm_master_type_upg_finish, Bytes{}), 1);
    ASSERT_TRUE(reboot.waitForRun());
    auto reports = vela.reports();
    ASSERT_EQ(reports.size(), 1u);
    const fwtest::Report& r = reports[0];
    EXPECT_EQ((std::vector<std::string>{r.name, r.total, r.current, r.percent, r.isEnd}),
              (std::vector<std::string>{"ST(0)", "9", "0", "100", "1"}));
    auto d = vela.datagrams();
    EXPECT_EQ(d[0].type(), (uint32_t)comm_master_type_upgrade_status);
    EXPECT_EQ(d[0].len(), d[0].bytes.size());
}

TEST_F(Channel, StatusTransferAndTextRecordsAreTakenIn) {
    open();
    ASSERT_EQ(mcu->sendRecord(comm_master_type_upg_info, McuWords({5, 0xFFFFFFFF})), 1);
    EXPECT_TRUE(fwtest::WaitFor([] { return g_UpgInfo.mcu.load() == 5 && g_UpgInfo.status.load() == -1; }));
    ASSERT_EQ(mcu->sendRecord(comm_master_type_upgrade_data, Bytes{4, 0, 4, 0, 0x34, 0x12, 0, 0}), 1);
    EXPECT_TRUE(fwtest::WaitFor([] { return g_comm_core.ops_code.load() == 4; }));
    EXPECT_EQ(g_comm_core.tu_block.load(), 0x1234);
    const char text[] = "GET DEV CH\n";  // the text parser takes AMX commands as the MCU's own
    ASSERT_EQ(mcu->sendRecord(comm_master_type_amx_cmd, Bytes(text, text + sizeof(text))), 1);
    EXPECT_TRUE(log.waitFor("pOneMsg = [GET DEV CH]"));
}

TEST_F(Channel, PortThatCannotOpenStillStartsTheLinkAndWritesFail) {
    open(0.01, root.path() + "/no-such-tty");
    EXPECT_TRUE(log.waitFor("Uart2 OPEN Fail!"));
    comm_master_t record{};
    record.type = comm_master_type_heartbeat;
    EXPECT_EQ(CTransfer4mcu::QX_UartWrite(&record), -1);
    record.len = 1153;
    EXPECT_EQ(CTransfer4mcu::QX_UartWrite(&record), -1);
}

TEST_F(Channel, FullHandOverBufferMakesTheReceiverWaitNotDrop) {
    // The dispatch thread rests 2 s between idle passes at this scale, so three
    // records of 1008 bytes arrive while at most two fit in the hand-over buffer.
    open(100.0);
    for (int i = 0; i < 3; i++) {
        std::string text = "GET DEV CUARTDATA " + std::to_string(i) + "\r\n";
        Bytes payload(text.begin(), text.end());
        payload.resize(1000, 0);
        ASSERT_EQ(mcu->sendRecord(comm_master_type_cmd, payload), 1);
    }
    ASSERT_TRUE(log.waitFor("search to end, no match", 60000, 3));
    for (int i = 0; i < 3; i++) EXPECT_TRUE(log.contains("pOneMsg = [GET DEV CUARTDATA " + std::to_string(i) + "]"));
    EXPECT_FALSE(log.contains("Data more than MAX_UART_DATA[2048]"));
}
