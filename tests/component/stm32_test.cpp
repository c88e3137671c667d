// Master, IO MCU and Valens runs on the emulated board, and the image push.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <functional>
#include <thread>

#include "HexWriter.h"
#include "LabWorld.h"
#include "QxLog.h"
#include "serial_testing.h"

using namespace fwtest;

namespace {

// An Intel HEX image of n random bytes (n up to 64 KiB).
std::string MakeHex(size_t n, unsigned seed = 1) {
    std::string bytes = RandomBytes(n, seed);
    return sim::ImageToHex(std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

// The lab's rig on virtual time with the task's port at the boot loaders' speed.
struct Rig : sim::LabWorld {
    explicit Rig(sim::BootloaderOptions masterOpt = {}, sim::BootloaderOptions ioOpt = {},
                 sim::ValensOptions valensOpt = {})
        : LabWorld(sim::LabOptions{0, masterOpt, ioOpt, valensOpt}) {
        if (!ready()) throw std::runtime_error("the board could not be set up");
        task.SetUartSpeed(line.slavePath().c_str(), 57600);
    }
    // Runs the procedure; returns its duration in board time.
    sim::BoardClock::duration run() {
        auto t0 = sim::BoardClock::now();
        task.Process4STUpgrade();
        return sim::BoardClock::now() - t0;
    }
};

}  // namespace

// ---- helpers ---------------------------------------------------------------------------

TEST(CatchEndMsg, FindsTheEndOfTheFirstLine) {
    CTaskfile2mcu task;
    struct {
        const char* legend;
        std::string msg;
        int expected;
    } rows[] = {
        {"CR LF: the CR is in the line, the LF is not", "OK\r\nGO\r\n", 3},
        {"the left LF opens the next line", "\nGO\r\n", 4},
        {"LF alone ends before it", "AB\nCD", 2},
        {"a lone CR", "\r", 1},
        {"a lone LF finds nothing", "\n", 0},
        {"no line end", "START", 0},
        {"empty", "", 0},
    };
    for (const auto& r : rows) EXPECT_EQ(task.CatchEndMsg(r.msg.data(), (int)r.msg.size()), r.expected) << r.legend;
    EXPECT_EQ(task.CatchEndMsg("AB\r", -1), 0);
    EXPECT_EQ(task.CatchEndMsg(nullptr, 4), -1);
}

TEST(DynamicBuf, GrowsToTwoMebibytesAndNoFurther) {
    DynamicBuf b;
    ASSERT_EQ(DynamicBuf_Init(&b, "Name Not defined"), 0);
    std::string data = RandomBytes(2097152);
    EXPECT_EQ(DynamicBuf_Append(&b, data.data(), 524289), 0);
    EXPECT_EQ(DynamicBuf_Append(&b, data.data() + 524289, 2097152 - 524289), 0);
    EXPECT_EQ(DynamicBuf_Append(&b, "x", 1), -1);  // refused whole
    ASSERT_EQ(b.u32DataLen, 2097152u);
    EXPECT_EQ(std::string((char*)b.pData, b.u32DataLen), data);
    DynamicBuf_Drop(&b, 2097150);
    EXPECT_EQ(std::string((char*)b.pData, b.u32DataLen), data.substr(2097150));
    DynamicBuf_Drop(&b, 99);
    EXPECT_EQ(b.u32DataLen, 0u);
    DynamicBuf_Free(&b);
}

// ---- master and IO MCU -----------------------------------------------------------------

// One boot loader run a row: flashed (100) only with "rebooting", else the
// percent last reported.
struct MasterRow {
    const char* legend;
    bool io;
    std::function<void(sim::BootloaderOptions&)> knob;
    size_t hexBytes, holdAfter;
    bool pushed, complete;
    size_t closingPasses;  // 0: fewer than 101
    QxOutcome outcome;
};
void PrintTo(const MasterRow& r, std::ostream* os) { *os << r.legend; }
class MasterRuns : public ::testing::TestWithParam<MasterRow> {};

TEST_P(MasterRuns, TheImageArrivesWholeAndTheRunEndsWhateverTheBootLoaderSays) {
    const MasterRow& r = GetParam();
    sim::BootloaderOptions opt;
    if (r.knob) r.knob(opt);
    Rig rig(r.io ? sim::BootloaderOptions{} : opt, r.io ? opt : sim::BootloaderOptions{});
    std::string hex = MakeHex(r.hexBytes);
    rig.root.write(r.io ? QX_IOMCU_HEX : QX_MASTER_HEX, hex);
    rig.task.m_bIoMcu = r.io;
    rig.line.holdAfter(r.holdAfter);
    LogCapture log(true);
    rig.run();
    const sim::Bootloader::Record got = (r.io ? rig.io : rig.master).record();
    EXPECT_EQ((r.io ? rig.master : rig.io).record().attaches, 0);
    EXPECT_EQ(log.contains("readly in upgrade stm32"), r.pushed);
    EXPECT_EQ(got.imageComplete, r.complete) << got.error;
    if (r.complete) {
        EXPECT_EQ(got.hexText, hex);
        EXPECT_EQ(got.closed, !opt.noClosingText);
    }
    // A run that sees "rebooting" ends there, before the 101st pass, and reads no further.
    EXPECT_TRUE(r.closingPasses ? log.count("STM_Status==2.....") == r.closingPasses
                                : log.count("STM_Status==2.....") < 101)
        << log.count("STM_Status==2.....");
    EXPECT_FALSE(log.contains("never read"));
    EXPECT_STREQ(QxOutcomeName(rig.task.m_eStOutcome), QxOutcomeName(r.outcome));
    if (r.outcome == emOutcomeFlashed) {
        EXPECT_EQ(rig.task.m_s32StPercent, 100);
    } else {
        sim::Settle();  // vela has taken every report sent
        auto reports = rig.vela.reports();
        EXPECT_EQ(rig.task.m_s32StPercent, reports.empty() ? 0 : reports.back().percentValue());
        EXPECT_EQ(rig.task.m_s32StPercent > 0, r.pushed);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, MasterRuns,
    ::testing::ValuesIn(std::vector<MasterRow>{
        // clang-format off
        {"the IO MCU", true, {}, 4000, SIZE_MAX, true, true, 0, emOutcomeFlashed},
        {"a token without line end", false, [](sim::BootloaderOptions& o) { o.token = "START"; }, 3000, SIZE_MAX, true, true, 0, emOutcomeFlashed},
        {"CR LF closing lines one per pass; the run ends on \"rebooting\"", false,
         [](sim::BootloaderOptions& o) { o.closing = {"Erasing\r\n", "Writing\r\n", "rebooting\r\n", "never read\r\n"}; },
         500, SIZE_MAX, true, true, 0, emOutcomeFlashed},
        {"without \"rebooting\": 101 passes, unconfirmed", false, [](sim::BootloaderOptions& o) { o.noClosingText = true; },
         200, SIZE_MAX, true, true, 101, emOutcomeUnconfirmed},
        {"the token repeated for ever", false, [](sim::BootloaderOptions& o) { o.repeatToken = true; }, 2000, SIZE_MAX, true, true, 0, emOutcomeFlashed},
        {"noise for ever: no token, no answer", false, [](sim::BootloaderOptions& o) { o.noise = true; }, 200, SIZE_MAX, false, false, 0, emOutcomeNoAnswer},
        {"silent: nothing after the entry command", false, [](sim::BootloaderOptions& o) { o.silent = true; }, 200, SIZE_MAX, false, false, 0, emOutcomeNoAnswer},
        // The pty buffers some 64 KiB: the first write that stalls ends the push.
        {"a line held during the push: the push ends there", false, {}, 60000, 20000, true, false, 0, emOutcomeWriteStalled},
        // clang-format on
    }),
    LegendName());

TEST(MasterRun, TwoRunsInARowBothStartFromTheEntryCommand) {
    Rig rig;
    std::string hex = MakeHex(800);
    rig.root.write(QX_MASTER_HEX, hex);
    rig.run();
    EXPECT_TRUE(rig.master.record().imageComplete);
    // What the scheduler does after a run: application speed, reset command.
    char rst[] = "UPG RST\r\n";
    rig.task.SetUartSpeed(rig.line.slavePath().c_str(), 57600);
    rig.task.SendUartMsg(rst, 9);
    WaitFor([&] { return rig.board.resets() > 0; }, 2000);
    rig.run();
    EXPECT_EQ(rig.master.record().attaches, 2);
    EXPECT_EQ(rig.master.record().hexText, hex);
    EXPECT_TRUE(rig.master.record().closed);
}

TEST(MasterRun, AClosedPortEndsTheRun) {
    Rig rig;
    int fd = rig.task.m_Uartfd;
    rig.task.m_Uartfd = -1;  // as after a failed open
    rig.run();
    rig.task.m_Uartfd = fd;
    EXPECT_EQ(rig.master.record().attaches, 0);
    EXPECT_EQ(rig.task.m_eStOutcome, emOutcomeFailed);
}

// A FIFO is never waited on, a link never followed: both as if no image were there.
struct MissingRow {
    const char* legend;
    int (*plant)(const char* target, const char* at);
    const char* logged;
    QxOutcome outcome;
};
void PrintTo(const MissingRow& r, std::ostream* os) { *os << r.legend; }
class MissingImage : public ::testing::TestWithParam<MissingRow> {};

TEST_P(MissingImage, EndsTheRunBeforeAnythingIsSent) {
    const MissingRow& r = GetParam();
    Rig rig;
    LogCapture log(true);
    std::string good = rig.root.write("/good.hex", MakeHex(100));
    rig.root.mkdirs(QX_UPDATE_DIR);
    if (r.plant) r.plant(good.c_str(), rig.root.file(QX_MASTER_HEX).c_str());
    rig.run();
    EXPECT_TRUE(log.contains(r.logged));
    EXPECT_EQ(rig.master.record().hexText, "");
    EXPECT_STREQ(QxOutcomeName(rig.task.m_eStOutcome), QxOutcomeName(r.outcome));
    EXPECT_EQ(rig.task.m_s32StPercent, 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, MissingImage,
                         ::testing::ValuesIn(std::vector<MissingRow>{
                             {"missing", nullptr, "can't open ", emOutcomeNoImage},
                             {"a FIFO", [](const char*, const char* at) { return mkfifo(at, 0600); },
                              " is not a regular file", emOutcomeImageRefused},
                             {"a link to a good image", symlink, " is not a regular file", emOutcomeImageRefused}}),
                         LegendName());

// ---- Valens -------------------------------------------------------------------------------

// The IO MCU's flag is set too in every row: the Valens flag wins.
struct ValensRow {
    const char* legend;
    int flag;  // 1 transmitter, 2 receiver
    std::function<void(sim::ValensOptions&)> knob;
    size_t size;
    bool unwritable;
    int result;
    bool sent;
    std::vector<std::string> logged, notLogged;
    QxOutcome outcome;
    int percent;  // what the chip acknowledged; 100 only with its SUCCESS
    int ms;       // board time the run takes
};
void PrintTo(const ValensRow& r, std::ostream* os) { *os << r.legend; }
class ValensRun : public ::testing::TestWithParam<ValensRow> {};

TEST_P(ValensRun, TheFileGoesOverAndTheVerdictComesFromTheChipsText) {
    const ValensRow& r = GetParam();
    sim::ValensOptions vo;
    if (r.knob) r.knob(vo);
    Rig rig({}, {}, vo);
    std::string image = RandomBytes(r.size, (unsigned)r.flag);
    rig.root.write(r.flag == 1 ? QX_VALENS_TX_HEX : QX_VALENS_RX_HEX, image);
    rig.root.write(QX_IOMCU_HEX, MakeHex(100));
    rig.task.SetValensUpFlg(r.flag);
    rig.task.m_bIoMcu = 1;
    rig.task.m_nValensResult = 0;
    int fd = rig.task.m_Uartfd;
    if (r.unwritable) rig.task.m_Uartfd = open("/dev/null", O_RDONLY);  // open, but not writable
    LogCapture log(true);
    auto took = rig.run();
    if (r.unwritable) {
        close(rig.task.m_Uartfd);
        rig.task.m_Uartfd = fd;
    }
    const sim::ValensChip::Record got = rig.valens.record();
    EXPECT_EQ(rig.task.m_nValensResult, r.result);
    EXPECT_STREQ(QxOutcomeName(rig.task.m_eStOutcome), QxOutcomeName(r.outcome));
    EXPECT_EQ(rig.task.m_s32StPercent, r.percent);
    EXPECT_EQ(got.attaches, r.unwritable ? 0 : 1);
    EXPECT_EQ(got.headers > 0, r.sent);
    EXPECT_EQ(rig.io.record().attaches, 0);
    if (r.sent && vo.canBlock < 0) {
        EXPECT_EQ(got.entry.find("TX"), 11u);  // selected by the host's command text, not the flag
        EXPECT_EQ(got.fileName, r.flag == 1 ? "VSTX.hex" : "VSRX.hex");
        EXPECT_TRUE(got.complete && got.file == image);
    }
    for (const auto& t : r.logged) EXPECT_TRUE(log.contains(t)) << t;
    for (const auto& t : r.notLogged) EXPECT_FALSE(log.contains(t)) << t;
    EXPECT_TRUE(rig.vela.reports().empty());  // no push reports for the chip
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), r.ms);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ValensRun,
    ::testing::ValuesIn(std::vector<ValensRow>{
        // clang-format off
        {"transmitter", 1, {}, 30000, false, 1, true, {"File transfer successful"}, {"no verdict"}, emOutcomeFlashed, 100, 9459},
        {"receiver", 2, [](sim::ValensOptions& o) { o.verdict = sim::ValensOptions::Success; }, 30000, false, 1, true,
         {"File transfer successful"}, {"no verdict"}, emOutcomeFlashed, 100, 9459},
        {"FAIL", 1, [](sim::ValensOptions& o) { o.verdict = sim::ValensOptions::Fail; }, 30000, false, -1, true, {}, {}, emOutcomeFailed, 99, 9458},
        {"SUCCESS and FAIL: FAIL wins", 1, [](sim::ValensOptions& o) { o.verdict = sim::ValensOptions::Both; }, 30000, false, -1, true,
         {}, {}, emOutcomeFailed, 99, 9459},
        // The transfer, then the whole 120 s verdict wait.
        {"no verdict: bounded wait, then failure", 1, [](sim::ValensOptions& o) { o.noVerdict = true; }, 30000, false, -1, true,
         {"no verdict"}, {}, emOutcomeUnconfirmed, 99, 129358},
        // Left from an earlier attempt, before the push.
        {"text from before the push is no verdict", 1, [](sim::ValensOptions& o) { o.preamble = "FAIL"; }, 100, false, 1, true,
         {}, {}, emOutcomeFlashed, 100, 6846},
        // Without a verdict only the sender's outcome can end this run in time.
        {"a failed transfer ends at once, not a success", 1, [](sim::ValensOptions& o) { o.canBlock = 2; o.noVerdict = true; },
         5000, false, -1, true, {"###### File transfer failed"}, {"File transfer successful", "no verdict"}, emOutcomeFailed, 20, 6823},
        {"above 2 MiB: refused before anything is sent", 1, {}, 2097153, false, -1, false, {"2097153 bytes"}, {}, emOutcomeImageRefused, 0, 5622},
        {"an unwritable port: five tries", 1, {}, 100, true, -1, false, {"entry command not sent after 5 attempts"}, {}, emOutcomeFailed, 0, 21110},
        // clang-format on
    }),
    LegendName());

// ---- image push ------------------------------------------------------------------------

namespace {
// The agent on a pty whose far end is drained into a string.
struct PushRig : AgentHome {
    explicit PushRig(bool withHost = true) : AgentHome(0), port(line.slavePath(), 115200) {
        if (withHost) host.reset(new AgentGlobals(nullptr, AgentGlobals::kSockets));
        drain = sim::StartThread("drain", [this] {
            char buf[8192];
            while (running) {
                ssize_t n = line.read(buf, sizeof(buf), 5);
                if (n > 0) {
                    std::lock_guard<std::mutex> lock(mutex);
                    got.append(buf, (size_t)n);
                }
            }
        });
    }
    ~PushRig() {
        running = false;
        sim::JoinThread(drain);
    }
    std::string received(size_t want) {
        WaitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return got.size() >= want;
        });
        std::lock_guard<std::mutex> lock(mutex);
        return got;
    }
    int32_t push(const std::string& content) {
        std::string path = root.write(QX_MASTER_HEX, content);
        return port.task.QX_UPGSTM32(&path[0]);
    }
    sim::PtyLine line;
    int profile = (install(line.slavePath(), 0), 0);
    TaskOnPort port;
    std::unique_ptr<AgentGlobals> host;
    std::atomic<bool> running{true};
    std::mutex mutex;
    std::string got;
    std::thread drain;
};

struct PushRow {
    const char* legend;
    size_t size;
    bool ioMcu, host;
    size_t reports;
};
void PrintTo(const PushRow& r, std::ostream* os) { *os << r.legend; }
class ImagePush : public ::testing::TestWithParam<PushRow> {};
}  // namespace

