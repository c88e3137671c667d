#include "SimScenario.h"

#include <ctype.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "Board.h"
#include "BoardProfile.h"
#include "Bootloader.h"
#include "HexWriter.h"
#include "IspDevice.h"
#include "LastRun.h"
#include "MgTask.h"
#include "Package.h"
#include "PtyLine.h"
#include "RunRecord.h"
#include "Taskfile2mcu_Isp.h"
#include "Trace.h"
#include "Udp2vela.h"
#include "ValensChip.h"
#include "Vela.h"
#include "VirtualClock.h"

namespace sim {

namespace {
// "ep1-8", "ep9-12", "ep13-16": the EP family serving those ports, or -1.
int EpScopeRow(const std::string& name) {
    for (int row = 0; row < 3; row++) {
        const IspEpFamily& family = g_aIspEpFamilies[row];
        if (name == "ep" + std::to_string(family.u32FirstPort) + "-" + std::to_string(family.u32LastPort)) return row;
    }
    return -1;
}
}  // namespace

bool Scope::parse(const std::string& list, std::string* err) {
    if (list.empty()) return true;
    *this = Scope();
    valens = master = ioMcu = bv = epRow[0] = epRow[1] = epRow[2] = false;
    std::stringstream ss(list);
    std::string t;
    while (std::getline(ss, t, ',')) {
        if (t == "valens")
            valens = true;
        else if (t == "master")
            master = true;
        else if (t == "iomcu")
            ioMcu = true;
        else if (t == "bv")
            bv = true;
        else if (t == "ep")
            epRow[0] = epRow[1] = epRow[2] = true;
        else if (int row = EpScopeRow(t); row >= 0)
            epRow[row] = true;
        else {
            *err = "'" + t + "': want valens, master, iomcu, bv, ep, ep1-8, ep9-12 or ep13-16";
            return false;
        }
    }
    return true;
}

bool PowerCut::parse(const std::string& text, std::string* err) {
    size_t colon = text.rfind(':');
    std::string name = text.substr(0, colon == std::string::npos ? 0 : colon), upper = name;
    for (char& c : upper) c = (char)toupper((unsigned char)c);
    const std::string number = colon == std::string::npos ? "" : text.substr(colon + 1);
    char* end = nullptr;
    long pct = strtol(number.c_str(), &end, 10);
    auto port = [&](const char* prefix, unsigned last) {
        size_t n = strlen(prefix);
        if (upper.compare(0, n, prefix) != 0 || upper.size() == n || upper.size() > n + 2 || upper[n] == '0')
            return false;
        for (size_t i = n; i < upper.size(); i++)
            if (!isdigit((unsigned char)upper[i])) return false;
        unsigned v = (unsigned)atoi(upper.c_str() + n);
        return v >= 1 && v <= last;
    };
    bool known = upper == "MASTER" || upper == "IOMCU" || port("EP", QXIH_EP_PORTS) || port("BV", QXIH_BV_PORTS);
    if (!known || number.empty() || *end != '\0' || pct < 1 || pct > 99) {
        *err = "'" + text + "': want TARGET:PERCENT, TARGET one of EP1-EP16, MASTER, BV1-BV8, IOMCU, PERCENT 1-99";
        return false;
    }
    target = upper == "MASTER" ? "master" : upper;
    percent = (int)pct;
    return true;
}

std::string PowerCut::recordName() const {
    std::string n = target;
    for (char& c : n) c = (char)toupper((unsigned char)c);
    return n;
}

namespace {

using Check = ScenarioCheck;

// One target's verdict in the summary.
struct Verdict {
    std::string target;
    Outcome expected, got;
    Outcome clean;      // what its image calls for on a well-behaved device
    double sec, bound;  // bound 0: none
    std::string detail;
    bool image = false;    // an image was staged for it
    std::string recorded;  // its outcome in the agent's result record
    bool ok() const { return expected == got && (bound <= 0 || sec <= bound); }
};

// What the scenario saw of one target, and what that makes of its outcome.
// A closing report is one at 100 %: one below looks to vela like progress
// that stopped.
struct Observed {
    bool failedReport = false, closing = false, reported = false, holds = false, addressed = false, badImage = false;
    Outcome outcome() const {
        if (failedReport) return Outcome::Failed;
        if (badImage && !holds && !addressed) return Outcome::Refused;
        if (closing) return holds ? Outcome::Flashed : Outcome::ReportedUnflashed;
        if (holds) return Outcome::Unreported;
        if (reported) return Outcome::ReportedFailed;
        return addressed ? Outcome::PassedOver : Outcome::Skipped;
    }
};

// Nothing at a board path, not even a link (a trailing slash would follow one).
bool Absent(const TempRoot& root, std::string boardPath) {
    while (boardPath.size() > 1 && boardPath.back() == '/') boardPath.pop_back();
    struct stat st;
    return lstat(root.file(boardPath).c_str(), &st) != 0;
}

int EpRow(unsigned port) { return IspEpFamilyOf(port); }

std::string Fixed(double v) {
    char s[32];
    snprintf(s, sizeof(s), "%.1f s", v);
    return s;
}

Outcome Clean(const LoadedImage& img) {
    return !img.present ? Outcome::Skipped : img.refused.empty() ? Outcome::Flashed : Outcome::Refused;
}

DeviceFaults FaultsOf(const ScenarioOptions& o) {
    DeviceFaults d;
    o.faults.apply(&d);
    return d;
}

std::string ScaleText(double scale) {
    char b[32];
    snprintf(b, sizeof(b), "%g", scale);
    return b;
}

class Scenario {
public:
    Scenario(const TempRoot& root, const RebootStub& reboot, const ScenarioOptions& o, FILE* out)
        : root_(root),
          reboot_(reboot),
          o_(o),
          out_(out),
          faults_(FaultsOf(o)),
          board_(line_),
          master_("master", faults_.master),
          ioMcu_("iomcu", faults_.ioMcu),
          valens_("valens", faults_.valens),
          vela_(o.reportPort),
          view_(o.view, out),
          rng_(o.seed) {
        board_.route("WUPG Master\r\n", &master_);
        board_.routeSig(&ioMcu_, &valens_);
        isp_.routeAll(board_);
        for (unsigned p = 1; p <= QXIH_EP_PORTS; p++) isp_.ep(p).setFaults(faults_.ep[p - 1]);
        for (unsigned p = 1; p <= QXIH_BV_PORTS; p++) isp_.bv(p).setFaults(faults_.bv[p - 1]);
        board_.setNoise(faults_.lineFlip, o.seed);
        if (!o.tracePath.empty()) {
            trace_.reset(new Trace());
            trace_->setHolder([this] { return board_.holder(); });
            line_.setTap(trace_.get());
        }
    }

