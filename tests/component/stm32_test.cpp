// Master STM32, IO MCU and Valens runs against the emulated board, the image
// push with its progress reports, and the helpers both use.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "QxLog.h"
#include "serial_testing.h"

using namespace fwtest;

namespace {

// Valens runs wait 10 s (scaled) for each YMODEM answer; at this scale that
// is 0.5 s, far above any scheduling hiccup of a loaded test machine (times
// the emulator's slowdown).
const double kValensScale = 0.05 * kTestSlowdown;

// An Intel HEX image of n random bytes, made by srec_cat.
std::string MakeHex(const TempRoot& root, size_t n, unsigned seed = 1) {
    std::string bin = root.path() + "/img" + std::to_string(seed) + ".bin";
    std::string hex = bin + ".hex";
    WriteFile(bin, RandomBytes(n, seed));
    std::string out;
    int rc = RunCommand("srec_cat " + bin + " -binary -offset 0x08000000 -o " + hex +
                            " -intel -output_block_size=16",
                        &out);
    if (rc != 0) throw std::runtime_error("srec_cat: " + out);
    return ReadFile(hex);
}

// The agent's task object on the emulated board's line.
struct Rig : EmulatedBoard {
    explicit Rig(double scale, sim::BootloaderOptions masterOpt = {}, sim::BootloaderOptions ioOpt = {},
                 sim::ValensOptions valensOpt = {})
        : EmulatedBoard(scale, masterOpt, ioOpt, valensOpt), scale(scale), port(line.slavePath(), 57600) {}
    ~Rig() { board.stop(); }  // before the port closes
    CTaskfile2mcu& task() { return port.task; }
    // Runs the procedure; returns its duration in seconds.
    double run() {
        auto t0 = std::chrono::steady_clock::now();
        task().Process4STUpgrade();
        return SecondsSince(t0);
    }

    double scale;
    TaskOnPort port;
};

std::vector<Report> WaitReports(const VelaStandIn& vela, size_t n) {
    vela.waitUntil(
        [&](const std::vector<Datagram>& got) {
            size_t k = 0;
            for (const auto& d : got) k += (d.type() == 252 && ParseReport(d.payload(), nullptr)) ? 1 : 0;
            return k >= n;
        },
        10000);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more should come
    return vela.reports();
}

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
    LogCapture log(true);
    EXPECT_EQ(task.CatchEndMsg(nullptr, 4), -1);
    EXPECT_TRUE(log.contains("###### In CTaskfile2mcu CatchEndMsg, i_pMsg== NULL "));
}

