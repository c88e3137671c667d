// The master-MCU channel on a pty against the emulated master MCU: records,
// the block-transfer engine with a scripted peer, and both file pushes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "APP_TinyTFTP.h"
#include "APP_TinyTFTP_Port.h"
#include "McuPeer.h"
#include "Transfer4mcu.h"
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
using Engine = fwtest::McuChannelTest;
using ChannelPush = fwtest::McuChannelTest;

// A scripted far end for the block-transfer engine: packets to hand over (each
// as one frame of its own length), and what the engine sends.
struct Peer {
    std::deque<Bytes> in;
    std::vector<Bytes> out;
    int failWrite = -1;  // this write (0-based) fails
    static int32_t Read(void* user, void* buf, int32_t size) {
        Peer* p = static_cast<Peer*>(user);
        if (p->in.empty()) {
            sim::SleepFor(std::chrono::milliseconds(100));  // as the link's read: a while, then nothing
            return 0;
        }
        size_t n = std::min<size_t>(p->in.front().size(), (size_t)size);
        memset(buf, 0xEE, size);  // whatever lies past the frame is never taken for it
        memcpy(buf, p->in.front().data(), n);
        p->in.pop_front();
        return (int32_t)n;
    }
    static int32_t Write(void* user, const void* packet, int32_t len) {
        Peer* p = static_cast<Peer*>(user);
        if (p->failWrite-- == 0) return -1;
        p->out.emplace_back((const uint8_t*)packet, (const uint8_t*)packet + len);
        return len;
    }
};

tftp_param Param(const std::string& root, void* user, int32_t (*rd)(void*, void*, int32_t) = Peer::Read,
                 int32_t (*wr)(void*, const void*, int32_t) = Peer::Write) {
    tftp_param p{};
    snprintf(p.root_path, sizeof(p.root_path), "%s", root.c_str());
    p.user = user;
    p.read = rd;
    p.write = wr;
    return p;
}

Bytes Data(uint16_t block, const std::string& data) {
    Bytes b(TFTP_FRAME_SIZE);
    b.resize(TinyTFTP_PutData(b.data(), block, (const uint8_t*)data.data(), (int)data.size()));
    return b;
}
Bytes Request(const char* name) {
    Bytes b(TFTP_FRAME_SIZE);
    b.resize(TinyTFTP_PutRequest(b.data(), (int)b.size(), TFTP_WRQ, name, "octet"));
    return b;
}
Bytes AckPacket(uint16_t block) {
    Bytes b(6);
    TinyTFTP_PutAck(b.data(), block);
    return b;
}
Bytes Cut(Bytes b, size_t n) {
    b.resize(n);
    return b;
}

// The received directory of the root, made as the service would (0700); its path with the slash.
std::string ReceivedDir(const sim::TempRoot& root) {
    root.mkdirs(QX_STATE_DIR);
    mkdir(root.file(TFTP_RECEIVED_DIR).c_str(), 0700);
    return root.file(TFTP_RECEIVED_DIR);
}
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
        EXPECT_EQ(
            CTransfer4mcu::SendMsg(CTransfer4mcu::m_s32Uart2Fd, text.c_str(), (int)text.size(), comm_master_type_cmd),
            0);
        ASSERT_TRUE(gotRecord(comm_master_type_cmd, ++sent));
        text.resize(8, '\0');
        EXPECT_EQ(mcu->records().back().len, 8);
        EXPECT_EQ(mcu->records().back().payload, Bytes(text.begin(), text.end()));
    }
    // 1152 bytes would need 1156 with their padding: more than a record holds.
    EXPECT_EQ(CTransfer4mcu::SendMsg(3, std::string(1152, 'x').c_str(), 1152, comm_master_type_cmd), -1);
}

