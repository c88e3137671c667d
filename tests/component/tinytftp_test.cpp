// The block-transfer engine end to end over the acknowledged link, its
// receiver's refusals, and both file pushes of the channel against the
// emulated master MCU.
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

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

// A slot of the test's own for the engine at the far end (the process-wide
// one of the port glue serves the near end).
struct Slot {
    std::mutex mutex;
    bool full = false;
    Bytes frame;
    tiny_link_handle* link = nullptr;
    static int32_t Read(void* user, void* buf, int32_t size) {
        Slot* s = static_cast<Slot*>(user);
        std::lock_guard<std::mutex> lock(s->mutex);
        if (!s->full) return 0;
        memset(buf, 0, size);
        memcpy(buf, s->frame.data(), std::min<size_t>(s->frame.size(), (size_t)size));
        s->full = false;
        return size;
    }
    static int32_t Write(void* user, const void* packet, int32_t len) {
        Slot* s = static_cast<Slot*>(user);
        return tiny_send_wait_ack(s->link, (const uint8_t*)packet, (uint16_t)len) == 1 ? len : -1;
    }
    void put(uint8_t* data, int32_t len) {
        std::lock_guard<std::mutex> lock(mutex);
        frame.assign(data, data + len);
        full = true;
    }
};

tftp_param Param(const std::string& root, void* user, int32_t (*rd)(void*, void*, int32_t),
                 int32_t (*wr)(void*, const void*, int32_t)) {
    tftp_param p;
    memset(&p, 0, sizeof(p));
    snprintf(p.root_path, sizeof(p.root_path), "%s", root.c_str());
    p.user = user;
    p.read = rd;
    p.write = wr;
    return p;
}

// A scripted peer for one engine: packets to hand over, packets it sent.
struct Script {
    std::vector<Bytes> in;
    size_t next = 0;
    std::vector<Bytes> out;
    int failWrite = -1;  // this write (0-based) fails
    static int32_t Read(void* user, void* buf, int32_t size) {
        Script* s = static_cast<Script*>(user);
        if (s->next >= s->in.size()) return 0;
        memset(buf, 0, size);
        memcpy(buf, s->in[s->next].data(), s->in[s->next].size());
        s->next++;
        return size;
    }
    static int32_t Write(void* user, const void* packet, int32_t len) {
        Script* s = static_cast<Script*>(user);
        if (s->failWrite-- == 0) return -1;
        const uint8_t* p = (const uint8_t*)packet;
        s->out.emplace_back(p, p + len);
        return len;
    }
};