    int run();

private:
    void say(const std::string& s) {
        if (o_.view == ProgressView::Lines) fprintf(out_, "%s\n", s.c_str());
    }
    void check(const std::string& what, bool ok, const std::string& detail = "") {
        checks_.push_back({what, ok, detail});
    }
    // Looks at pred at every report (and every board second) while the
    // progress view follows the reports; gives up after the wall-time bound.
    bool waitFor(const std::function<bool()>& pred) {
        auto end = std::chrono::steady_clock::now() + o_.timeout;
        for (;;) {
            pump();
            if (pred()) return true;
            if (std::chrono::steady_clock::now() >= end) return false;
            vela_.waitUntil([&](const std::vector<Datagram>& d) { return d.size() > seen_; }, 1000);
        }
    }
    void pump() {
        auto d = vela_.datagrams();
        for (; seen_ < d.size(); seen_++) {
            Report r;
            if (d[seen_].type() == 252 && ParseReport(d[seen_].payload(), &r)) {
                if (o_.boots && r.name != "VALENS") packageReport(r);
                reports_.push_back(r);
                view_.report(r);
                if (packageSent_ && !packageTaken_) {
                    packageTaken_ = true;
                    event("package-taken");
                }
            }
            if (d[seen_].type() == 400) switched_ = true;
        }
        view_.draw();
    }
    void event(const char* name) {
        if (o_.onEvent) o_.onEvent(name);
    }
    // What vela uploads belongs to the web account, as on the board.
    void upload(const std::string& boardPath) {
        if (o_.uploadUid < 0) return;
        if (lchown(root_.file(boardPath).c_str(), (uid_t)o_.uploadUid, (gid_t)o_.uploadGid) != 0)
            check("upload " + boardPath + " given to the web account", false, strerror(errno));
    }
    LastRun settledRecord(const std::string& order);
    std::string randomBytes(size_t n) {
        std::string s(n, '\0');
        for (auto& c : s) c = (char)(rng_() & 0xFF);
        return s;
    }
    bool prepare();
    bool generatePackage();
    bool stagePackage();
    void valensPhase();
    void packagePhase();
    // With drivers.
    enum class End { None, NotStarted, Exited, Reboot, PowerCut, TimeOut };
    struct BootRun {
        std::string id, command;
        LastRun atStart;  // the result record as the agent left it once it listened
        End end = End::None;
        bool exited = false;  // the driver ended by itself ...
        int status = -1;      // ... with this exit status
        std::string error;    // why it did not start
        double sec = 0;
        std::string holder;  // the device holding the line when the board rebooted
    };
    void packageReport(const Report& r);
    bool bootUp(size_t boot);
    void runBoot(BootRun& b);
    void drivenPhase();
    bool agentBusy() const;
    std::string driverFate(const BootRun& b) const;
    void drivenExpectations();
    void drivenChecks();
    void bootLines();
    bool lastOrderCut() const { return cutBoot_ != 0 && orderBoot_ == cutBoot_; }
    void reportChecks();
    void routerCheck();
    void judgeTargets();
    void recordChecks(const std::string& order, const LastRun& record, bool valens);
    void copyRecord();
    Verdict judge(const std::string& name, Outcome clean, const Observed& seen, const std::string& detail);
    Observed observeIsp(IspDevice& dev, const LoadedImage* banks, unsigned count, std::string* detail);
    Observed observeMcu(const Bootloader& dev, const LoadedImage& img, std::string* detail);
    int summary();
    void saveTrace() {
        if (!trace_) return;
        line_.setTap(nullptr);
        std::string err;
        if (!trace_->save(o_.tracePath, &err)) fprintf(out_, "trace: %s\n", err.c_str());
    }