TEST(DynamicBuf, GrowsToTwoMebibytesAndNoFurther) {
    LogCapture log(true);
    DynamicBuf b;
    ASSERT_EQ(DynamicBuf_Init(&b, "Name Not defined"), 0);
    std::string data = RandomBytes(2097152);
    EXPECT_EQ(DynamicBuf_Append(&b, data.data(), 524289), 0);
    EXPECT_TRUE(log.contains("Dynamic Buffer[Name Not defined] adjust buffer len from[524288] to [1048576]"));
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

TEST(MasterRun, TheImageArrivesByteForByte) {
    struct {
        const char* legend;
        std::string token;
    } rows[] = {{"token with line end", "START\r\n"}, {"token without line end", "START"}};
    for (const auto& r : rows) {
        sim::BootloaderOptions opt;
        opt.token = r.token;
        Rig rig(0.01, opt);
        std::string hex = MakeHex(rig.root, 3000);
        rig.root.write(QX_MASTER_HEX, hex);
        LogCapture log(true);
        rig.run();
        EXPECT_EQ(rig.master.record().hexText, hex) << r.legend;
        EXPECT_TRUE(rig.master.record().imageComplete) << r.legend << rig.master.record().error;
        EXPECT_TRUE(rig.master.record().closed) << r.legend;
        EXPECT_EQ(rig.io.record().attaches, 0) << r.legend;
        auto reports = WaitReports(rig.vela, 1);
        ASSERT_EQ(reports.size(), 1u) << r.legend;
        EXPECT_EQ(reports[0].name, "ST");
        EXPECT_EQ(reports[0].current, "17");
        EXPECT_EQ(reports[0].percent, "    98");
    }
}

TEST(MasterRun, ClosingTextsAndSilence) {
    sim::BootloaderOptions crlf, noText, silent;
    crlf.closing = {"Erasing\r\n", "Writing\r\n", "rebooting\r\n", "never read\r\n"};
    noText.noClosingText = true;
    silent.silent = true;
    {
        SCOPED_TRACE("CR LF lines are taken one per pass; the run ends on \"rebooting\"");
        Rig rig(0.01, crlf);
        rig.root.write(QX_MASTER_HEX, MakeHex(rig.root, 500));
        LogCapture log(true);
        rig.run();
        // The LF of "START\r\n" opens the first closing line.
        size_t a = log.text().find("STM_Status==2.....buffer[\nErasing\r][9].");
        size_t b = log.text().find("STM_Status==2.....buffer[\nWriting\r][9].");
        size_t c = log.text().find("STM_Status==2.....buffer[\nrebooting\r][11].");
        EXPECT_TRUE(a < b && b < c && c != std::string::npos) << log.text();
        EXPECT_FALSE(log.contains("never read"));
    }
    // Boot loaders that never let the run finish: it ends all the same.
    sim::BootloaderOptions repeat, noise;
    repeat.repeatToken = true;
    noise.noise = true;
    struct {
        const char* legend;
        sim::BootloaderOptions opt;
        size_t hexBytes, holdAfter;
        bool pushed, complete;
        size_t closingPasses;  // 0: not counted
        const char* logged;
    } rows[] = {
        {"without \"rebooting\": 101 passes", noText, 200, SIZE_MAX, true, true, 101, nullptr},
        {"the token repeated for ever", repeat, 2000, SIZE_MAX, true, true, 0, nullptr},
        {"noise for ever: no token, 501 passes", noise, 200, SIZE_MAX, false, false, 0, nullptr},
        {"silent: nothing after the entry command, 501 passes", silent, 200, SIZE_MAX, false, false, 0, nullptr},
        // The pty's buffer takes some 64 KiB more than the line, not the whole image.
        {"a line held during the push: the writes give up", {}, 60000, 20000, true, false, 101, "Uart2Write result = -1"},
    };
    for (const auto& r : rows) {
        Rig rig(0.01, r.opt);
        rig.root.write(QX_MASTER_HEX, MakeHex(rig.root, r.hexBytes));
        rig.line.holdAfter(r.holdAfter);
        LogCapture log(true);
        rig.run();
        EXPECT_EQ(log.contains("readly in upgrade stm32"), r.pushed) << r.legend;
        EXPECT_EQ(rig.master.record().imageComplete, r.complete) << r.legend;
        if (r.closingPasses) {
            EXPECT_EQ(log.count("STM_Status==2....."), r.closingPasses) << r.legend;
        }
        if (r.logged) {
            EXPECT_TRUE(log.contains(r.logged)) << r.legend;
        }
    }
}

TEST(MasterRun, TwoRunsInARowBothStartFromTheEntryCommand) {
    Rig rig(0.01);
    std::string hex = MakeHex(rig.root, 800);
    rig.root.write(QX_MASTER_HEX, hex);
    LogCapture log(true);
    rig.run();
    EXPECT_TRUE(rig.master.record().imageComplete);
    // What the scheduler does after a run: application speed, reset command.
    char rst[] = "UPG RST\r\n";
    rig.task().SetUartSpeed(rig.line.slavePath().c_str(), 57600);
    rig.task().SendUartMsg(rst, 9);
    WaitFor([&] { return rig.board.resets() > 0; }, 2000);
    rig.run();
    EXPECT_EQ(rig.master.record().attaches, 2);
    EXPECT_EQ(rig.master.record().hexText, hex);
    EXPECT_TRUE(rig.master.record().closed);
    EXPECT_EQ(log.count("readly in upgrade stm32...."), 2u);
}

TEST(MasterRun, MissingImageNoRegularFileOrClosedPortEndTheRun) {
    // A FIFO is never waited on, a link never followed: both as if no image were there.
    const struct {
        const char* legend;
        int (*plant)(const char* target, const char* at);
        const char* logged;
    } rows[] = {{"missing", nullptr, "can't open "},
                {"a FIFO", [](const char*, const char* at) { return mkfifo(at, 0600); }, " is not a regular file"},
                {"a link to a good image", symlink, " is not a regular file"}};
    for (const auto& r : rows) {
        Rig rig(0.01);
        LogCapture log(true);
        std::string good = rig.root.write("/good.hex", MakeHex(rig.root, 100));
        rig.root.mkdirs(QX_UPDATE_DIR);
        if (r.plant) r.plant(good.c_str(), rig.root.file(QX_MASTER_HEX).c_str());
        rig.run();
        EXPECT_TRUE(log.contains(r.logged)) << r.legend;
        EXPECT_EQ(rig.master.record().hexText, "") << r.legend;
    }
    Rig rig(0.01);
    LogCapture log(true);
    int fd = rig.task().m_Uartfd;
    rig.task().m_Uartfd = -1;  // as after a failed open
    rig.run();
    rig.task().m_Uartfd = fd;
    EXPECT_FALSE(log.contains("Ready to upgrade ST"));
}

TEST(IoMcuRun, EndToEnd) {
    Rig rig(0.01);
    std::string hex = MakeHex(rig.root, 4000, 2);
    rig.root.write(QX_IOMCU_HEX, hex);
    rig.task().m_bIoMcu = 1;
    LogCapture log(true);
    rig.run();
    EXPECT_EQ(rig.io.record().hexText, hex);
    EXPECT_TRUE(rig.io.record().imageComplete) << rig.io.record().error;
    EXPECT_TRUE(rig.io.record().closed);
    EXPECT_EQ(rig.master.record().attaches, 0);
    EXPECT_EQ(rig.valens.record().attaches, 0);
    auto reports = WaitReports(rig.vela, 1);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().name, "IoMcu");
    EXPECT_EQ(reports.back().total, "26");
    EXPECT_EQ(reports.back().current, "26");
    EXPECT_EQ(reports.back().isEnd, "0");
}