TEST_F(Channel, TwoRecordsHeldTogetherAreHandledWithoutASleepBetween) {
    // One frame carries both: both are handled at one board instant.
    open();
    Bytes records = sim::McuRecord(comm_master_type_upg_info, McuWords({1, 1})),
          second = sim::McuRecord(comm_master_type_upg_info, McuWords({2, 2}));
    records.insert(records.end(), second.begin(), second.end());
    mcu->sendRaw(sim::McuEncodeFrame(0x4101, records));
    ASSERT_TRUE(log.waitFor("comm_master_type_upg_info mcu[2] status[2]"));
    EXPECT_EQ(log.at("comm_master_type_upg_info mcu[2] status[2]") - log.at("comm_master_type_upg_info mcu[1] status[1]"),
              sim::BoardClock::duration::zero());
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
    // Refused where the frame comes in: the parser never sees a bad one.
    EXPECT_EQ(log.count("Failed to call QX_GetTLVFromData"), 0u);
    EXPECT_EQ(g_UpgInfo.mcu.load(), 7);
}

TEST_F(Channel, WaitUpgReadyAndUpgradeFinished) {
    open();
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
    EXPECT_TRUE(
        fwtest::WaitFor([] { return g_comm_core.ops_code.load() == 4 && g_comm_core.tu_block.load() == 0x1234; }));
    const char cmd[] = "\r\nSET DEV REBOOT\r\nGET DEV CH\r\n", amx[] = "GET DEV CUARTDATA\n";
    ASSERT_EQ(mcu->sendRecord(comm_master_type_cmd, Bytes(cmd, cmd + sizeof(cmd))), 1);
    ASSERT_EQ(mcu->sendRecord(comm_master_type_amx_cmd, Bytes(amx, amx + sizeof(amx))), 1);
    // Both reach the text parser line by line (no command has a handler on this board).
    for (std::string line : {"SET DEV REBOOT", "GET DEV CH", "GET DEV CUARTDATA"})
        EXPECT_TRUE(log.waitFor("pOneMsg = [" + line + "]")) << line;
}

TEST_F(Channel, PortThatCannotOpenStillStartsTheLinkAndWritesFail) {
    open(root.path() + "/no-such-tty");
    EXPECT_TRUE(log.waitFor("Uart2 OPEN Fail!"));
    comm_master_t record{};
    record.type = comm_master_type_heartbeat;
    EXPECT_EQ(CTransfer4mcu::QX_UartWrite(&record), -1);
    record.len = 1153;
    EXPECT_EQ(CTransfer4mcu::QX_UartWrite(&record), -1);
}

TEST_F(Channel, FullHandOverBufferMakesTheReceiverWaitNotDrop) {
    // The echo of a heartbeat waits for a lost acknowledgement while three
    // records of 1008 bytes arrive; two fit in the hand-over buffer.
    open();
    mcu->dropAcks(1);
    ASSERT_EQ(mcu->sendRecord(comm_master_type_heartbeat, Bytes{9}), 1);
    for (int i = 0; i < 3; i++) {
        std::string text = "GET DEV CUARTDATA " + std::to_string(i) + "\r\n";
        Bytes payload(text.begin(), text.end());
        payload.resize(1000, 0);
        ASSERT_EQ(mcu->sendRecord(comm_master_type_cmd, payload), 1);
    }
    ASSERT_TRUE(log.waitFor("search to end, no match", 60000, 3));
    for (int i = 0; i < 3; i++) EXPECT_TRUE(log.contains("pOneMsg = [GET DEV CUARTDATA " + std::to_string(i) + "]"));
    EXPECT_FALSE(log.contains("Data more than MAX_UART_DATA[2048]"));
    ASSERT_TRUE(log.contains("New DataOffset [2016]"));  // two held ...
    EXPECT_LT(log.at("New DataOffset [2016]"), log.at("tiny_send_wait_ack rt"));  // ... the echo still waiting
}

// ---------------------------------------------------------------- block transfers

