#include "HexWriter.h"

#include <stdio.h>

#include "Bootloader.h"

namespace sim {

std::string HexRecord(uint8_t type, uint16_t addr, const uint8_t* data, size_t len, bool lower) {
    const char* fmt = lower ? "%02x" : "%02X";
    std::string out = ":";
    unsigned sum = 0;
    auto put = [&](unsigned b) {
        char sz[4];
        snprintf(sz, sizeof(sz), fmt, b & 0xFFu);
        out += sz;
        sum += b & 0xFFu;
    };
    put((unsigned)len);
    put(addr >> 8);
    put(addr & 0xFF);
    put(type);
    for (size_t i = 0; i < len; i++) put(data[i]);
    put((0x100 - (sum & 0xFF)) & 0xFF);
    return out;
}

std::string HexEndRecord(bool lower) { return HexRecord(1, 0, nullptr, 0, lower); }

std::string ImageToHex(const std::vector<uint8_t>& image, const HexStyle& style) {
    const char* eol = style.crlf ? "\r\n" : "\n";
    unsigned step = style.recordLen == 0 ? 16 : (style.recordLen > 255 ? 255 : style.recordLen);
    std::string out;
    size_t size = image.size() < 65536 ? image.size() : 65536;
    for (size_t addr = 0; addr < size; addr += step) {
        size_t n = size - addr < step ? size - addr : step;
        bool blank = true;
        for (size_t i = 0; i < n; i++) blank = blank && image[addr + i] == 0xFF;
        if (blank && style.skipBlank) continue;
        out += HexRecord(0, (uint16_t)addr, &image[addr], n, style.lower) + eol;
    }
    out += HexEndRecord(style.lower) + eol;
    return out;
}

std::vector<uint8_t> SampleImage(uint32_t seed, const std::vector<std::pair<unsigned, unsigned>>& rows) {
    std::vector<uint8_t> image(65536, 0xFF);
    uint32_t x = seed * 2654435761u + 1;
    for (const auto& range : rows) {
        for (unsigned row = range.first; row <= range.second && row < 256; row++) {
            for (unsigned col = 0; col < 256; col++) {
                x ^= x << 13;
                x ^= x >> 17;
                x ^= x << 5;
                image[row * 256 + col] = (uint8_t)(x >> 11);
            }
            // Each row starts with a byte that is not 0xFF: no data block reads as blank.
            if (image[row * 256] == 0xFF) image[row * 256] = 0x5A;
        }
    }
    return image;
}

bool PadHexText(std::string* text, size_t size) {
    if (text->size() > size) return false;
    *text = std::string(size - text->size(), '\n') + *text;
    return true;
}

}  // namespace sim

namespace sim {

std::string HexToImage(const std::string& text, std::vector<uint8_t>* image) {
    image->assign(0x10000, 0xFF);
    size_t pos = 0, records = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        std::string line = text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos);
        pos = eol == std::string::npos ? text.size() : eol + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] != ':') continue;
        bool isEnd = false;
        std::string why = CheckHexRecord(line, &isEnd);
        records++;
        if (!why.empty()) return "record " + std::to_string(records) + ": " + why;
        if (isEnd) return "";
        unsigned count = (unsigned)std::stoul(line.substr(1, 2), nullptr, 16);
        unsigned addr = (unsigned)std::stoul(line.substr(3, 4), nullptr, 16);
        if (line.substr(7, 2) != "00") continue;
        if (addr + count > image->size()) return "record " + std::to_string(records) + ": data past 0xFFFF";
        for (unsigned k = 0; k < count; k++)
            (*image)[addr + k] = (uint8_t)std::stoul(line.substr(9 + 2 * k, 2), nullptr, 16);
    }
    return "no end record";
}

}  // namespace sim