// ---- Valens -------------------------------------------------------------------------------

TEST(ValensRun, EndToEndAndTheVerdictComesFromTheChipsText) {
    struct {
        const char* legend;
        int flag;
        const char* path;
        const char* name;
        sim::ValensOptions::Verdict verdict;
        bool noVerdict;
        int expected;
    } rows[] = {
        {"transmitter", 1, QX_VALENS_TX_HEX, "VSTX.hex", sim::ValensOptions::Auto, false, 1},
        {"receiver", 2, QX_VALENS_RX_HEX, "VSRX.hex", sim::ValensOptions::Success, false, 1},
        {"FAIL", 1, QX_VALENS_TX_HEX, "VSTX.hex", sim::ValensOptions::Fail, false, -1},
        {"SUCCESS and FAIL: FAIL wins", 1, QX_VALENS_TX_HEX, "VSTX.hex", sim::ValensOptions::Both, false, -1},
        {"no verdict: bounded wait, then failure", 1, QX_VALENS_TX_HEX, "VSTX.hex", sim::ValensOptions::Auto, true, -1},
    };
    for (const auto& r : rows) {
        sim::ValensOptions vo;
        vo.verdict = r.verdict;
        vo.noVerdict = r.noVerdict;
        Rig rig(kValensScale, {}, {}, vo);
        std::string image = RandomBytes(30000, (unsigned)r.flag);
        rig.root.write(r.path, image);
        rig.task().SetValensUpFlg(r.flag);
        rig.task().m_nValensResult = 0;
        LogCapture log(true);
        rig.run();
        EXPECT_EQ(rig.valens.record().entry.find("TX"), 11u) << r.legend;  // selected by the command text
        EXPECT_EQ(rig.valens.record().fileName, r.name) << r.legend;
        EXPECT_EQ(rig.valens.record().file, image) << r.legend;
        EXPECT_TRUE(rig.valens.record().complete) << r.legend;
        EXPECT_EQ(rig.task().m_nValensResult, r.expected) << r.legend;
        EXPECT_TRUE(log.contains("File transfer successful, waiting for upgrade..........")) << r.legend;
        EXPECT_EQ(log.contains("no verdict from the Valens chip"), r.noVerdict) << r.legend;
        EXPECT_TRUE(rig.vela.reports().empty()) << r.legend;  // no push reports for the chip
    }
}

TEST(ValensRun, FaultsAndTheIoMcuFlag) {
    sim::ValensOptions cancel, oldVerdict;
    cancel.canBlock = 2;
    cancel.noVerdict = true;  // only the sender's outcome can end this run in time
    oldVerdict.preamble = "FAIL";  // left from an earlier attempt, before the push
    struct {
        const char* legend;
        sim::ValensOptions vo;
        size_t size;
        bool unwritable;
        int result, attaches;
        bool sent;
        std::vector<std::string> logged, notLogged;
    } rows[] = {
        {"the Valens flag wins over the IO MCU flag", {}, 100, false, 1, 1, true, {}, {}},
        {"text from before the push is no verdict", oldVerdict, 100, false, 1, 1, true, {}, {}},
        {"a failed transfer ends at once, not a success", cancel, 5000, false, -1, 1, true, {"###### File transfer failed"},
         {"File transfer successful", "no verdict from the Valens chip"}},
        {"above 2 MiB: refused before anything is sent", {}, 2097153, false, -1, 1, false, {"2097153 bytes"}, {}},
        {"an unwritable port: five tries", {}, 100, true, -1, 0, false,
         {"entry command not sent after 5 attempts"}, {}},
    };
    for (const auto& r : rows) {
        Rig rig(kValensScale, {}, {}, r.vo);
        rig.root.write(QX_VALENS_TX_HEX, RandomBytes(r.size));
        rig.root.write(QX_IOMCU_HEX, MakeHex(rig.root, 100));
        rig.task().SetValensUpFlg(1);
        rig.task().m_bIoMcu = 1;
        rig.task().m_nValensResult = 0;
        int fd = rig.task().m_Uartfd;
        if (r.unwritable) rig.task().m_Uartfd = open("/dev/null", O_RDONLY);  // open, but not writable
        LogCapture log(true);
        double secs = rig.run();
        if (r.unwritable) {
            close(rig.task().m_Uartfd);
            rig.task().m_Uartfd = fd;
            EXPECT_EQ(log.count("call strncat failure, s32Ret = [-2]\n"), 5u);
        }
        EXPECT_EQ(rig.task().m_nValensResult, r.result) << r.legend;
        EXPECT_EQ(rig.valens.record().attaches, r.attaches) << r.legend;
        EXPECT_EQ(rig.valens.record().headers > 0, r.sent) << r.legend;
        EXPECT_EQ(rig.io.record().attaches, 0) << r.legend;
        for (const auto& t : r.logged) EXPECT_TRUE(log.contains(t)) << r.legend << ": " << t;
        for (const auto& t : r.notLogged) EXPECT_FALSE(log.contains(t)) << r.legend << ": " << t;
        if (r.vo.canBlock > 0) {
            EXPECT_LT(secs, 120 * kValensScale) << r.legend;  // did not sit out the verdict wait
        }
    }
}