    const TempRoot& root_;
    const RebootStub& reboot_;
    ScenarioOptions o_;
    FILE* out_;
    DeviceFaults faults_;
    PtyLine line_;
    Board board_;
    Bootloader master_, ioMcu_;
    ValensChip valens_;
    IspDeviceSet isp_;
    VelaStandIn vela_;
    ProgressView view_;
    std::mt19937 rng_;
    // What each target should end up holding.
    std::string valensImage_;
    bool runValens_ = false, runPackage_ = false;
    StagedPackage pkg_;
    std::vector<Report> reports_;
    size_t seen_ = 0, packageFirst_ = 0, garbledBefore_ = 0;
    bool switched_ = false, packageSent_ = false, packageTaken_ = false;
    LastRun valensRecord_, packageRecord_;  // as each order left it
    std::vector<Check> checks_;
    std::vector<Verdict> verdicts_;
    std::unique_ptr<Trace> trace_;
    std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();  // wall
    BoardClock::time_point boardT0_ = BoardClock::now(), boardEnd_ = boardT0_;  // the orders' span
    BoardProfile profile_;
    std::vector<BootRun> bootRuns_;
    size_t boot_ = 0;       // the boot now running, from 1 (drivers only)
    size_t orderBoot_ = 0;  // the boot of the last package order that reported (0: none did)
    size_t cutBoot_ = 0;    // the boot the power was cut in (0: not cut)
    int cutPercent_ = 0;    // the percent the cut target's reports had reached
    bool cutDue_ = false;
    bool driving_ = false;  // the drivers' boots are under way
    int rebootsSeen_ = 0;
};

// ---- the images ----------------------------------------------------------------

void Generated(LoadedImage* img, const std::vector<uint8_t>& flash) {
    img->present = true;
    img->flash = flash;
    img->text = ImageToHex(flash);
}

bool Scenario::generatePackage() {
    const Scope& s = o_.scope;
    // Each EP row and bank its own image, so a port that took the wrong file shows.
    for (int row = 0; row < 3; row++) {
        if (!s.epRow[row]) continue;
        uint32_t seed = o_.seed * 100 + 10 * (uint32_t)row;
        Generated(&pkg_.ep[row][0], SampleImage(seed, {{0x00, 0x0F}, {0x6E, 0x7F}, {0xF0, 0xFF}}));
        Generated(&pkg_.ep[row][1], SampleImage(seed + 1, {{0x80, 0x9F}}));
        Generated(&pkg_.ep[row][2], SampleImage(seed + 2, {{0x80, 0x81}, {0x86, 0x8F}}));
    }
    if (s.bv) Generated(&pkg_.bv, SampleImage(o_.seed * 100 + 50, {{0x00, 0x8F}}));
    if (s.master) Generated(&pkg_.master, SampleImage(o_.seed * 100 + 60, {{0x00, 0x3F}}));
    if (s.ioMcu) Generated(&pkg_.ioMcu, SampleImage(o_.seed * 100 + 70, {{0x00, 0x1F}}));
    pkg_.hasVersion = true;
    pkg_.versionJson = "{\"version\":\"sim\"}";
    PackageImages images;
    for (int row = 0; row < 3; row++)
        for (int bank = 0; bank < 3; bank++) images.ep[row][bank] = pkg_.ep[row][bank].text;
    images.bv = pkg_.bv.text;
    images.master = pkg_.master.text;
    images.ioMcu = pkg_.ioMcu.text;
    images.versionJson = pkg_.versionJson;
    std::string err;
    bool built = BuildPackage(root_.file(QX_TXMCU_UPDATE_FILE_PATH), images, &err);
    check("package built", built, err);
    if (built) upload(QX_TXMCU_UPDATE_FILE_PATH);
    return built;
}

// The given package, staged and loaded by the agent's own code before the
// agent runs; the staged tree goes again so the order stages it afresh.
bool Scenario::stagePackage() {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::copy_file(o_.package, root_.file(QX_TXMCU_UPDATE_FILE_PATH), ec);
    check("package " + o_.package + " read", !ec, ec ? ec.message() : "");
    if (ec) return false;
    upload(QX_TXMCU_UPDATE_FILE_PATH);
    pkg_ = StageWithAgent(root_, o_.logHook, o_.logUser);
    fs::remove_all(root_.file(QX_UPDATE_DIR), ec);
    // The state directory stays (the agent's, made at its first staging); what
    // the staging left in it goes, the record included.
    for (fs::directory_iterator it(root_.file(QX_STATE_DIR), ec), end; !ec && it != end; it.increment(ec))
        RemoveTree(it->path().string());
    ec.clear();
    fs::remove(root_.file(QX_VERSION_JSON), ec);
    fs::remove(root_.file("/tar.log"), ec);
    check("staged package holds no stray files", pkg_.leftovers.empty(),
          pkg_.leftovers.empty() ? "" : pkg_.leftovers.front() + (pkg_.leftovers.size() > 1 ? ", ..." : ""));
    return true;
}

bool Scenario::prepare() {
    bool given = !o_.package.empty() || !o_.valens.empty();
    runPackage_ = given ? !o_.package.empty()
                        : (o_.scope.master || o_.scope.ioMcu || o_.scope.bv || o_.scope.epRow[0] || o_.scope.epRow[1] ||
                           o_.scope.epRow[2]);
    runValens_ = given ? !o_.valens.empty() : o_.scope.valens;
    if (runValens_) {
        valensImage_ = o_.valens.empty() ? randomBytes(150 * 1024 + 77) : ReadFile(o_.valens);
        if (!o_.valens.empty() && access(o_.valens.c_str(), R_OK) != 0) {
            check("Valens image " + o_.valens + " read", false, "cannot read it");
            return false;
        }
    }
    if (!runPackage_) return true;
    return o_.package.empty() ? generatePackage() : stagePackage();
}

// ---- the orders ----------------------------------------------------------------

void Scenario::valensPhase() {
    say("-- Valens order (type 253, \"UPG VALENS TX\")");
    root_.write(QX_VALENS_TX_HEX, valensImage_);
    upload(QX_VALENS_DIR);
    upload(QX_VALENS_TX_HEX);
    vela_.sendOrder(253, "UPG VALENS TX\r\n");
    event("valens-sent");
    view_.begin(0, 0);
    bool ended = waitFor([&] { return switched_; });
    view_.end();
    event("valens-done");
    check("Valens run ends with \"switch serial\"", ended);
    check("valens directory removed", Absent(root_, QX_VALENS_DIR));
    valensRecord_ = settledRecord("valens");
}

void Scenario::packagePhase() {
    say("-- package order (type 251)");
    packageFirst_ = reports_.size();
    garbledBefore_ = board_.garbled();
    vela_.sendOrder(251);
    packageSent_ = true;
    event("package-sent");
    view_.begin(1, 26);
    bool rebooted = waitFor([&] { return reboot_.count() > 0; });
    pump();
    view_.end();
    event("package-done");
    check("board rebooted (stub) once", rebooted && reboot_.count() == 1, std::to_string(reboot_.count()) + " runs");
    check("staging directory removed", Absent(root_, QX_UPDATE_DIR));
    if (pkg_.hasVersion) check("version.json kept", root_.read(QX_VERSION_JSON) == pkg_.versionJson);
    packageRecord_ = settledRecord("package");
    auto routerLog = board_.routerLog();
    check("MCUs reset (\"UPG RST\") before the reboot", !routerLog.empty() && routerLog.back() == "UPG RST");
    if (o_.faults.empty() && o_.package.empty()) routerCheck();
}

// ---- drivers, boots and power cuts -------------------------------------------------

// A package report while drivers run: the first one of a boot begins the rows
// of a new order; the cut target's report at the chosen percent cuts the power.
void Scenario::packageReport(const Report& r) {
    if (!driving_) return;
    if (orderBoot_ != boot_) {
        orderBoot_ = boot_;
        view_.restart();
        packageFirst_ = reports_.size();
    }
    const PowerCut& cut = o_.powerCut;
    int k = cut.target.empty() ? -1 : view_.find(cut.target);
    if (k < 0 || cutBoot_ != 0 || r.name != view_.rows()[(size_t)k].report) return;
    int pct = r.percentValue();
    if (pct >= cut.percent && pct < 100 && r.isEnd != "-1") {
        cutDue_ = true;
        cutBoot_ = boot_;
        cutPercent_ = pct;
    }
}

// The board comes up: a new boot id, a fresh /tmp, the agent started again.
bool Scenario::bootUp(size_t boot) {
    Boots& boots = *o_.boots;
    boot_ = boot;
    BootRun b;
    if (boot <= boots.commands()) b.command = boots.command(boot);
    std::string err;
    bool up = boots.up(boot, profile_, &err);
    b.id = boots.bootId(boot);
    if (up)
        b.atStart = ReadLastRun(root_.file(QX_LAST_RUN));
    else
        check("boot " + std::to_string(boot) + " came up", false, err);
    bootRuns_.push_back(b);
    return up;
}

// An upgrade the agent took in this boot and has not ended yet.
bool Scenario::agentBusy() const {
    LastRun r = ReadLastRun(root_.file(QX_LAST_RUN));
    const std::string phase = r.get("phase");
    return r.get("boot_id") == bootRuns_.back().id &&
           (phase == "staging" || phase == "flashing" || phase == "resetting" || phase == "rebooting");
}

// One boot's driver: the boot ends with the reboot, the power cut, the
// driver's end once the agent is idle, or the time-out.
void Scenario::runBoot(BootRun& b) {
    Boots& boots = *o_.boots;
    if (b.command.empty()) return;  // the agent alone
    std::string err;
    if (!boots.startDriver(boot_, &err)) {
        b.end = End::NotStarted;
        b.error = err;
        return;
    }
    if (boot_ == 1) {
        packageSent_ = true;
        event("package-sent");
    }
    const auto start = std::chrono::steady_clock::now(), end = start + o_.timeout;
    for (;;) {
        vela_.waitUntil([&](const std::vector<Datagram>& d) { return d.size() > seen_; }, 20);
        pump();
        if (cutDue_) {
            b.end = End::PowerCut;
            break;
        }
        if (reboot_.count() > rebootsSeen_) {
            b.end = End::Reboot;
            break;
        }
        if (!b.exited) b.exited = boots.driverEnded(&b.status);
        if (b.exited && !agentBusy()) {
            b.end = End::Exited;
            break;
        }
        if (std::chrono::steady_clock::now() >= end) {
            b.end = End::TimeOut;
            break;
        }
    }
    b.sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (b.end == End::PowerCut) {
        // The devices stop where they are before the processes die.
        board_.stop();
        boots.down(true);
        board_.powerCut();
        board_.start();
        cutDue_ = false;
        say("-- power cut at " + o_.powerCut.target + " " + std::to_string(cutPercent_) + " %");
    } else if (b.end == End::Reboot) {
        rebootsSeen_ = reboot_.count();
        b.holder = board_.holder();
        boots.down(false);
    } else if (b.end == End::TimeOut) {
        boots.down(false);
    }
}

void Scenario::drivenPhase() {
    say("-- driver in place of the package order");
    packageFirst_ = reports_.size();
    garbledBefore_ = board_.garbled();
    view_.begin(1, 26);
    driving_ = true;
    for (;;) {
        runBoot(bootRuns_.back());
        const BootRun& b = bootRuns_.back();
        // After a power cut the board comes up again, with the agent alone when no command is left.
        bool next = b.end == End::PowerCut || (b.end == End::Reboot && boot_ < o_.boots->commands());
        if (!next || b.command.empty()) break;
        say("-- boot " + std::to_string(boot_ + 1));
        if (!bootUp(boot_ + 1)) break;
    }
    pump();
    view_.end();
    driving_ = false;
    o_.boots->over();
    event("package-done");
    packageRecord_ = ReadLastRun(root_.file(QX_LAST_RUN));
}

// The targets an order did not reach keep what they held before it.
void Scenario::drivenExpectations() {
    const bool cut = lastOrderCut();
    size_t cutAt = verdicts_.size();
    for (size_t i = 0; i < verdicts_.size(); i++)
        if (cut && verdicts_[i].target == o_.powerCut.target) cutAt = i;
    for (size_t i = 1; i < verdicts_.size(); i++) {
        Verdict& v = verdicts_[i];
        if (orderBoot_ == 0 || (cut && i > cutAt)) {
            v.expected = v.clean == Outcome::Refused ? Outcome::Refused : Outcome::Skipped;
            v.bound = 0;
        } else if (i == cutAt) {
            // Reported part of the way; a push the cut came too late for holds the image unconfirmed.
            v.expected = v.got == Outcome::Unreported ? Outcome::Unreported : Outcome::ReportedFailed;
            v.bound = 0;
        }
    }
}

std::string Scenario::driverFate(const BootRun& b) const {
    if (b.command.empty()) return "no driver";
    if (b.end == End::NotStarted) return "driver did not start: " + b.error;
    std::string fate;
    if (b.exited)
        fate = b.status >= 0 ? "driver exit status " + std::to_string(b.status) : "driver did not exit normally";
    else if (b.end == End::Reboot)
        fate = "driver ended by the reboot";
    else if (b.end == End::PowerCut)
        fate = "driver killed at the power cut";
    else
        fate = "driver killed at the time-out";
    fate += " after " + Fixed(b.sec);
    if (b.exited && b.end == End::Reboot) fate += ", then the reboot";
    if (b.end == End::PowerCut)
        fate += " (power cut at " + o_.powerCut.target + " " + std::to_string(cutPercent_) + " %)";
    return fate;
}

void Scenario::drivenChecks() {
    const Boots& boots = *o_.boots;
    // The last driver decides; one the reboot ended did what it could.
    size_t last = 0, ran = 0;  // the last boot with a driver, from 1
    for (size_t i = 0; i < bootRuns_.size(); i++)
        if (!bootRuns_[i].command.empty()) {
            last = i + 1;
            ran++;
        }
    const BootRun* b = last ? &bootRuns_[last - 1] : nullptr;
    bool ended = b && (b->exited ? b->status == 0 : b->end == End::Reboot);
    check("driver of the last boot ended well", ended,
          b ? "boot " + std::to_string(last) + ": " + driverFate(*b) : "no driver");
    std::string unrun;
    if (ran < boots.commands())
        unrun = std::to_string(boots.commands() - ran) + " not run: boot " + std::to_string(bootRuns_.size()) +
                " ended without a reboot";
    else if (!bootRuns_.empty() && bootRuns_.back().command.empty())
        unrun = "none left for the boot after the power cut";
    check("a boot for every driver command", unrun.empty(), unrun);
    if (!o_.powerCut.target.empty()) {
        const std::string at = o_.powerCut.target + " at " + std::to_string(o_.powerCut.percent) + " %";
        check("power cut at " + at, cutBoot_ > 0,
              cutBoot_ > 0 ? "reports at " + std::to_string(cutPercent_) + " % in boot " + std::to_string(cutBoot_)
                           : "its reports never reached that");
        if (cutBoot_ > 0 && bootRuns_.size() > cutBoot_) {
            const LastRun& r = bootRuns_[cutBoot_].atStart;
            check("result record after the power cut: interrupted at " + o_.powerCut.recordName(),
                  r.get("phase") == "interrupted" && r.get("current") == o_.powerCut.recordName() &&
                      r.get("verdict") == "failure",
                  "phase " + r.get("phase") + ", current " + r.get("current") + ", verdict " + r.get("verdict"));
        }
    }
    std::string held;
    int reboots = 0;
    for (size_t i = 0; i < bootRuns_.size(); i++) {
        if (bootRuns_[i].end != End::Reboot) continue;
        reboots++;
        if (!bootRuns_[i].holder.empty())
            held += " " + bootRuns_[i].holder + " at boot " + std::to_string(i + 1) + "'s";
    }
    check("no device held the line when the board rebooted", held.empty(),
          held.empty() ? std::to_string(reboots) + " reboots" : "held by" + held);
    const std::string id = packageRecord_.get("boot_id");
    size_t boot = 0;
    for (size_t i = 0; i < bootRuns_.size(); i++)
        if (!id.empty() && bootRuns_[i].id == id) boot = i + 1;
    if (packageRecord_.present)
        check("result record: the boot id of a boot of this run", boot > 0,
              boot > 0 ? "boot " + std::to_string(boot) : "boot_id=" + id);
    if (bootRuns_.empty() || bootRuns_.back().end != End::TimeOut)
        check("staging directory removed", Absent(root_, QX_UPDATE_DIR));
}

void Scenario::bootLines() {
    for (size_t i = 0; i < bootRuns_.size(); i++) {
        const BootRun& b = bootRuns_[i];
        std::string line = "boot " + std::to_string(i + 1) + " (id " + b.id + "): ";
        if (i > 0) {
            line += "record at start: phase " + (b.atStart.present ? b.atStart.get("phase") : "none");
            if (!b.atStart.get("current").empty()) line += ", current " + b.atStart.get("current");
            line += "; ";
        }
        fprintf(out_, "%s%s\n", line.c_str(), driverFate(b).c_str());
    }
    for (size_t i = 0; i < bootRuns_.size(); i++) {
        const BootRun& b = bootRuns_[i];
        if (b.command.empty()) continue;
        std::vector<std::string> lines;
        std::istringstream in(o_.boots->output(i + 1));
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        const size_t shown = std::min<size_t>(lines.size(), 10);
        fprintf(out_, "\ndriver of boot %zu: %s\n", i + 1, b.command.c_str());
        if (lines.size() > shown) fprintf(out_, "    ... %zu lines before\n", lines.size() - shown);
        for (size_t k = lines.size() - shown; k < lines.size(); k++) fprintf(out_, "    %s\n", lines[k].c_str());
        if (lines.empty()) fprintf(out_, "    (no output)\n");
    }
}

// The order of the targets in the reports, as vela follows them.
void Scenario::reportChecks() {
    const size_t first = packageFirst_;
    std::vector<std::string> want, closing;
    const auto& rows = view_.rows();
    // Only a target that holds its image and confirmed it is reported at 100 %.
    // The IO MCU's report, whatever its percent, ends an order that reached it.
    const bool ioMcuEnds = pkg_.ioMcu.present && (!o_.boots || (orderBoot_ > 0 && !lastOrderCut()));
    for (size_t i = 1; i < rows.size(); i++) {
        Outcome e = verdicts_.size() > i ? verdicts_[i].expected : Outcome::Skipped;
        if (e == Outcome::Flashed) want.push_back(rows[i].report);
    }
    bool totals = true;
    int ends = 0;
    for (size_t i = first; i < reports_.size(); i++) {
        const Report& r = reports_[i];
        if (r.percent == "100") closing.push_back(r.name);
        if (r.total != "26") totals = false;
        if (r.isEnd == "1") ends++;
    }
    check("reports: one 100 % per target, in the sequence's order", closing == want,
          std::to_string(closing.size()) + " closing reports of " + std::to_string(reports_.size() - first));
    bool lastEnds =
        ioMcuEnds ? ends == 1 && reports_.back().name == "IoMcu" && reports_.back().isEnd == "1" : ends == 0;
    check("reports: total 26 throughout, isEnd 1 only at the end", totals && lastEnds);
    check("reports: every one well-formed JSON with vela's fields", MalformedReports() == 0,
          std::to_string(MalformedReports()) + " malformed");
}

// A clean package run hands the line to each ISP device once, in port order,
// and never sends at a speed the holder does not listen at. (The Valens run
// ends with "UPG RST" at 57600 bit/s while the chip still listens at 115200.)
void Scenario::routerCheck() {
    std::vector<std::string> want, got;
    for (unsigned p = 1; p <= QXIH_EP_PORTS; p++) {
        if (!pkg_.ep[EpRow(p)][0].present) continue;
        std::string e = IspDevice::EntryText(IspFamily::EP, p);
        want.push_back(e.substr(0, e.size() - 2));
        want.push_back("-> EP" + std::to_string(p));
    }
    for (unsigned p = 1; p <= QXIH_BV_PORTS && pkg_.bv.present; p++) {
        want.push_back("UPG BVE" + std::to_string(p));
        want.push_back("-> BV" + std::to_string(p));
    }
    for (const std::string& l : board_.routerLog())
        if (l.compare(0, 8, "WUPG MCU") == 0 || l.compare(0, 7, "UPG BVE") == 0 || l.compare(0, 5, "-> EP") == 0 ||
            l.compare(0, 5, "-> BV") == 0)
            got.push_back(l);
    check("line handed to each EP and BV device once, in port order", got == want,
          std::to_string(got.size() / 2) + " hand-overs");
    size_t garbled = board_.garbled() - garbledBefore_;
    check("no byte sent at a speed the device does not listen at", garbled == 0, std::to_string(garbled) + " bytes");
}

// ---- the verdicts ----------------------------------------------------------------

Observed Scenario::observeIsp(IspDevice& dev, const LoadedImage* banks, unsigned count, std::string* detail) {
    Observed o;
    o.addressed = dev.entries() > 0;
    o.holds = banks[0].present;
    for (unsigned b = 0; b < count; b++) {
        if (!banks[b].present || !banks[b].refused.empty()) {
            o.holds = false;
            o.badImage = banks[0].present;
            if (detail->empty())
                *detail = "bank " + std::to_string(b) + ": " + (banks[b].present ? banks[b].refused : "no image");
            continue;
        }
        std::string why = IspVerifyBank(dev, b, banks[b].flash);
        if (!why.empty()) o.holds = false;
        if (!why.empty() && detail->empty()) *detail = why;
    }
    if (o.holds) *detail = std::to_string(dev.blocks()) + " blocks, " + std::to_string(dev.entries()) + " entries";
    return o;
}

Observed Scenario::observeMcu(const Bootloader& dev, const LoadedImage& img, std::string* detail) {
    Bootloader::Record r = dev.record();
    Observed o;
    o.addressed = r.attaches > 0;
    // A boot loader that never says it is rebooting still holds the line, and
    // takes the closing "UPG RST" after the image as text.
    o.holds = img.present && r.imageComplete && r.hexText.compare(0, img.text.size(), img.text) == 0;
    o.badImage = img.present && !img.refused.empty();
    *detail = std::to_string(r.hexText.size()) + " of " + std::to_string(img.text.size()) + " bytes" +
              (img.present && r.imageComplete && !o.holds ? ", not the image's" : "") +
              (r.error.empty() ? "" : ", " + r.error);
    return o;
}

// clean: the outcome the target's image calls for on a well-behaved device.
Verdict Scenario::judge(const std::string& name, Outcome clean, const Observed& seen, const std::string& detail) {
    // The time the agent kept the device busy, as the board saw it.
    std::string device = name == "Valens" ? "valens" : name == "IOMCU" ? "iomcu" : name;
    Verdict v{name, clean, seen.outcome(), clean, board_.heldSeconds(device), 0, detail, clean != Outcome::Skipped, ""};
    const bool valens = name == "Valens";
    if (valens ? runValens_ : runPackage_ || o_.boots) {
        const LastRun& r = valens ? valensRecord_ : packageRecord_;
        v.recorded = !r.present ? "none" : r.target(name).empty() ? "-" : r.target(name);
    }
    if (clean == Outcome::Flashed) {
        if (o_.faults.expected(name, &v.expected) || o_.faults.lineFaults())
            v.bound = o_.faults.boundSec(name);
    }
    return v;
}

void Scenario::judgeTargets() {
    const auto& rows = view_.rows();
    auto closing = [&](const std::string& n) { return rows[(size_t)view_.find(n)].closing; };
    auto reported = [&](const std::string& n) { return rows[(size_t)view_.find(n)].reported; };
    ValensChip::Record chip = valens_.record();
    Observed vs;
    const TargetRow& vrow = rows[0];
    vs.failedReport = vrow.isEnd == "-1";
    vs.closing = vrow.isEnd == "1";
    vs.reported = vrow.reported;
    vs.addressed = chip.attaches > 0;
    vs.holds = runValens_ && chip.complete && chip.fileName == "VSTX.hex" && chip.file == valensImage_ &&
               chip.verdict == "SUCCESS\r\n";
    verdicts_.push_back(judge("Valens", runValens_ ? Outcome::Flashed : Outcome::Skipped, vs,
                              std::to_string(chip.file.size()) + " of " + std::to_string(valensImage_.size()) +
                                  " bytes, verdict " +
                                  (chip.verdict.empty() ? "none" : chip.verdict.substr(0, chip.verdict.find('\r')))));
    for (unsigned p = 1; p <= QXIH_EP_PORTS; p++) {
        std::string name = "EP" + std::to_string(p), detail;
        const LoadedImage* banks = pkg_.ep[EpRow(p)];
        Observed o = observeIsp(isp_.ep(p), banks, 3, &detail);
        o.closing = closing(name);
        o.reported = reported(name);
        // A port is entered only when all three banks load.
        bool bad = !banks[0].refused.empty() || !banks[1].present || !banks[1].refused.empty() || !banks[2].present ||
                   !banks[2].refused.empty();
        Outcome clean = !banks[0].present ? Outcome::Skipped : bad ? Outcome::Refused : Outcome::Flashed;
        verdicts_.push_back(judge(name, clean, o, detail));
    }
    std::string detail;
    Observed m = observeMcu(master_, pkg_.master, &detail);
    m.closing = closing("master");
    m.reported = reported("master");
    verdicts_.push_back(judge("master", Clean(pkg_.master), m, detail));
    for (unsigned p = 1; p <= QXIH_BV_PORTS; p++) {
        std::string name = "BV" + std::to_string(p);
        detail.clear();
        Observed o = observeIsp(isp_.bv(p), &pkg_.bv, 1, &detail);
        o.closing = closing(name);
        o.reported = reported(name);
        verdicts_.push_back(judge(name, Clean(pkg_.bv), o, detail));
    }
    Observed io = observeMcu(ioMcu_, pkg_.ioMcu, &detail);
    io.closing = closing("IOMCU");
    io.reported = reported("IOMCU");
    verdicts_.push_back(judge("IOMCU", Clean(pkg_.ioMcu), io, detail));
}

// ---- the result record -----------------------------------------------------------

// The record as the order left it: replaced whole when the order ends, which
// may come a moment after its last report.
LastRun Scenario::settledRecord(const std::string& order) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    LastRun r;
    for (;;) {
        r = ReadLastRun(root_.file(QX_LAST_RUN));
        std::string verdict = r.get("verdict");
        bool settled = r.get("order") == order && (verdict == "success" || verdict == "failure");
        if (settled || std::chrono::steady_clock::now() >= end) return r;
        SleepFor(std::chrono::milliseconds(20));
    }
}

// The record must say what the board holds: flashed exactly where this run
// judged a target flashed, success exactly when every target that had an image was.
void Scenario::recordChecks(const std::string& order, const LastRun& r, bool valens) {
    const std::string what = "result record of the " + order + " order";
    const std::string verdict = r.get("verdict");
    bool settled = r.get("format") == "1" && r.get("order") == order && (verdict == "success" || verdict == "failure");
    check(what + ": written and settled", r.present && settled,
          r.present ? "order " + r.get("order") + ", phase " + r.get("phase") + ", verdict " + verdict
                    : std::string("no ") + QX_LAST_RUN);
    if (!r.present) return;
    std::string differ;
    bool images = false, allFlashed = true;
    for (const Verdict& v : verdicts_) {
        if ((v.target == "Valens") != valens) continue;
        bool flashed = v.got == Outcome::Flashed;
        // The cut target was never confirmed, whatever reached it before the cut.
        bool cutShort = !valens && lastOrderCut() && v.target == o_.powerCut.target && v.recorded != "flashed";
        if (flashed != (v.recorded == "flashed") && !cutShort) differ += " " + v.target + "=" + v.recorded;
        if (v.image) {
            images = true;
            allFlashed = allFlashed && flashed;
        }
    }
    check(what + ": flashed exactly where the board holds the image", differ.empty(),
          differ.empty() ? "" : "recorded" + differ);
    const std::string want = images && allFlashed ? "success" : "failure";
    check(what + ": verdict " + want, verdict == want, "recorded " + (verdict.empty() ? "none" : verdict));
}

void Scenario::copyRecord() {
    if (o_.recordCopy.empty()) return;
    LastRun r = ReadLastRun(root_.file(QX_LAST_RUN));
    try {
        if (r.present) WriteFile(o_.recordCopy, r.text);
    } catch (const std::exception& e) {
        check("result record copied to " + o_.recordCopy, false, e.what());
    }
}

// ---- the summary ----------------------------------------------------------------

int Scenario::summary() {
    int bad = 0;
    std::vector<std::vector<std::string>> t = {
        {"target", "expected", "outcome", "result", "record", "time", "bound", "detail"}};
    std::string skipped;
    for (const Verdict& v : verdicts_) {
        // Targets without an image, left alone as they should be, share one line.
        if (v.expected == Outcome::Skipped && v.got == Outcome::Skipped && !(o_.boots && v.image)) {
            skipped += " " + v.target;
            continue;
        }
        t.push_back({v.target, OutcomeName(v.expected), OutcomeName(v.got), v.ok() ? "ok" : "FAIL", v.recorded,
                     Fixed(v.sec), v.bound > 0 ? Fixed(v.bound) : "", v.detail});
        if (!v.ok()) bad++;
    }
    fputc('\n', out_);
    PrintTable(out_, t);
    if (!skipped.empty()) fprintf(out_, "no image, skipped as expected:%s\n", skipped.c_str());
    auto recordLine = [&](const char* order, const LastRun& r) {
        if (!r.present)
            fprintf(out_, "result record after the %s order: none\n", order);
        else
            fprintf(out_, "result record after the %s order: phase %s, verdict %s\n", order, r.get("phase").c_str(),
                    r.get("verdict").c_str());
    };
    if (runValens_ && !verdicts_.empty()) recordLine("Valens", valensRecord_);
    if (o_.boots && !verdicts_.empty()) {
        const LastRun& r = packageRecord_;
        fprintf(out_, "result record after the last boot: %s\n",
                !r.present ? "none"
                           : ("order " + r.get("order") + (r.get("order_id").empty() ? "" : " " + r.get("order_id")) +
                              ", phase " + r.get("phase") + ", verdict " + r.get("verdict"))
                                 .c_str());
        bootLines();
    } else if (runPackage_ && !verdicts_.empty()) {
        recordLine("package", packageRecord_);
    }
    int failed = 0;
    std::vector<std::vector<std::string>> c = {{"check", "result", "detail"}};
    for (const Check& k : checks_) {
        c.push_back({k.what, k.ok ? "ok" : "FAIL", k.detail});
        if (!k.ok) failed++;
    }
    fputc('\n', out_);
    PrintTable(out_, c);
    double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
    double board = std::chrono::duration<double>(boardEnd_ - boardT0_).count();
    std::string pace = o_.timeScale == 0   ? "virtual time"
                       : o_.timeScale == 1 ? "real time"
                                           : "time scale " + ScaleText(o_.timeScale);
    fprintf(out_, "\n%zu targets, %d not as expected; %zu checks, %d failed; %.1f s board time in %.1f s wall (%s)\n",
            verdicts_.size(), bad, checks_.size(), failed, board, sec, pace.c_str());
    if (getenv("FWAGENT_CLOCK_STATS") != nullptr && Virtual() != nullptr)
        fprintf(out_, "virtual clock: %llu turns, %llu advances\n", (unsigned long long)Virtual()->turns(),
                (unsigned long long)Virtual()->advances());
    return bad == 0 && failed == 0 ? 0 : 1;
}

int Scenario::run() {
    BoardProfile p;
    p.strRoot = root_.path();
    p.strSerialDev = line_.slavePath();
    p.u16OrderPort = o_.orderPort ? o_.orderPort : FreeUdpPort();
    p.u16ReportPort = vela_.reportPort();
    p.strRebootCmd = reboot_.command();
    SetBoardLine(&line_);
    std::string err;
    if (BoardProfile_Set(p, &err) != 0) {
        fprintf(out_, "board profile refused: %s\n", err.c_str());
        return 1;
    }
    if (!prepare()) return summary();
    vela_.setOrderPort(p.u16OrderPort);
    board_.start();
    profile_ = p;
    bool started = o_.boots ? bootUp(1) : o_.startAgent ? o_.startAgent(p) : MgTask_StartService() == 0;
    if (!started) {
        if (o_.boots) fprintf(out_, "%s\n", checks_.back().detail.c_str());
        fprintf(out_, "the agent did not start\n");
        return 1;
    }
    if (o_.beforeOrders) o_.beforeOrders(p.u16OrderPort);
    event("orders");
    view_.draw(true);
    if (runValens_) valensPhase();
    if (o_.boots)
        drivenPhase();
    else if (runPackage_)
        packagePhase();
    boardEnd_ = BoardClock::now();
    board_.stop();
    saveTrace();
    if (o_.afterOrders)
        for (const Check& c : o_.afterOrders()) checks_.push_back(c);
    if (o_.faults.lineFaults())
        check("the noisy line flipped bits", board_.flipped() > 0, std::to_string(board_.flipped()) + " bytes");
    judgeTargets();
    if (o_.boots) {
        drivenExpectations();
        drivenChecks();
    }
    // The report sequence follows from the outcomes each target should have.
    if (runPackage_ || o_.boots) reportChecks();
    if (runValens_) recordChecks("valens", valensRecord_, true);
    if (o_.boots ? packageRecord_.get("order") == "package" : runPackage_)
        recordChecks("package", packageRecord_, false);
    copyRecord();
    return summary();
}

}  // namespace

int RunUpgradeScenario(const TempRoot& root, const RebootStub& reboot, const ScenarioOptions& options, FILE* out) {
    // The clock first: every thread of the board and of the agent runs on it.
    // (A scaled wall clock keeps the ISP answer windows above 2 ms, longer
    // than a device's answer over the pty.)
    UseTimeScale(options.timeScale);
    Scenario s(root, reboot, options, out);
    int rc = s.run();
    SetBoardLine(nullptr);
    return rc;
}

}  // namespace sim