TEST_F(Engine, ScriptedPeersGetTheRightAnswers) {
    install("/dev/null", 0);  // the receiver's 30 periods of 30 s pass on virtual time
    const std::string rx = ReceivedDir(root);
    sim::MkdirP(rx + "sub");
    sim::WriteFile(rx + "there.bin", "abc");
    sim::WriteFile(rx + "r.bin", std::string(400000, 'X'));  // a longer old file is replaced whole
    root.mkdirs("/dst");
    root.write("/dst/there.bin", "abc");
    root.write("/dst/file.bin", "to the MCU");
    ASSERT_EQ(symlink("file.bin", root.file("/dst/link.bin").c_str()), 0);
    // A FIFO with bytes in it and a writer: opened, it would be read as if it were a file.
    ASSERT_EQ(mkfifo(root.file("/dst/fifo").c_str(), 0600), 0);
    int fifo = ::open(root.file("/dst/fifo").c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(fifo, 0);
    ASSERT_EQ(write(fifo, "abc", 3), 3);
    std::string b1 = fwtest::RandomBytes(1024, 1), b2 = fwtest::RandomBytes(100, 2);
    std::string big = fwtest::RandomBytes(300 * 1024 + 100, 3);  // more than 255 blocks
    std::vector<Bytes> blocks{Request("r.bin")}, acks{AckPacket(0)};
    for (uint16_t b = 1; b <= 301; b++) {
        blocks.push_back(Data(b, big.substr((b - 1) * 1024, 1024)));
        acks.push_back(AckPacket(b));
    }
    blocks.insert(blocks.begin() + 2, blocks[1]);
    acks.insert(acks.begin() + 2, acks[1]);
    const Bytes err{5, 0, 5, 0, 1, 0, 0};
    std::vector<Bytes> silent{AckPacket(0), AckPacket(1)};  // then block 1 again at each of 30 periods
    silent.insert(silent.end(), 30, AckPacket(1));
    const Bytes good = Data(1, b1), bad = Cut(good, 500);  // block 1 cut short: it states 1024 bytes
    struct {
        const char* legend;
        const char* sendName;  // the engine sends this file; null: it receives
        std::vector<Bytes> in, out;
        int result;
        int failWrite = -1;
        const char* stored = nullptr;  // received: this file then holds `content`
        std::string content = "";
    } rows[] = {
        {"301 blocks, the first twice: the repeat acknowledged again, written once", nullptr, blocks, acks, 1},
        // clang-format off
        {"a block out of order is refused, the next one taken", nullptr,
         {Request("order.bin"), Data(1, b1), Data(3, "zzz"), Data(2, b2)},
         {AckPacket(0), AckPacket(1), AckPacket(2)}, 1, -1, "order.bin", b1 + b2},
        {"a block from before the last one is refused", nullptr,
         {Request("older.bin"), Data(1, b1), Data(2, b1), Data(1, b2), Data(3, b2)},
         {AckPacket(0), AckPacket(1), AckPacket(2), AckPacket(3)}, 1, -1, "older.bin", b1 + b1 + b2},
        {"a block stating more bytes than its frame carries is refused", nullptr,
         {Request("cut.bin"), bad, good, Data(2, b2)},
         {AckPacket(0), AckPacket(1), AckPacket(2)}, 1, -1, "cut.bin", b1 + b2},
        {"block 0 is no block", nullptr, {Request("zero.bin"), Data(0, "x"), Data(1, "y")},
         {AckPacket(0), AckPacket(1)}, 1, -1, "zero.bin", "y"},
        // clang-format on
        {"a name leaving the root", nullptr, {Request("../escape.bin"), Data(1, "x")}, {err}, -4},
        {"a name in a subdirectory", nullptr, {Request("sub/inner.bin"), Data(1, "x")}, {err}, -4},
        {"the name ..", nullptr, {Request(".."), Data(1, "x")}, {err}, -4},
        {"an empty name", nullptr, {Request(""), Data(1, "x")}, {err}, -4},
        // clang-format off
        {"failing midway: the old file kept", nullptr, {Request("there.bin"), Data(1, b1), Data(2, b2)}, {AckPacket(0)}, -4, 1},
        {"the peer silent midway: time-out, the old file kept", nullptr, {Request("there.bin"), Data(1, b1)}, silent, -2},
        // clang-format on
        {"sending a missing file", "missing.bin", {AckPacket(0)}, {Request("missing.bin"), err}, -4},
        {"an error packet from the peer", "there.bin", {AckPacket(0), err}, {Request("there.bin")}, -1},
        // The peer's go-ahead, then what it would acknowledge were the file sent.
        {"sending a link", "link.bin", {AckPacket(0), AckPacket(0), AckPacket(1)}, {Request("link.bin"), err}, -4},
        {"sending a FIFO", "fifo", {AckPacket(0), AckPacket(0), AckPacket(1)}, {Request("fifo"), err}, -4},
    };
    for (const auto& r : rows) {
        Peer s;
        s.in.assign(r.in.begin(), r.in.end());
        s.failWrite = r.failWrite;
        tftp_param p = Param(root.path() + "/dst/", &s);
        APP_TinyTFTP_t* h = nullptr;
        ASSERT_EQ(APP_TinyTFTP_Create(&h, &p), 1);
        if (r.sendName != nullptr) snprintf(h->file_name, sizeof(h->file_name), "%s", r.sendName);
        EXPECT_EQ(r.sendName != nullptr ? APP_TinyTFTP_WRQ(h) : APP_TinyTFTP_Xfer(h), r.result) << r.legend;
        EXPECT_EQ(s.out, r.out) << r.legend;
        if (r.stored != nullptr) {
            EXPECT_TRUE(sim::ReadFile(rx + r.stored) == r.content) << r.legend;
        }
        APP_TinyTFTP_Destroy(&h);
    }
    close(fifo);
    EXPECT_TRUE(sim::ReadFile(rx + "r.bin") == big);
    EXPECT_EQ(std::filesystem::status(rx + "r.bin").permissions(), std::filesystem::perms(0644));
    EXPECT_TRUE(sim::ReadFile(rx + "there.bin") == "abc");
    EXPECT_FALSE(root.exists("/escape.bin"));
    EXPECT_FALSE(root.exists(QX_STATE_DIR "/escape.bin"));
    std::set<std::string> left;  // no temporary file stays behind, nothing lands elsewhere
    for (const auto& e : std::filesystem::recursive_directory_iterator(rx))
        left.insert(e.path().lexically_relative(rx).string());
    EXPECT_EQ(left,
              (std::set<std::string>{"cut.bin", "older.bin", "order.bin", "r.bin", "sub", "there.bin", "zero.bin"}));
    EXPECT_TRUE(root.read("/dst/there.bin") == "abc");  // the sender's root is no place to receive into
}

TEST_F(Engine, ReceivedFilesLandOnlyInTheServicesOwnDirectory) {
    install("/dev/null", 0);
    root.mkdirs(QX_STATE_DIR);
    const std::string rx = root.file(TFTP_RECEIVED_DIR), drop = root.file("/home/ubuntu/drop");
    sim::MkdirP(drop);
    chmod(drop.c_str(), 0777);
    const Bytes err{5, 0, 5, 0, 1, 0, 0};
    const std::string rxDir = rx.substr(0, rx.size() - 1);
    const struct {
        const char* legend;
        std::function<void()> plant;
        bool stored;
    } rows[] = {
        {"missing: made root-only", [] {}, true},
        {"a link to a directory others can write", [&] { EXPECT_EQ(symlink(drop.c_str(), rxDir.c_str()), 0); }, false},
        {"a directory others can write",
         [&] {
             EXPECT_EQ(mkdir(rxDir.c_str(), 0700), 0);
             EXPECT_EQ(chmod(rxDir.c_str(), 0777), 0);
         },
         false},
        {"a part left behind, as a link",
         [&] {
             EXPECT_EQ(mkdir(rxDir.c_str(), 0700), 0);
             EXPECT_EQ(symlink((drop + "/victim").c_str(), (rx + "f.bin.part").c_str()), 0);
         },
         true},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.legend);
        sim::RemoveTree(rxDir);
        r.plant();
        Peer s;
        s.in = {Request("f.bin"), Data(1, "hello")};
        // The sender's root names a directory others can write: never used for receiving.
        tftp_param p = Param(drop + "/", &s);
        APP_TinyTFTP_t* h = nullptr;
        ASSERT_EQ(APP_TinyTFTP_Create(&h, &p), 1);
        EXPECT_EQ(APP_TinyTFTP_Xfer(h), r.stored ? 1 : -4);
        APP_TinyTFTP_Destroy(&h);
        EXPECT_EQ(s.out, r.stored ? (std::vector<Bytes>{AckPacket(0), AckPacket(1)}) : std::vector<Bytes>{err});
        if (r.stored) {
            EXPECT_EQ(sim::ReadFile(rx + "f.bin"), "hello");
            EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(rx + "f.bin.part")));
            EXPECT_EQ(std::filesystem::symlink_status(rxDir).permissions(), std::filesystem::perms(0700));
        }
        EXPECT_TRUE(std::filesystem::is_empty(drop));  // nothing ever lands there
    }
}

