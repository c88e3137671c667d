// fwtool trace show: a trace read as the dialogue it carries.
#include <stdio.h>

#include <string>
#include <vector>

#include "Trace.h"
#include "ValensChip.h"

namespace sim {

namespace {

bool IsText(uint8_t c) { return (c >= 0x20 && c < 0x7F) || c == '\r' || c == '\n' || c == '\t'; }

std::string HexByte(uint8_t c) {
    char sz[4];
    snprintf(sz, sizeof(sz), "%02X", c);
    return sz;
}

// Takes text up to and including its line end (or the last text byte) from b at i.
std::string TakeText(const std::string& b, size_t& i) {
    size_t start = i;
    while (i < b.size() && IsText((uint8_t)b[i])) {
        if (b[i++] == '\n') break;
    }
    std::string s = b.substr(start, i - start);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
    return "\"" + s + "\"";
}

// Non-text bytes, printed as hex until the next text byte.
std::string TakeHex(const std::string& b, size_t& i) {
    std::string s;
    while (i < b.size() && !IsText((uint8_t)b[i])) s += (s.empty() ? "" : " ") + HexByte((uint8_t)b[i++]);
    return s;
}

std::vector<std::string> Plain(const std::string& b) {
    std::vector<std::string> out;
    for (size_t i = 0; i < b.size();) out.push_back(IsText((uint8_t)b[i]) ? TakeText(b, i) : TakeHex(b, i));
    return out;
}

// The agent's ISP requests: codes, their arguments, and the 512-byte block
// that follows an 86 (an 86 asked again comes before it).
std::vector<std::string> IspRequests(const std::string& b) {
    std::vector<std::string> out;
    bool after86 = false;
    for (size_t i = 0; i < b.size();) {
        uint8_t c = (uint8_t)b[i];
        if ((after86 || i == 0) && c != 0x86 && b.size() - i >= 512) {
            out.push_back("block of 512 bytes");
            i += 512;
        } else if (c == 0x83 && i + 1 < b.size()) {
            out.push_back("83 bank " + std::to_string((uint8_t)b[i + 1]));
            i += 2;
        } else if (c == 0x84 && i + 2 < b.size()) {
            uint8_t rest = (uint8_t)b[i + 2];
            out.push_back("84 row 0x" + HexByte((uint8_t)b[i + 1]) + (rest ? ", then " + HexByte(rest) : ""));
            i += 3;
        } else if (c == 0x81 || c == 0x85 || c == 0x86) {
            out.push_back(HexByte(c));
            i++;
        } else {
            out.push_back(IsText(c) ? TakeText(b, i) : TakeHex(b, i));
        }
        after86 = c == 0x86;
    }
    return out;
}

std::vector<std::string> IspAnswers(const std::string& b) {
    std::vector<std::string> out;
    for (size_t i = 0; i < b.size(); i++) {
        uint8_t c = (uint8_t)b[i];
        if (c == '>' || c == '<') {
            out.push_back(std::string("prompt ") + (char)c);
        } else if (c == 'Z') {
            out.push_back("Z (block written)");
        } else if (c == 0x83 && i + 1 < b.size()) {
            out.push_back("83 bank " + std::string(1, b[++i]));
        } else {
            out.push_back(HexByte(c));
        }
    }
    return out;
}

// One YMODEM packet at b[i] (SOH or STX); advances i past it.
std::string YmodemPacket(const std::string& b, size_t& i) {
    const uint8_t* p = (const uint8_t*)b.data() + i;
    size_t size = p[0] == 0x02 ? 1024 : 128;
    if (b.size() - i < size + 5) {
        std::string s =
            std::string(p[0] == 0x02 ? "STX" : "SOH") + " cut short, " + std::to_string(b.size() - i) + " bytes";
        i = b.size();
        return s;
    }
    unsigned crc = (unsigned)(p[3 + size] << 8 | p[4 + size]);
    bool ok = crc == Crc16Xmodem(p + 3, size) && (uint8_t)(p[1] + p[2]) == 0xFF;
    std::string s = std::string(p[0] == 0x02 ? "STX " : "SOH ") + std::to_string(p[1]) + ", " + std::to_string(size) +
                    " bytes, CRC " + (ok ? "ok" : "BAD");
    if (p[1] == 0) {
        std::string name((const char*)p + 3);
        std::string len = name.size() + 1 < size ? std::string((const char*)p + 4 + name.size()) : "";
        s += name.empty() ? ", end of batch" : ", file \"" + name + "\" size " + len.substr(0, len.find(' '));
    }
    i += size + 5;
    return s;
}

std::vector<std::string> YmodemSent(const std::string& b) {
    std::vector<std::string> out;
    for (size_t i = 0; i < b.size();) {
        uint8_t c = (uint8_t)b[i];
        if (c == 0x01 || c == 0x02) {
            out.push_back(YmodemPacket(b, i));
        } else if (c == 0x04 || c == 0x18) {
            out.push_back(c == 0x04 ? "EOT" : "CAN");
            i++;
        } else {
            out.push_back(IsText(c) ? TakeText(b, i) : TakeHex(b, i));
        }
    }
    return out;
}

std::vector<std::string> YmodemAnswers(const std::string& b) {
    std::vector<std::string> out;
    for (size_t i = 0; i < b.size();) {
        uint8_t c = (uint8_t)b[i];
        const char* name = c == 0x06 ? "ACK" : c == 0x15 ? "NAK" : c == 0x18 ? "CAN" : c == 'C' ? "C" : nullptr;
        if (name) {
            out.push_back(name);
            i++;
        } else {
            out.push_back(IsText(c) ? TakeText(b, i) : TakeHex(b, i));
        }
    }
    return out;
}

// A raw Intel HEX push: its text around the records, the records counted.
std::vector<std::string> ImagePush(const std::string& b) {
    size_t first = b.find(':');
    if (first == std::string::npos) return Plain(b);
    size_t records = 0;
    for (char c : b) records += c == ':' ? 1 : 0;
    std::vector<std::string> out = Plain(b.substr(0, first));
    bool end = b.find(":00000001FF") != std::string::npos;
    out.push_back("image push: " + std::to_string(b.size() - first) + " bytes, " + std::to_string(records) +
                  " records" + (end ? ", end record" : ", no end record"));
    return out;
}

std::vector<std::string> Decode(const TraceRecord& r) {
    const std::string& h = r.holder;
    bool isp = (h.size() > 2 && (h.compare(0, 2, "ep") == 0 || h.compare(0, 2, "bv") == 0));
    if (isp) return r.fromAgent ? IspRequests(r.bytes) : IspAnswers(r.bytes);
    if (h == "valens") return r.fromAgent ? YmodemSent(r.bytes) : YmodemAnswers(r.bytes);
    if ((h == "master" || h == "io") && r.fromAgent) return ImagePush(r.bytes);
    return Plain(r.bytes);
}

}  // namespace

std::string TraceCanonical(const std::vector<TraceRecord>& records) {
    std::string out, agent, board;
    auto flush = [&] {
        out += agent + board;
        agent.clear();
        board.clear();
    };
    std::string segment;
    for (const auto& r : WireOnly(records)) {
        std::string seg = r.holder + " " + std::to_string(r.baud);
        if (seg != segment) {
            flush();
            out += "-- " + seg + "\n";
            segment = seg;
        }
        for (const auto& what : Decode(r)) {
            std::string line = (r.fromAgent ? "> " : "< ") + what + "\n";
            std::string& side = r.fromAgent ? agent : board;
            if (side.size() < line.size() || side.compare(side.size() - line.size(), line.size(), line) != 0)
                side += line;
        }
    }
    flush();
    return out;
}

std::string TraceDialogue(const std::vector<TraceRecord>& records) {
    std::string out;
    char head[96];
    unsigned baud = 0;
    for (const auto& r : WireOnly(records, true)) {
        if (r.baud != baud) {
            snprintf(head, sizeof(head), "%12s-- line at %u bit/s\n", "", r.baud);
            out += head;
            baud = r.baud;
        }
        const std::string from = r.fromAgent ? "agent" : r.holder;
        const std::string to = r.fromAgent ? r.holder : "agent";
        // Units said again back to back (a receiver's periodic 'C') are counted.
        std::vector<std::string> units = Decode(r);
        for (size_t i = 0, n; i < units.size(); i += n) {
            for (n = 1; i + n < units.size() && units[i + n] == units[i];) n++;
            snprintf(head, sizeof(head), "%10.4f  %-7s -> %-7s ", r.t, from.c_str(), to.c_str());
            out += head + units[i] + (n > 1 ? " (x" + std::to_string(n) + ")" : "") + "\n";
        }
    }
    return out;
}

}  // namespace sim
