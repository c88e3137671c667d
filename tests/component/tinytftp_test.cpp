// The block-transfer engine end to end over the acknowledged link, its
// receiver's refusals, and both file pushes of the channel against the
// emulated master MCU.
#include <gtest/gtest.h>
#include <string.h>

#include <deque>
#include <filesystem>
#include <set>
#include <thread>

#include "APP_TinyTFTP.h"
#include "APP_TinyTFTP_Port.h"
#include "McuPeer.h"
#include "Transfer4mcu.h"
#include "pty_link_pair.h"
#include "mcu_channel_env.h"
#include "testing.h"

namespace {
using Bytes = std::vector<uint8_t>;
using fwtest::WaitFor;

// The far end of one engine: packets to hand over (queued by the test or by
// the link), and what the engine sends, recorded or, with a link, sent on it.
struct Peer {
    std::mutex mutex;
    std::deque<Bytes> in;
    std::vector<Bytes> out;
    int failWrite = -1;  // this write (0-based) fails
    tiny_link_handle* link = nullptr;
    static int32_t Read(void* user, void* buf, int32_t size) {
        Peer* p = static_cast<Peer*>(user);
        std::lock_guard<std::mutex> lock(p->mutex);
        if (p->in.empty()) return 0;
        memset(buf, 0, size);
        memcpy(buf, p->in.front().data(), std::min<size_t>(p->in.front().size(), (size_t)size));
        p->in.pop_front();
        return size;
    }
    static int32_t Write(void* user, const void* packet, int32_t len) {
        Peer* p = static_cast<Peer*>(user);
        if (p->link != nullptr)
            return tiny_send_wait_ack(p->link, (const uint8_t*)packet, (uint16_t)len) == 1 ? len : -1;
        if (p->failWrite-- == 0) return -1;
        p->out.emplace_back((const uint8_t*)packet, (const uint8_t*)packet + len);
        return len;
    }
    void put(uint8_t* data, int32_t len) {
        std::lock_guard<std::mutex> lock(mutex);
        in.emplace_back(data, data + len);
    }
};

tftp_param Param(const std::string& root, void* user, int32_t (*rd)(void*, void*, int32_t) = Peer::Read,
                 int32_t (*wr)(void*, const void*, int32_t) = Peer::Write) {
    tftp_param p;
    memset(&p, 0, sizeof(p));
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

using TftpEnv = fwtest::McuChannelTest;
using ChannelPush = fwtest::McuChannelTest;
}  // namespace

TEST_F(TftpEnv, EngineToEngineOverTheLinkKeepsEveryFileIntact) {
    profile(0.01);  // the receiver's 30 s go-ahead period becomes 300 ms
    root.mkdirs("/src");
    root.mkdirs("/dst");
    fwtest::Pair link(60000);
    ASSERT_TRUE(link.ok);
    link.a.hook = [](tiny_link_handle* h, uint16_t, uint8_t* d, int32_t n) { recv_on_frame(h, d, n); };
    Peer far;
    far.link = &link.b.h;
    link.b.hook = [&far](tiny_link_handle*, uint16_t, uint8_t* d, int32_t n) { far.put(d, n); };
    link.a.start();
    link.b.start();
    tftp_param sendParam = Param(root.path() + "/src/", &link.a.h, r_tftp_frame, s_tftp_frame);
    tftp_param recvParam = Param(root.path() + "/dst/", &far);
    const size_t sizes[] = {0, 1023, 1024, 1025, 300000};
    for (size_t size : sizes) {
        SCOPED_TRACE(size);
        std::string name = "f" + std::to_string(size) + ".bin";
        std::string content = fwtest::RandomBytes(size, (unsigned)size);
        root.write("/src/" + name, content);
        root.write("/dst/" + name, std::string(400000, 'X'));  // a longer old file is replaced whole
        APP_TinyTFTP_t* sender = nullptr;
        APP_TinyTFTP_t* receiver = nullptr;
        ASSERT_EQ(APP_TinyTFTP_Create(&sender, &sendParam), 1);
        ASSERT_EQ(APP_TinyTFTP_Create(&receiver, &recvParam), 1);
        snprintf(sender->file_name, sizeof(sender->file_name), "%s", name.c_str());
        int received = 0;
        std::thread rx([&] { received = APP_TinyTFTP_Xfer(receiver); });
        EXPECT_EQ(APP_TinyTFTP_WRQ(sender), 1);
        rx.join();
        EXPECT_EQ(received, 1);
        EXPECT_TRUE(root.read("/dst/" + name) == content);
        APP_TinyTFTP_Destroy(&sender);
        APP_TinyTFTP_Destroy(&receiver);
    }
}

TEST_F(TftpEnv, ScriptedPeersGetTheRightAnswers) {
    profile(0.0001);  // the receiver's 30 periods of 30 s pass in 90 ms
    root.mkdirs("/dst/sub");
    root.write("/dst/there.bin", "abc");
    std::string b1 = fwtest::RandomBytes(1024, 1), b2 = fwtest::RandomBytes(100, 2);
    const Bytes err{5, 0, 5, 0, 1, 0, 0};
    std::vector<Bytes> silent{AckPacket(0), AckPacket(1)};  // then block 1 again at each of 30 periods
    silent.insert(silent.end(), 30, AckPacket(1));
    struct {
        const char* legend;
        const char* sendName;  // the engine sends this file; null: it receives
        std::vector<Bytes> in, out;
        int result;
        int failWrite = -1;
    } rows[] = {
        {"a repeated old block is ignored, only new ones answered",
         nullptr,
         {Request("r.bin"), Data(1, b1), Data(1, b1), Data(2, b2)},
         {AckPacket(0), AckPacket(1), AckPacket(2)},
         1},
        {"a name leaving the root", nullptr, {Request("../escape.bin"), Data(1, "x")}, {err}, -4},
        {"a name in a subdirectory", nullptr, {Request("sub/inner.bin"), Data(1, "x")}, {err}, -4},
        {"the name ..", nullptr, {Request(".."), Data(1, "x")}, {err}, -4},
        {"an empty name", nullptr, {Request(""), Data(1, "x")}, {err}, -4},
        {"a transfer failing midway leaves the old file",
         nullptr,
         {Request("there.bin"), Data(1, b1), Data(2, b2)},
         {AckPacket(0)},
         -4,
         1},
        {"a peer going silent midway: time-out, the old file kept",
         nullptr,
         {Request("there.bin"), Data(1, b1)},
         silent,
         -2},
        {"sending a missing file", "missing.bin", {AckPacket(0)}, {Request("missing.bin"), err}, -4},
        {"an error packet from the peer", "there.bin", {AckPacket(0), err}, {Request("there.bin")}, -1},
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
        APP_TinyTFTP_Destroy(&h);
    }
    EXPECT_TRUE(root.read("/dst/r.bin") == b1 + b2);
    EXPECT_EQ(std::filesystem::status(root.file("/dst/r.bin")).permissions(), std::filesystem::perms(0644));
    EXPECT_TRUE(root.read("/dst/there.bin") == "abc");
    EXPECT_FALSE(root.exists("/escape.bin"));
    std::set<std::string> left;  // no temporary file stays behind, nothing lands elsewhere
    for (const auto& e : std::filesystem::recursive_directory_iterator(root.file("/dst")))
        left.insert(e.path().lexically_relative(root.file("/dst")).string());
    EXPECT_EQ(left, (std::set<std::string>{"r.bin", "sub", "there.bin"}));
}

// ---------------------------------------------------------------- through the channel

TEST_F(ChannelPush, MasterImageGoesInRecordsWithProgress) {
    // Real time: the MCU's first acknowledgement arrives while the upgrade
    // request is still being waited for, and must not be lost.
    open(1.0);
    std::string image = fwtest::RandomBytes(2048, 7);
    root.write(QX_MASTER_HEX, image);
    std::thread push([] { CTransfer4mcu::QX_SendUPGFileToSTM32(nullptr); });
    push.join();
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

TEST_F(ChannelPush, NoUpgradeAcknowledgementMeansNoTransfer) {
    open(0.01);
    root.write(QX_MASTER_HEX, "abc");
    mcu->setAnswerUpgradeRequest(false);
    CTransfer4mcu::QX_SendUPGFileToSTM32(nullptr);
    EXPECT_EQ(g_UpgInfo.status.load(), 2);
    for (const auto& r : mcu->records()) EXPECT_NE(r.type, 0u);
}

TEST_F(ChannelPush, UpdateDirectoryGoesFileByFileButNeverTheIni) {
    open(0.01);
    root.mkdirs(QX_UPDATE_DIR);
    CTransfer4mcu::tftp_th(nullptr);  // empty: the request with count 0, nothing else
    ASSERT_EQ(mcu->records().size(), 1u);
    EXPECT_EQ(mcu->records()[0].frame, sim::McuRecord(1, Bytes{0, 0, 0, 0}));
    EXPECT_TRUE(mcu->packets().empty());
    mcu->setGoAhead(sim::McuPeer::GoAhead::Packet);
    std::map<std::string, std::string> files = {
        {"a.bin", fwtest::RandomBytes(1500, 3)}, {"b.bin", ""}, {"c.bin", fwtest::RandomBytes(4096, 4)}};
    for (const auto& f : files) root.write(std::string(QX_UPDATE_DIR) + f.first, f.second);
    root.write(std::string(QX_UPDATE_DIR) + QX_MCU_UPDATE_INI, "[update]\n");
    root.mkdirs(std::string(QX_UPDATE_DIR) + "EP9162SQ");
    ASSERT_EQ(symlink("a.bin", root.file(std::string(QX_UPDATE_DIR) + "link.bin").c_str()), 0);
    CTransfer4mcu::tftp_th(nullptr);
    ASSERT_GE(mcu->records().size(), 2u);
    EXPECT_EQ(mcu->records()[1].frame, sim::McuRecord(1, Bytes{3, 0, 0, 0}));
    ASSERT_TRUE(mcu->waitUntil([&] { return mcu->files().size() == 3; }));
    for (const auto& f : files) {
        SCOPED_TRACE(f.first);
        ASSERT_EQ(mcu->files().count(f.first), 1u);
        EXPECT_TRUE(mcu->files().at(f.first) == Bytes(f.second.begin(), f.second.end()));
    }
    EXPECT_EQ(mcu->files().size(), 3u);  // not the ini, the folder or the link
}

TEST_F(ChannelPush, TheMcuCanPushAFileToTheEngine) {
    open(0.01);
    root.mkdirs(QX_UPDATE_DIR);
    tftp_param param = Param(root.file(QX_UPDATE_DIR), &g_QXhandle, r_tftp_frame, s_tftp_frame);
    APP_TinyTFTP_t* h = nullptr;
    ASSERT_EQ(APP_TinyTFTP_Create(&h, &param), 1);
    // The MCU's side, by hand: the request and every block arrive before the
    // engine takes any; each waits its turn in the slot.
    std::string content = fwtest::RandomBytes(2500, 9);
    ASSERT_EQ(mcu->send(Request("from_mcu.bin")), 1);
    for (uint16_t b = 1; b <= 3; b++) ASSERT_EQ(mcu->send(Data(b, content.substr((b - 1) * 1024, 1024))), 1);
    EXPECT_EQ(APP_TinyTFTP_Xfer(h), 1);
    EXPECT_TRUE(root.read(std::string(QX_UPDATE_DIR) + "from_mcu.bin") == content);
    ASSERT_TRUE(mcu->waitUntil([&] { return mcu->packets().size() == 4; }));
    for (uint16_t b = 0; b <= 3; b++) EXPECT_EQ(mcu->packets()[b], AckPacket(b));
    APP_TinyTFTP_Destroy(&h);
}