TEST_F(ChannelPush, MasterImageGoesInRecordsWithProgress) {
    // The first acknowledgement comes while the upgrade request is still awaited.
    open();
    std::string image = fwtest::RandomBytes(2048, 7);
    root.write(QX_MASTER_HEX, image);
    CTransfer4mcu::QX_SendUPGFileToSTM32(nullptr);
    EXPECT_TRUE(mcu->recordFileDone());
    EXPECT_TRUE(mcu->recordFile() == Bytes(image.begin(), image.end()));
    EXPECT_EQ(mcu->recordFileName(), "STM32_MASTER");
    // The write request: a type-0 record of len 24 whose payload starts 13 00 02 00.
    std::vector<sim::McuPeer::Record> data;
    for (const auto& r : mcu->records())
        if (r.type == 0) data.push_back(r);
    ASSERT_EQ(data.size(), 4u);
    EXPECT_EQ(data[0].len, 24);
    EXPECT_EQ(Bytes(data[0].payload.begin(), data[0].payload.begin() + 4), (Bytes{0x13, 0x00, 0x02, 0x00}));
    const int blockLens[] = {1032, 1032, 8};  // p_len + 2 rounded up to 4
    for (int i = 0; i < 3; i++) {
        EXPECT_EQ(data[i + 1].len, blockLens[i]);
        EXPECT_EQ(data[i + 1].payload[4], i + 1);
    }
    ASSERT_TRUE(vela.waitForCount(3));
    auto reports = vela.reports();
    ASSERT_EQ(reports.size(), 3u);
    const char* percents[] = {"0", "34", "67"};
    for (int i = 0; i < 3; i++) {
        const fwtest::Report& r = reports[i];
        EXPECT_EQ((std::vector<std::string>{r.name, r.total, r.current, r.percent, r.isEnd}),
                  (std::vector<std::string>{"ST(9)", "9", std::to_string(i + 1), percents[i], "0"}));
    }
    EXPECT_EQ(g_UpgInfo.status.load(), 3);
}