// ---- image push ------------------------------------------------------------------------

namespace {
// The agent on a pty whose far end is drained into a string.
struct PushRig : AgentWorld {
    explicit PushRig(bool withHost = true) : AgentWorld(0.01), port(line.slavePath(), 115200) {
        if (withHost) host.reset(new HostLink());
        drain = std::thread([this] {
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
        drain.join();
    }
    std::string received(size_t want) {
        for (int i = 0; i < 500; i++) {
            {
                std::lock_guard<std::mutex> lock(mutex);
                if (got.size() >= want) return got;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard<std::mutex> lock(mutex);
        return got;
    }
    int32_t push(const std::string& content) {
        std::string path = root.write("/home/ubuntu/McuUpdate/MASTER.hex", content);
        return port.task.QX_UPGSTM32(&path[0]);
    }
    TaskOnPort port;
    std::unique_ptr<HostLink> host;
    std::atomic<bool> running{true};
    std::mutex mutex;
    std::string got;
    std::thread drain;
};
}  // namespace

TEST(ImagePush, ReportsCountFromTheEndOfTheImage) {
    struct {
        const char* legend;
        size_t size;
        bool ioMcu;
        int blocks;
        std::vector<std::string> percents;  // first and last report
        size_t reports;
    } rows[] = {
        {"100 blocks: nothing for the first 48", 99 * 10240 + 5, false, 100, {"     1", "    98"}, 52},
        {"empty image: one block, one report", 0, false, 1, {"    98", "    98"}, 1},
        {"exactly 2 blocks of data: 3 blocks", 2 * 10240, true, 3, {"    94", "    98"}, 3},
    };
    for (const auto& r : rows) {
        PushRig rig;
        rig.port.task.m_bIoMcu = r.ioMcu;
        LogCapture log(true);
        std::string content = RandomBytes(r.size, 9);
        EXPECT_EQ(rig.push(content), 1) << r.legend;
        EXPECT_EQ(rig.received(content.size()), content) << r.legend;
        EXPECT_TRUE(log.contains("nTotal = " + std::to_string(r.blocks) + "\n")) << r.legend;
        EXPECT_EQ(log.count("Uart2Write result = "), (size_t)r.blocks) << r.legend;
        auto reports = WaitReports(rig.vela, r.reports);
        ASSERT_EQ(reports.size(), r.reports) << r.legend;
        EXPECT_EQ(reports.front().percent, r.percents[0]) << r.legend;
        EXPECT_EQ(reports.back().percent, r.percents[1]) << r.legend;
        for (size_t i = 0; i < reports.size(); i++) {
            int left = (int)(reports.size() - i);
            EXPECT_EQ(reports[i].percentValue(), 100 * (53 - left) / 53) << r.legend << " report " << i;
            EXPECT_EQ(reports[i].name, r.ioMcu ? "IoMcu" : "ST");
            EXPECT_EQ(reports[i].isEnd, "0");
        }
        for (const auto& d : rig.vela.datagrams()) {
            EXPECT_EQ(d.type(), 252u);
            EXPECT_EQ(d.len(), d.bytes.size());
            EXPECT_EQ(d.len(), d.payload().size() + 8);
        }
    }
}

TEST(ImagePush, WithoutAHostLinkThePushGoesOn) {
    PushRig rig(false);
    ASSERT_EQ(g_pudp4vela, nullptr);
    LogCapture log(true);
    std::string content = RandomBytes(25000, 4);
    EXPECT_EQ(rig.push(content), 1);
    EXPECT_EQ(rig.received(content.size()), content);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(rig.vela.datagrams().empty());
}
