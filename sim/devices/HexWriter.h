// A small Intel HEX writer for sample images and loader tests.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

namespace sim {

struct HexStyle {
    bool lower = false;       // lower-case digits
    bool crlf = true;         // "\r\n" line ends, else "\n"
    unsigned recordLen = 16;  // data bytes per record, 1 to 255
    bool skipBlank = true;    // leave out records whose bytes are all 0xFF
};

// One record with its checksum, without a line end.
std::string HexRecord(uint8_t type, uint16_t addr, const uint8_t* data, size_t len, bool lower = false);
std::string HexEndRecord(bool lower = false);

// The text of a 64 KiB image (any shorter vector is taken as padded with 0xFF),
// in address order, closed by the end record.
std::string ImageToHex(const std::vector<uint8_t>& image, const HexStyle& style = HexStyle());

// A 64 KiB image, 0xFF except the given row ranges [first, last], which hold
// pseudo-random bytes from seed (never a whole blank block).
std::vector<uint8_t> SampleImage(uint32_t seed, const std::vector<std::pair<unsigned, unsigned>>& rows);

// Pads a HEX text to exactly size bytes with empty lines in front (the loader
// takes nothing but records and line ends); false when it is longer.
bool PadHexText(std::string* text, size_t size);

}  // namespace sim

namespace sim {

// Reads an Intel HEX text the way the emulated devices do, apart from the
// agent's loader so each checks the other: one record a line (other lines are
// skipped), every record checked, data records placed in a 64 KiB image of
// 0xFF, up to the end record. "" when good, else what is wrong.
std::string HexToImage(const std::string& text, std::vector<uint8_t>* image);

}  // namespace sim
