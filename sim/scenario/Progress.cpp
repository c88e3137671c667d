#include "Progress.h"

#include <algorithm>

namespace sim {

namespace {
const char* const kStates[] = {"waiting", "flashing", "done", "skipped", "failed"};
const int kBar = 20;
}  // namespace

const char* StateName(TargetState s) { return kStates[(int)s]; }

ProgressView::ProgressView(Mode mode, FILE* out) : mode_(mode), out_(out) {
    auto add = [&](const std::string& name, const std::string& report) {
        TargetRow r;
        r.name = name;
        r.report = report;
        rows_.push_back(r);
    };
    add("Valens", "VALENS");
    for (int p = 1; p <= 16; p++) add("EP" + std::to_string(p), "EpFile(" + std::to_string(p) + ")");
    add("master", "ST");
    for (int p = 1; p <= 8; p++) add("BV" + std::to_string(p), "BV(" + std::to_string(p) + ")");
    add("IOMCU", "IoMcu");
}

int ProgressView::find(const std::string& name) const {
    for (size_t i = 0; i < rows_.size(); i++)
        if (rows_[i].name == name || rows_[i].report == name) return (int)i;
    return -1;
}

double ProgressView::Seconds(const TargetRow& r) {
    if (!r.started) return 0;
    return std::chrono::duration<double>((r.ended ? r.end : Clock::now()) - r.start).count();
}

void ProgressView::begin(size_t first, size_t last) {
    first_ = first;
    last_ = last;
    inPhase_ = true;
    cursor_ = Clock::now();
}

void ProgressView::restart() {
    for (size_t i = first_; i <= last_ && i < rows_.size(); i++) {
        TargetRow fresh;
        fresh.name = rows_[i].name;
        fresh.report = rows_[i].report;
        rows_[i] = fresh;
    }
    inPhase_ = true;
    cursor_ = Clock::now();
}

void ProgressView::finish(TargetRow& r, TargetState s) {
    if (!r.started) {
        r.started = true;
        r.start = cursor_;
    }
    r.state = s;
    r.ended = true;
    // A row never reported on took no time that vela could see.
    r.end = s == TargetState::Skipped ? r.start : Clock::now();
    cursor_ = r.end;
    line(r);
}

void ProgressView::report(const Report& rep) {
    int k = find(rep.name);
    if (k < 0 || !inPhase_ || (size_t)k < first_ || (size_t)k > last_) return;
    // The agent moved on: whatever came before and did not close never will.
    for (size_t i = first_; i < (size_t)k; i++)
        if (!rows_[i].ended) finish(rows_[i], rows_[i].started ? TargetState::Failed : TargetState::Skipped);
    TargetRow& r = rows_[k];
    r.reported = true;
    if (r.ended) return;
    if (!r.started) {
        r.started = true;
        r.start = cursor_;
    }
    r.isEnd = rep.isEnd;
    r.percent = std::max(0, std::min(100, rep.percentValue()));
    if (rep.isEnd == "-1") return finish(r, TargetState::Failed);
    if (r.percent >= 100) {
        r.closing = true;
        return finish(r, TargetState::Done);
    }
    bool changed = r.state != TargetState::Flashing;
    r.state = TargetState::Flashing;
    if (changed || r.percent / 10 > r.step) line(r);
}

void ProgressView::end() {
    for (size_t i = first_; inPhase_ && i <= last_; i++)
        if (!rows_[i].ended) finish(rows_[i], rows_[i].started ? TargetState::Failed : TargetState::Skipped);
    inPhase_ = false;
    draw(true);
}

void ProgressView::line(TargetRow& r) {
    r.step = r.percent / 10;
    if (mode_ != Lines) return;
    double at = std::chrono::duration<double>(Clock::now() - t0_).count();
    fprintf(out_, "[%7.1fs] %-7s %-9s %3d%%", at, r.name.c_str(), StateName(r.state), r.percent);
    if (r.ended && r.state != TargetState::Skipped) fprintf(out_, "  in %.1f s", Seconds(r));
    fputc('\n', out_);
    fflush(out_);
}

std::string ProgressView::rowText(const TargetRow& r) const {
    int fill = r.percent * kBar / 100;
    std::string bar = "[" + std::string((size_t)fill, '#') + std::string((size_t)(kBar - fill), ' ') + "]";
    char text[160];
    if (r.started && r.state != TargetState::Skipped)
        snprintf(text, sizeof(text), "%-7s %s %3d%%  %-9s %7.1f s", r.name.c_str(), bar.c_str(), r.percent,
                 StateName(r.state), Seconds(r));
    else
        snprintf(text, sizeof(text), "%-7s %s %3d%%  %-9s", r.name.c_str(), bar.c_str(), r.percent, StateName(r.state));
    return text;
}

void ProgressView::draw(bool force) {
    if (mode_ != Live) return;
    auto now = std::chrono::steady_clock::now();
    if (!force && now - drawn_ < std::chrono::milliseconds(100)) return;
    drawn_ = now;
    // Back to the first row, then every row over what was there.
    if (drawnRows_ > 0) fprintf(out_, "\x1b[%zuA", drawnRows_);
    for (const TargetRow& r : rows_) fprintf(out_, "\r%s\x1b[K\n", rowText(r).c_str());
    drawnRows_ = rows_.size();
    fflush(out_);
}

}  // namespace sim

namespace sim {

void PrintTable(FILE* out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> w;
    for (const auto& r : rows) {
        w.resize(std::max(w.size(), r.size()));
        for (size_t i = 0; i < r.size(); i++) w[i] = std::max(w[i], r[i].size());
    }
    size_t total = 0;
    for (size_t x : w) total += x + 2;
    for (size_t n = 0; n < rows.size(); n++) {
        std::string line;
        for (size_t i = 0; i < rows[n].size(); i++)
            line += i + 1 < rows[n].size() ? rows[n][i] + std::string(w[i] - rows[n][i].size() + 2, ' ') : rows[n][i];
        fprintf(out, "%s\n", line.substr(0, line.find_last_not_of(' ') + 1).c_str());
        if (n == 0) fprintf(out, "%s\n", std::string(total > 2 ? total - 2 : 0, '-').c_str());
    }
}

}  // namespace sim