TEST_F(ChannelPush, NoTransferWithoutAcknowledgementOrARegularImage) {
    open();
    const std::string image = root.file(QX_MASTER_HEX), good = root.write("/home/ubuntu/good.bin", "abc");
    root.mkdirs(QX_UPDATE_DIR);
    int fifo = -1;
    const struct {
        const char* legend;
        bool answered;
        std::function<void()> plant;
        int status;
    } rows[] = {
        {"no upgrade acknowledgement", false, [&] { root.write(QX_MASTER_HEX, "abc"); }, 2},
        {"the image a link to a regular file", true, [&] { EXPECT_EQ(symlink(good.c_str(), image.c_str()), 0); }, 0},
        // With bytes in it and a writer, a FIFO opened would be read as if it were the image.
        {"the image a FIFO", true,
         [&] {
             EXPECT_EQ(mkfifo(image.c_str(), 0600), 0);
             fifo = ::open(image.c_str(), O_RDWR | O_NONBLOCK);
             EXPECT_EQ(write(fifo, std::string(2048, 'F').data(), 2048), 2048);
         },
         0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.legend);
        sim::RemoveTree(image);
        r.plant();
        mcu->setAnswerUpgradeRequest(r.answered);
        CTransfer4mcu::QX_SendUPGFileToSTM32(nullptr);
        EXPECT_EQ(g_UpgInfo.status.load(), r.status);
        for (const auto& rec : mcu->records()) EXPECT_NE(rec.type, 0u);
        if (r.answered) {
            EXPECT_TRUE(log.contains(image + " is not a regular file"));
        }
    }
    if (fifo >= 0) close(fifo);
}

