#include "SimScenario.h"

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

namespace {

using Check = ScenarioCheck;

// One target's verdict in the summary.
struct Verdict {
    std::string target;
    Outcome expected, got;
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

Outcome Clean(const LoadedImage& img) {
    return !img.present ? Outcome::Skipped : img.refused.empty() ? Outcome::Flashed : Outcome::Refused;
}

DeviceFaults FaultsOf(const ScenarioOptions& o) {
    DeviceFaults d;
    o.faults.apply(&d);
    return d;
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
          master_("master", o.timeScale, faults_.master),
          ioMcu_("iomcu", o.timeScale, faults_.ioMcu),
          valens_("valens", o.timeScale, faults_.valens),
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
            trace_.reset(new Trace(o.timeScale));
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
    // Polls pred while the progress view follows the reports.
    bool waitFor(const std::function<bool()>& pred) {
        auto end = std::chrono::steady_clock::now() + o_.timeout;
        while (std::chrono::steady_clock::now() < end) {
            pump();
            if (pred()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return pred();
    }
    void pump() {
        auto d = vela_.datagrams();
        for (; seen_ < d.size(); seen_++) {
            Report r;
            if (d[seen_].type() == 252 && ParseReport(d[seen_].payload(), &r)) {
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
    std::chrono::steady_clock::time_point t0_ = std::chrono::steady_clock::now();
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

// The order of the targets in the reports, as vela follows them.
void Scenario::reportChecks() {
    const size_t first = packageFirst_;
    std::vector<std::string> want, closing;
    const auto& rows = view_.rows();
    // Only a target that holds its image and confirmed it is reported at
    // 100 %. The IO MCU's report, whatever its percent, ends the upgrade.
    const bool ioMcuEnds = pkg_.ioMcu.present;
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
    Verdict v{name, clean, seen.outcome(), board_.heldSeconds(device), 0, detail, clean != Outcome::Skipped, ""};
    const bool valens = name == "Valens";
    if (valens ? runValens_ : runPackage_) {
        const LastRun& r = valens ? valensRecord_ : packageRecord_;
        v.recorded = !r.present ? "none" : r.target(name).empty() ? "-" : r.target(name);
    }
    if (clean == Outcome::Flashed) {
        if (o_.faults.expected(name, &v.expected) || o_.faults.lineFaults())
            v.bound = o_.faults.boundSec(name) * o_.timeScale / 0.02;
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
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
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
        if (flashed != (v.recorded == "flashed")) differ += " " + v.target + "=" + v.recorded;
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

std::string Fixed(double v) {
    char s[32];
    snprintf(s, sizeof(s), "%.1f s", v);
    return s;
}

int Scenario::summary() {
    int bad = 0;
    std::vector<std::vector<std::string>> t = {
        {"target", "expected", "outcome", "result", "record", "time", "bound", "detail"}};
    std::string skipped;
    for (const Verdict& v : verdicts_) {
        // Targets without an image, left alone as they should be, share one line.
        if (v.expected == Outcome::Skipped && v.got == Outcome::Skipped) {
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
    if (runPackage_ && !verdicts_.empty()) recordLine("package", packageRecord_);
    int failed = 0;
    std::vector<std::vector<std::string>> c = {{"check", "result", "detail"}};
    for (const Check& k : checks_) {
        c.push_back({k.what, k.ok ? "ok" : "FAIL", k.detail});
        if (!k.ok) failed++;
    }
    fputc('\n', out_);
    PrintTable(out_, c);
    double sec = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
    fprintf(out_, "\n%zu targets, %d not as expected; %zu checks, %d failed; %.1f s at time scale %g\n",
            verdicts_.size(), bad, checks_.size(), failed, sec, o_.timeScale);
    return bad == 0 && failed == 0 ? 0 : 1;
}

int Scenario::run() {
    BoardProfile p;
    p.strRoot = root_.path();
    p.strSerialDev = line_.slavePath();
    p.u16OrderPort = o_.orderPort ? o_.orderPort : FreeUdpPort();
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
    if (!prepare()) return summary();
    vela_.setOrderPort(p.u16OrderPort);
    board_.start();
    if (o_.startAgent ? !o_.startAgent(p) : MgTask_StartService() != 0) {
        fprintf(out_, "the agent did not start\n");
        return 1;
    }
    if (o_.beforeOrders) o_.beforeOrders(p.u16OrderPort);
    event("orders");
    view_.draw(true);
    if (runValens_) valensPhase();
    if (runPackage_) packagePhase();
    board_.stop();
    saveTrace();
    if (o_.afterOrders)
        for (const Check& c : o_.afterOrders()) checks_.push_back(c);
    if (o_.faults.lineFaults())
        check("the noisy line flipped bits", board_.flipped() > 0, std::to_string(board_.flipped()) + " bytes");
    judgeTargets();
    // The report sequence follows from the outcomes each target should have.
    if (runPackage_) reportChecks();
    if (runValens_) recordChecks("valens", valensRecord_, true);
    if (runPackage_) recordChecks("package", packageRecord_, false);
    copyRecord();
    return summary();
}

}  // namespace

int RunUpgradeScenario(const TempRoot& root, const RebootStub& reboot, const ScenarioOptions& options, FILE* out) {
    Scenario s(root, reboot, options, out);
    return s.run();
}

}  // namespace sim
