#include "SimScenario.h"

#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "Board.h"
#include "BoardProfile.h"
#include "Bootloader.h"
#include "HexWriter.h"
#include "IspDevice.h"
#include "MgTask.h"
#include "Package.h"
#include "PtyLine.h"
#include "Taskfile2mcu_Isp.h"
#include "ValensChip.h"
#include "Vela.h"

namespace sim {

namespace {

struct Check {
    std::string what;
    bool ok;
    std::string detail;
};

class Scenario {
public:
    Scenario(const TempRoot& root, const RebootStub& reboot, const ScenarioOptions& o, FILE* out)
        : root_(root),
          reboot_(reboot),
          o_(o),
          out_(out),
          board_(line_),
          master_("master", o.timeScale),
          ioMcu_("iomcu", o.timeScale),
          valens_("valens", o.timeScale),
          rng_(o.seed) {
        board_.route("WUPG Master\r\n", &master_);
        board_.routeSig(&ioMcu_, &valens_);
        isp_.routeAll(board_);
    }

    int run();

private:
    void say(const char* fmt, const std::string& s = "") {
        if (o_.echo) {
            fprintf(out_, fmt, s.c_str());
            fputc('\n', out_);
            fflush(out_);
        }
    }
    void check(const std::string& what, bool ok, const std::string& detail = "") {
        checks_.push_back({what, ok, detail});
    }
    bool waitFor(const std::function<bool()>& pred) {
        auto end = std::chrono::steady_clock::now() + o_.timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return pred();
    }
    std::string randomBytes(size_t n) {
        std::string s(n, '\0');
        for (auto& c : s) c = (char)(rng_() & 0xFF);
        return s;
    }
    std::vector<Report> reportsFrom(size_t first) const {
        std::vector<Report> out;
        auto d = vela_.datagrams();
        for (size_t i = first; i < d.size(); i++) {
            Report r;
            if (d[i].type() == 252 && ParseReport(d[i].payload(), &r)) out.push_back(r);
        }
        return out;
    }
    void valensPhase();
    void packagePhase();
    int summary();

