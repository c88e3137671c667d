#include "SimScenario.h"

#include <stdlib.h>
#include <unistd.h>

#include <functional>
#include <random>
#include <thread>
#include <vector>

#include "Board.h"
#include "BoardProfile.h"
#include "MgTask.h"
#include "Package.h"
#include "PtyLine.h"
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
        : root_(root), reboot_(reboot), o_(o), out_(out), board_(line_), rng_(o.seed) {}

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
    check("VALENS report, isEnd 1", valensOk, reports.empty() ? "no report" : reports.back().isEnd);
    check("valens directory removed", !root_.exists("/home/ubuntu/valens"));
}

void Scenario::packagePhase() {
    say("-- package order (type 251)");
    PackageImages images;
    images.versionJson = "{\"version\":\"sim\"}";
    std::string err;
    bool built = BuildPackage(root_.file("/home/ubuntu/McuUpdate.tar.gz"), images, &err);
    check("package built", built, err);
    size_t first = vela_.datagrams().size();
    vela_.sendOrder(251);
    bool rebooted = waitFor([&] { return reboot_.count() > 0; });
    check("board rebooted (stub) once", rebooted && reboot_.count() == 1, std::to_string(reboot_.count()) + " runs");
    check("staging directory removed", !root_.exists("/home/ubuntu/McuUpdate"));
    check("version.json kept", root_.read("/home/ubuntu/version.json") == images.versionJson);
    check("MCUs reset (\"UPG RST\") after the package", board_.resets() >= 1);
    (void)first;
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