Bytes Packet(int (*build)(uint8_t*, uint16_t, const uint8_t*, int), uint16_t block, const std::string& data) {
    Bytes b(TFTP_FRAME_SIZE);
    int n = build(b.data(), block, (const uint8_t*)data.data(), (int)data.size());
    b.resize(n);
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
    Slot slot;
    slot.link = &link.b.h;
    link.b.hook = [&slot](tiny_link_handle*, uint16_t, uint8_t* d, int32_t n) { slot.put(d, n); };
    link.a.start();
    link.b.start();
    tftp_param sendParam = Param(root.path() + "/src/", &link.a.h, r_tftp_frame, s_tftp_frame);
    tftp_param recvParam = Param(root.path() + "/dst/", &slot, Slot::Read, Slot::Write);
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
        struct stat st;
        ASSERT_EQ(stat(root.file("/dst/" + name).c_str(), &st), 0);
        APP_TinyTFTP_Destroy(&sender);
        APP_TinyTFTP_Destroy(&receiver);
        EXPECT_EQ(sender, nullptr);
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
         {Request("r.bin"), Packet(TinyTFTP_PutData, 1, b1), Packet(TinyTFTP_PutData, 1, b1),
          Packet(TinyTFTP_PutData, 2, b2)},
         {AckPacket(0), AckPacket(1), AckPacket(2)},
         1},
        {"a name leaving the root", nullptr, {Request("../escape.bin"), Packet(TinyTFTP_PutData, 1, "x")}, {err}, -4},
        {"a name in a subdirectory", nullptr, {Request("sub/inner.bin"), Packet(TinyTFTP_PutData, 1, "x")}, {err}, -4},
        {"the name ..", nullptr, {Request(".."), Packet(TinyTFTP_PutData, 1, "x")}, {err}, -4},
        {"an empty name", nullptr, {Request(""), Packet(TinyTFTP_PutData, 1, "x")}, {err}, -4},
        {"a transfer failing midway leaves the old file",
         nullptr,
         {Request("there.bin"), Packet(TinyTFTP_PutData, 1, b1), Packet(TinyTFTP_PutData, 2, b2)},
         {AckPacket(0)},
         -4,
         1},
        {"a peer going silent midway: time-out, the old file kept",
         nullptr,
         {Request("there.bin"), Packet(TinyTFTP_PutData, 1, b1)},
         silent,
         -2},
        {"sending a missing file", "missing.bin", {AckPacket(0)}, {Request("missing.bin"), err}, -4},
        {"an error packet from the peer", "there.bin", {AckPacket(0), err}, {Request("there.bin")}, -1},
    };
    for (const auto& r : rows) {
        Script s;
        s.in = r.in;
        s.failWrite = r.failWrite;
        tftp_param p = Param(root.path() + "/dst/", &s, Script::Read, Script::Write);
        APP_TinyTFTP_t* h = nullptr;
        ASSERT_EQ(APP_TinyTFTP_Create(&h, &p), 1);
        if (r.sendName != nullptr) snprintf(h->file_name, sizeof(h->file_name), "%s", r.sendName);
        EXPECT_EQ(r.sendName != nullptr ? APP_TinyTFTP_WRQ(h) : APP_TinyTFTP_Xfer(h), r.result) << r.legend;
        EXPECT_EQ(s.out, r.out) << r.legend;
        APP_TinyTFTP_Destroy(&h);
    }
    EXPECT_TRUE(root.read("/dst/r.bin") == b1 + b2);
    struct stat st;
    ASSERT_EQ(stat(root.file("/dst/r.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
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
        EXPECT_EQ(reports[i].name, "ST(9)");
        EXPECT_EQ(reports[i].total, "9");
        EXPECT_EQ(reports[i].current, std::to_string(i + 1));
        EXPECT_EQ(reports[i].percent, percents[i]);
        EXPECT_EQ(reports[i].isEnd, "0");
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
        EXPECT_TRUE(log.contains("tftp xfer ret=[1], file_name=[" + f.first + "]"));
    }
    EXPECT_EQ(mcu->files().count(QX_MCU_UPDATE_INI), 0u);
    EXPECT_FALSE(log.contains("files[3]"));
    EXPECT_TRUE(log.contains("dir d_name:"));
    EXPECT_TRUE(log.contains("link file d_name:"));
}

TEST_F(ChannelPush, TheMcuCanPushAFileToTheEngine) {
    open(0.01);
    root.mkdirs(QX_UPDATE_DIR);
    static tftp_param s_param;
    Board_Path(s_param.root_path, sizeof(s_param.root_path), QX_UPDATE_DIR);
    s_param.user = &g_QXhandle;
    s_param.read = r_tftp_frame;
    s_param.write = s_tftp_frame;
    APP_TinyTFTP_t* h = nullptr;
    ASSERT_EQ(APP_TinyTFTP_Create(&h, &s_param), 1);
    // The MCU's side, by hand: the request and every block arrive before the
    // engine takes any; each waits its turn in the slot.
    std::string content = fwtest::RandomBytes(2500, 9);
    ASSERT_EQ(mcu->send(Request("from_mcu.bin")), 1);
    for (uint16_t b = 1; b <= 3; b++)
        ASSERT_EQ(mcu->send(Packet(TinyTFTP_PutData, b, content.substr((b - 1) * 1024, 1024))), 1);
    EXPECT_EQ(APP_TinyTFTP_Xfer(h), 1);
    EXPECT_TRUE(root.read(std::string(QX_UPDATE_DIR) + "from_mcu.bin") == content);
    ASSERT_TRUE(mcu->waitUntil([&] { return mcu->packets().size() == 4; }));
    for (uint16_t b = 0; b <= 3; b++) EXPECT_EQ(mcu->packets()[b], AckPacket(b));
    APP_TinyTFTP_Destroy(&h);
}
