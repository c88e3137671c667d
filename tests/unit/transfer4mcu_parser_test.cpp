// The MCU's text commands joined whatever their length, and the channel's
// record parser, byte for byte. (Splitting text into lines and words is fuzzed.)
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "McuPeer.h"
#include "Transfer4mcu.h"
#include "testing.h"

namespace {
using Bytes = std::vector<uint8_t>;

// A header stating len, followed by payloadBytes bytes.
Bytes Record(uint32_t type, int32_t len, size_t payloadBytes) {
    Bytes b = sim::McuWords({type, (uint32_t)len});
    b.resize(8 + payloadBytes, 0xA5);
    return b;
}
}  // namespace

TEST(McuTextCommands, AnalyzeMsgJoinsEvenTheLongestLineSafely) {
    // 70 words of 31 characters: 2239 characters joined, more than the scratch text holds.
    std::vector<std::vector<char>> words(70, std::vector<char>(32, 'Z'));
    std::vector<char*> ptrs;
    for (auto& w : words) {
        w.back() = '\0';
        ptrs.push_back(w.data());
    }
    EXPECT_EQ(CTransfer4mcu::AnalyzeMsg(3, ptrs.data(), 70), -1);
    EXPECT_EQ(CTransfer4mcu::AnalyzeMsg(3, nullptr, 3), -1);
}

TEST(McuRecordParser, RefusesWhatDoesNotHold) {
    struct Case {
        const char* legend;
        Bytes bytes;
        int expected;
    };
    Bytes twoRecords = Record(11, 4, 4), second = Record(3, 8, 8);
    twoRecords.insert(twoRecords.end(), second.begin(), second.end());
    const Case cases[] = {
        {"len 1025 with all its bytes", Record(0, 1025, 1025), -4},
        {"len 1024 with all its bytes", Record(0, 1024, 1024), 1032},
        {"len above the bytes held", Record(5, 20, 12), -2},
        {"negative len", Record(5, -1, 0), -3},
        {"fewer than 8 bytes", Bytes{1, 0, 0, 0, 0, 0, 0}, -1},
        {"the first of two records", twoRecords, 12},
        {"header only", Record(2, 0, 0), 8},
    };
    fwtest::LogCapture quiet(true);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        comm_master_t out;
        EXPECT_EQ(CTransfer4mcu::QX_GetTLVFromData(c.bytes.data(), (int32_t)c.bytes.size(), &out), c.expected);
        if (c.expected > 0) {
            EXPECT_EQ(memcmp(&out, c.bytes.data(), c.expected), 0);
        }
    }
    comm_master_t out;
    EXPECT_EQ(CTransfer4mcu::QX_GetTLVFromData(nullptr, 8, &out), -1);
}
