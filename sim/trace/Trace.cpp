#include "Trace.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include "ValensChip.h"

namespace sim {

namespace {

// Chunks closer than this are one burst in the file (WireOnly joins the rest).
const auto kBurstGap = std::chrono::milliseconds(2);
const size_t kQuotedRun = 4;
const size_t kRepeatRun = 8;  // a byte repeated this often prints as "ff*512"

bool Printable(uint8_t c) { return (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n' || c == '\t'; }

void Quote(std::string& out, const std::string& s) {
    out += '"';
    for (char ch : s) {
        switch (ch) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += ch;
        }
    }
    out += '"';
}

std::string Hex(uint8_t c) {
    char sz[4];
    snprintf(sz, sizeof(sz), "%02x", c);
    return sz;
}

std::string Render(const std::string& bytes) {
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return Printable((uint8_t)c); })) {
        std::string out;
        Quote(out, bytes);
        return out;
    }
    std::string out;
    size_t i = 0;
    while (i < bytes.size()) {
        size_t j = i;
        while (j < bytes.size() && Printable((uint8_t)bytes[j])) j++;
        size_t same = i;
        while (same < bytes.size() && bytes[same] == bytes[i]) same++;
        if (!out.empty()) out += ' ';
        if (same - i >= kRepeatRun) {
            out += Hex((uint8_t)bytes[i]) + "*" + std::to_string(same - i);
            i = same;
        } else if (j - i >= kQuotedRun) {
            Quote(out, bytes.substr(i, j - i));
            i = j;
        } else {
            out += Hex((uint8_t)bytes[i++]);
        }
    }
    return out;
}

// Reads the payload tokens of a trace line back into bytes.
bool Unrender(const std::string& s, std::string* out) {
    size_t i = 0;
    while (i < s.size()) {
        if (s[i] == ' ') {
            i++;
        } else if (s[i] == '"') {
            for (i++; i < s.size() && s[i] != '"'; i++) {
                if (s[i] != '\\') {
                    out->push_back(s[i]);
                    continue;
                }
                if (++i >= s.size()) return false;
                switch (s[i]) {
                    case 'r':
                        out->push_back('\r');
                        break;
                    case 'n':
                        out->push_back('\n');
                        break;
                    case 't':
                        out->push_back('\t');
                        break;
                    case '"':
                    case '\\':
                        out->push_back(s[i]);
                        break;
                    default:
                        return false;
                }
            }
            if (i++ >= s.size()) return false;
        } else if (i + 1 < s.size() && isxdigit((uint8_t)s[i]) && isxdigit((uint8_t)s[i + 1])) {
            char c = (char)std::stoi(s.substr(i, 2), nullptr, 16);
            i += 2;
            size_t n = 1;
            if (i < s.size() && s[i] == '*') {
                size_t end = s.find(' ', i);
                n = strtoul(s.substr(i + 1, end - i - 1).c_str(), nullptr, 10);
                if (n == 0 || n > (1u << 24)) return false;
                i = end == std::string::npos ? s.size() : end;
            }
            out->append(n, c);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string TraceHolderName(const std::string& boardName) {
    if (boardName.empty()) return "router";
    if (boardName == "iomcu") return "io";
    std::string s = boardName;
    for (auto& c : s) c = (char)tolower((uint8_t)c);
    return s;
}

void Trace::onLine(bool fromAgent, const uint8_t* data, size_t len, unsigned baud, BoardClock::time_point start,
                   BoardClock::time_point end) {
    std::string holder = TraceHolderName(holder_ ? holder_() : "");
    std::lock_guard<std::mutex> lock(mutex_);
    if (fromAgent) {
        auto each = len > 0 ? (end - start) / (long)len : end - start;
        for (size_t i = 0; i < len; i++)
            agent_.push_back({data[i], baud, holder, start + each * (long)i, start + each * (long)(i + 1)});
        return;
    }
    if (!records_.empty()) {
        TraceRecord& last = records_.back();
        if (last.fromAgent == fromAgent && last.baud == baud && last.holder == holder && start - last_ < kBurstGap) {
            last.bytes.append((const char*)data, len);
            last_ = end;
            return;
        }
    }
    TraceRecord r;
    r.t = std::chrono::duration<double>(start - t0_).count();
    r.baud = baud;
    r.holder = holder;
    r.fromAgent = fromAgent;
    r.bytes.assign((const char*)data, len);
    records_.push_back(std::move(r));
    last_ = end;
}

std::vector<TraceRecord> Trace::records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    // The agent's bytes in bursts, cut at gaps, at changes of speed or
    // holder, and where an answer starts; then all in time order (the
    // agent's first at one instant).
    std::vector<std::pair<BoardClock::time_point, TraceRecord>> all;
    for (const TraceRecord& r : records_)
        all.push_back({t0_ + std::chrono::duration_cast<BoardClock::duration>(std::chrono::duration<double>(r.t)), r});
    std::vector<BoardClock::time_point> answers;
    for (const auto& a : all) answers.push_back(a.first);
    std::sort(answers.begin(), answers.end());
    size_t first = 0;
    for (size_t i = 0; i < agent_.size(); i++) {
        const AgentByte& b = agent_[i];
        bool join = i > first;
        if (join) {
            const AgentByte& prev = agent_[i - 1];
            auto answer = std::upper_bound(answers.begin(), answers.end(), agent_[first].start);
            join = prev.baud == b.baud && prev.holder == b.holder && b.start - prev.end < kBurstGap &&
                   (answer == answers.end() || *answer > b.start);
        }
        if (!join) {
            first = i;
            TraceRecord r;
            r.t = std::chrono::duration<double>(b.start - t0_).count();
            r.baud = b.baud;
            r.holder = b.holder;
            r.fromAgent = true;
            all.push_back({b.start, r});
        }
        all.back().second.bytes.push_back((char)b.byte);
    }
    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) {
        return a.first != b.first ? a.first < b.first : a.second.fromAgent && !b.second.fromAgent;
    });
    std::vector<TraceRecord> out;
    for (auto& a : all) out.push_back(std::move(a.second));
    return out;
}