    const TempRoot& root_;
    const RebootStub& reboot_;
    ScenarioOptions o_;
    FILE* out_;
    PtyLine line_;
    Board board_;
    Bootloader master_, ioMcu_;
    ValensChip valens_;
    IspDeviceSet isp_;
    VelaStandIn vela_;
    std::mt19937 rng_;
    std::vector<Check> checks_;
    std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
};

void Scenario::valensPhase() {
    say("-- Valens order (type 253, \"UPG VALENS TX\")");
    std::string image = randomBytes(150 * 1024 + 77);
    root_.write("/home/ubuntu/valens/VSTX.hex", image);
    size_t first = vela_.datagrams().size();
    vela_.sendOrder(253, "UPG VALENS TX\r\n");
    bool ended = waitFor([&] {
        for (const auto& d : vela_.datagrams())
            if (d.type() == 400) return true;
        return false;
    });
    check("Valens run ends with \"switch serial\"", ended);
    auto reports = reportsFrom(first);
    bool valensOk = !reports.empty() && reports.back().name == "VALENS" && reports.back().isEnd == "1" &&
                    reports.back().percent == "100";
    check("VALENS report, isEnd 1", valensOk, reports.empty() ? "no report" : "isEnd " + reports.back().isEnd);
    ValensChip::Record chip = valens_.record();
    check("Valens chip: VSTX.hex by YMODEM, byte for byte",
          chip.complete && chip.fileName == "VSTX.hex" && chip.file == image && chip.verdict == "SUCCESS\r\n",
          std::to_string(chip.file.size()) + " of " + std::to_string(image.size()) + " bytes, verdict " +
              (chip.verdict.empty() ? "none" : chip.verdict.substr(0, chip.verdict.find('\r'))));
    check("valens directory removed", !root_.exists("/home/ubuntu/valens"));
}

void Scenario::packagePhase() {
    say("-- package order (type 251)");
    // Images: each EP row and bank its own, so a port that took the wrong file shows.
    std::vector<uint8_t> ep[3][3];
    PackageImages images;
    for (int row = 0; row < 3; row++) {
        uint32_t seed = o_.seed * 100 + 10 * (uint32_t)row;
        ep[row][0] = SampleImage(seed, {{0x00, 0x0F}, {0x6E, 0x7F}, {0xF0, 0xFF}});
        ep[row][1] = SampleImage(seed + 1, {{0x80, 0x9F}});
        ep[row][2] = SampleImage(seed + 2, {{0x80, 0x81}, {0x86, 0x8F}});
        for (int bank = 0; bank < 3; bank++) images.ep[row][bank] = ImageToHex(ep[row][bank]);
    }
    std::vector<uint8_t> bv = SampleImage(o_.seed * 100 + 50, {{0x00, 0x8F}});
    images.bv = ImageToHex(bv);
    images.master = ImageToHex(SampleImage(o_.seed * 100 + 60, {{0x00, 0x3F}}));
    images.ioMcu = ImageToHex(SampleImage(o_.seed * 100 + 70, {{0x00, 0x1F}}));
    images.versionJson = "{\"version\":\"sim\"}";
    std::string err;
    bool built = BuildPackage(root_.file("/home/ubuntu/McuUpdate.tar.gz"), images, &err);
    check("package built", built, err);
    size_t first = vela_.datagrams().size();
    vela_.sendOrder(251);
    bool rebooted = waitFor([&] { return reboot_.count() > 0; });
    check("board rebooted (stub) once", rebooted && reboot_.count() == 1, std::to_string(reboot_.count()) + " runs");

    // Every target, byte for byte.
    for (unsigned p = 1; p <= QXIH_EP_PORTS; p++) {
        int row = IspEpFamilyOf(p);
        std::string why;
        for (unsigned b = 0; b < 3 && why.empty(); b++) {
            std::string v = IspVerifyBank(isp_.ep(p), b, ep[row][b]);
            if (!v.empty()) why = "bank " + std::to_string(b) + ": " + v;
        }
        check("EP port " + std::to_string(p) + " (" + EpFamilyDir(row) + " images, 3 banks)", why.empty(), why);
    }
    for (unsigned p = 1; p <= QXIH_BV_PORTS; p++) {
        std::string why = IspVerifyBank(isp_.bv(p), 0, bv);
        check("BV port " + std::to_string(p), why.empty(), why);
    }
    Bootloader::Record m = master_.record(), io = ioMcu_.record();
    check("master STM32: MASTER.hex pushed raw, byte for byte", m.imageComplete && m.hexText == images.master,
          std::to_string(m.hexText.size()) + " of " + std::to_string(images.master.size()) + " bytes" +
              (m.error.empty() ? "" : ", " + m.error));
    check("IO MCU: IOMCU.hex pushed raw, byte for byte", io.imageComplete && io.hexText == images.ioMcu,
          std::to_string(io.hexText.size()) + " of " + std::to_string(images.ioMcu.size()) + " bytes" +
              (io.error.empty() ? "" : ", " + io.error));

    // The order of the targets on the line and in the reports.
    std::vector<std::string> want;
    for (unsigned p = 1; p <= QXIH_EP_PORTS; p++) want.push_back("EpFile(" + std::to_string(p) + ")");
    want.push_back("ST");
    for (unsigned p = 1; p <= QXIH_BV_PORTS; p++) want.push_back("BV(" + std::to_string(p) + ")");
    want.push_back("IoMcu");
    std::vector<std::string> closing;
    bool totals = true;
    int ends = 0;
    auto reports = reportsFrom(first);
    for (const auto& r : reports) {
        if (r.percent == "100") closing.push_back(r.name);
        if (r.total != "26") totals = false;
        if (r.isEnd == "1") ends++;
    }
    check("reports: one 100 % per target, in the sequence's order", closing == want,
          std::to_string(closing.size()) + " closing reports of " + std::to_string(reports.size()));
    check("reports: total 26 throughout, isEnd 1 only at the end",
          totals && ends == 1 && !reports.empty() && reports.back().name == "IoMcu" && reports.back().isEnd == "1");

    check("staging directory removed", !root_.exists("/home/ubuntu/McuUpdate"));
    check("version.json kept", root_.read("/home/ubuntu/version.json") == images.versionJson);
    auto routerLog = board_.routerLog();
    check("MCUs reset (\"UPG RST\") before the reboot", !routerLog.empty() && routerLog.back() == "UPG RST");
}

int Scenario::summary() {
    int failed = 0;
    fprintf(out_, "\n%-52s %-6s %s\n", "check", "result", "detail");
    fprintf(out_, "%s\n", std::string(80, '-').c_str());
    for (const auto& c : checks_) {
        fprintf(out_, "%-52s %-6s %s\n", c.what.c_str(), c.ok ? "ok" : "FAIL", c.detail.c_str());
        if (!c.ok) failed++;
    }
    double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
    fprintf(out_, "%s\n%zu checks, %d failed; %.1f s at time scale %g\n", std::string(80, '-').c_str(),
            checks_.size(), failed, sec, o_.timeScale);
    return failed == 0 ? 0 : 1;
}

int Scenario::run() {
    BoardProfile p;
    p.strRoot = root_.path();
    p.strSerialDev = line_.slavePath();
    p.u16OrderPort = FreeUdpPort();
    p.u16ReportPort = vela_.reportPort();
    p.dTimeScale = o_.timeScale;
    // Keeps the ISP answer windows longer than a device's answer over the pty.
    p.u32MinWaitUs = 2000;
    p.strRebootCmd = reboot_.command();
    std::string err;
    if (BoardProfile_Set(p, &err) != 0) {
        fprintf(out_, "board profile refused: %s\n", err.c_str());
        return 1;
    }
    vela_.setOrderPort(p.u16OrderPort);
    board_.start();
    if (MgTask_StartService() != 0) {
        fprintf(out_, "the agent did not start\n");
        return 1;
    }
    valensPhase();
    packagePhase();
    board_.stop();
    return summary();
}

}  // namespace

int RunUpgradeScenario(const TempRoot& root, const RebootStub& reboot, const ScenarioOptions& options, FILE* out) {
    Scenario s(root, reboot, options, out);
    return s.run();
}

}  // namespace sim