// Reports go out for the last 52 blocks only, each with the share of 53 done.
TEST_P(ImagePush, ReportsCountFromTheEndOfTheImage) {
    const PushRow& r = GetParam();
    PushRig rig(r.host);
    rig.port.task.m_bIoMcu = r.ioMcu;
    std::string content = RandomBytes(r.size, 9);
    EXPECT_EQ(rig.push(content), 1);
    EXPECT_EQ(rig.received(content.size()), content);
    sim::SleepFor(std::chrono::seconds(1));  // nothing more comes
    auto reports = rig.vela.reports();
    ASSERT_EQ(reports.size(), r.reports);
    for (size_t i = 0; i < reports.size(); i++) {
        int left = (int)(reports.size() - i);
        EXPECT_EQ(reports[i].percentValue(), 100 * (53 - left) / 53) << "report " << i;
        EXPECT_EQ(reports[i].name, r.ioMcu ? "IoMcu" : "ST");
        EXPECT_EQ(reports[i].isEnd, "0");
    }
    EXPECT_TRUE(reports.empty() || reports.back().percent == "    98");  // right-aligned in six places
    for (const auto& d : rig.vela.datagrams()) {
        EXPECT_EQ(d.type(), 252u);
        EXPECT_EQ(d.len(), d.bytes.size());
        EXPECT_EQ(d.len(), d.payload().size() + 8);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, ImagePush,
                         ::testing::ValuesIn(std::vector<PushRow>{
                             {"100 blocks: nothing for the first 48", 99 * 10240 + 5, false, true, 52},
                             {"empty image: one block, one report", 0, false, true, 1},
                             {"exactly 2 blocks of data: 3 blocks", 2 * 10240, true, true, 3},
                             {"without a host link the push goes on", 25000, false, false, 0},
                         }),
                         LegendName());