TEST_F(ChannelPush, UpdateDirectoryGoesFileByFileButNeverTheIni) {
    open();
    root.mkdirs(QX_UPDATE_DIR);
    CTransfer4mcu::tftp_th(nullptr);  // empty: the request with count 0, nothing else
    ASSERT_EQ(mcu->records().size(), 1u);
    EXPECT_EQ(mcu->records()[0].frame, sim::McuRecord(1, Bytes{0, 0, 0, 0}));
    EXPECT_TRUE(mcu->packets().empty());
    mcu->setGoAhead(sim::McuPeer::GoAhead::Packet);
    std::map<std::string, std::string> files;  // sizes about the 1024-byte block, and past 255 blocks
    for (size_t size : {0, 1023, 1024, 1025, 1500, 300000})
        files["f" + std::to_string(size)] = fwtest::RandomBytes(size, 4);
    for (const auto& f : files) root.write(std::string(QX_UPDATE_DIR) + f.first, f.second);
    root.write(std::string(QX_UPDATE_DIR) + QX_MCU_UPDATE_INI, "[update]\n");
    root.mkdirs(std::string(QX_UPDATE_DIR) + "EP9162SQ");
    ASSERT_EQ(symlink("f1500", root.file(std::string(QX_UPDATE_DIR) + "link.bin").c_str()), 0);
    CTransfer4mcu::tftp_th(nullptr);
    ASSERT_GE(mcu->records().size(), 2u);
    EXPECT_EQ(mcu->records()[1].frame, sim::McuRecord(1, Bytes{6, 0, 0, 0}));
    ASSERT_TRUE(mcu->waitUntil([&] { return mcu->files().size() == 6; }));
    for (const auto& f : files) {
        SCOPED_TRACE(f.first);
        ASSERT_EQ(mcu->files().count(f.first), 1u);
        EXPECT_TRUE(mcu->files().at(f.first) == Bytes(f.second.begin(), f.second.end()));
    }
    EXPECT_EQ(mcu->files().size(), 6u);  // not the ini, the folder or the link
}

TEST_F(ChannelPush, TheMcuCanPushAFileToTheEngine) {
    open();
    const std::string rx = ReceivedDir(root);
    tftp_param param = Param(root.file(QX_UPDATE_DIR), &g_QXhandle, r_tftp_frame, s_tftp_frame);
    size_t answered = 0;
    for (size_t size : {0, 1024, 2500}) {  // an empty last block after a whole one
        SCOPED_TRACE(size);
        const std::string name = "from_mcu" + std::to_string(size);
        sim::WriteFile(rx + name, std::string(4000, 'X'));  // a longer old file is replaced whole
        std::string content = fwtest::RandomBytes(size, 9);
        APP_TinyTFTP_t* h = nullptr;
        ASSERT_EQ(APP_TinyTFTP_Create(&h, &param), 1);
        // The request and every block arrive before the engine takes any.
        const uint16_t blocks = (uint16_t)(size / 1024 + 1);
        ASSERT_EQ(mcu->send(Request(name.c_str())), 1);
        for (uint16_t b = 1; b <= blocks; b++) ASSERT_EQ(mcu->send(Data(b, content.substr((b - 1) * 1024, 1024))), 1);
        EXPECT_EQ(APP_TinyTFTP_Xfer(h), 1);
        APP_TinyTFTP_Destroy(&h);
        EXPECT_TRUE(sim::ReadFile(rx + name) == content);
        EXPECT_FALSE(root.exists(std::string(QX_UPDATE_DIR) + name));
        answered += blocks + 1;
        ASSERT_TRUE(mcu->waitUntil([&] { return mcu->packets().size() == answered; }));
        for (uint16_t b = 0; b <= blocks; b++) EXPECT_EQ(mcu->packets()[answered - 1 - blocks + b], AckPacket(b));
    }
}