bool Trace::save(const std::string& path, std::string* err) const {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << FormatTrace(records());
    if (out.flush()) return true;
    if (err) *err = "cannot write " + path;
    return false;
}

std::string FormatTrace(const std::vector<TraceRecord>& records) {
    std::string out = "# serial line: board seconds, bit/s, line holder, > agent writes / < board answers, bytes\n";
    char head[64];
    for (const auto& r : records) {
        snprintf(head, sizeof(head), "%10.4f %6u %-7s %c  ", r.t, r.baud, r.holder.c_str(), r.fromAgent ? '>' : '<');
        out += head + Render(r.bytes) + "\n";
    }
    return out;
}

bool ParseTrace(const std::string& text, std::vector<TraceRecord>* out, std::string* err) {
    std::istringstream in(text);
    std::string line;
    for (int n = 1; std::getline(in, line); n++) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        TraceRecord r;
        std::string dir;
        fields >> r.t >> r.baud >> r.holder >> dir;
        std::string rest;
        std::getline(fields, rest);
        if (!fields.eof() || (dir != ">" && dir != "<") || !Unrender(rest, &r.bytes)) {
            if (err) *err = "line " + std::to_string(n) + ": not a trace record: " + line.substr(0, 60);
            return false;
        }
        r.fromAgent = dir == ">";
        out->push_back(std::move(r));
    }
    return true;
}

std::vector<TraceRecord> WireOnly(const std::vector<TraceRecord>& records, bool keepTimes) {
    std::vector<TraceRecord> out;
    for (const auto& r : records) {
        if (!out.empty() && out.back().fromAgent == r.fromAgent && out.back().baud == r.baud &&
            out.back().holder == r.holder) {
            out.back().bytes += r.bytes;
            continue;
        }
        out.push_back(r);
        if (!keepTimes) out.back().t = 0;
    }
    return out;
}

}  // namespace sim
