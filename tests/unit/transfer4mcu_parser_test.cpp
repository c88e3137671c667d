// The MCU's text commands and the channel's record parser, byte for byte.
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

struct Words {
    std::vector<std::vector<char>> store;
    std::vector<char*> ptrs;
    Words(int n, int size) : store(n, std::vector<char>(size, 0)) {
        for (auto& w : store) ptrs.push_back(w.data());
    }
    std::vector<std::string> first(int n) const {
        std::vector<std::string> out;
        for (int i = 0; i < n; i++) out.push_back(store[i].data());
        return out;
    }
};
}  // namespace

TEST(McuTextCommands, BufferProcessTakesOneLineAtATime) {
    char text[] = "\r\nSET DEV REBOOT\r\nGET DEV CH\r\n";
    char line[512] = {0};
    EXPECT_EQ(CTransfer4mcu::BufferProcess(3, 2, text, (int32_t)strlen(text), line, sizeof(line)), 14);
    EXPECT_STREQ(line, "SET DEV REBOOT");
    EXPECT_STREQ(text, "\nGET DEV CH\r\n");
    EXPECT_EQ(CTransfer4mcu::BufferProcess(3, 2, text, 64, line, sizeof(line)), 10);
    EXPECT_STREQ(line, "GET DEV CH");
    EXPECT_EQ(CTransfer4mcu::BufferProcess(3, 2, text, 64, line, sizeof(line)), -5);

    std::string longLine = std::string(600, 'x') + "\r\n";
    std::vector<char> big(longLine.begin(), longLine.end());
    big.push_back('\0');
    EXPECT_EQ(CTransfer4mcu::BufferProcess(3, 2, big.data(), (int32_t)longLine.size(), line, sizeof(line)), -7);

    char shortText[] = "ABC\r\n";
    EXPECT_EQ(CTransfer4mcu::BufferProcess(3, 2, shortText, 2, line, sizeof(line)), -4);  // longer than told
    EXPECT_EQ(CTransfer4mcu::BufferProcess(3, 2, shortText, 8, nullptr, 8), -2);
    EXPECT_EQ(CTransfer4mcu::BufferProcess(3, 2, nullptr, 8, line, 8), -3);
    char exact[] = "ABCDEFGH\r\n";  // a line as long as the line buffer does not fit
    EXPECT_EQ(CTransfer4mcu::BufferProcess(3, 2, exact, 10, line, 8), -7);
    char fits[] = "ABCDEFG\r\n";
    EXPECT_EQ(CTransfer4mcu::BufferProcess(3, 2, fits, 10, line, 8), 7);
    EXPECT_STREQ(line, "ABCDEFG");
    EXPECT_EQ(CTransfer4mcu::MsgProcess(3, 2, fits, 0), -1);
    EXPECT_EQ(CTransfer4mcu::MsgProcess(3, 2, nullptr, 5), -1);
}

TEST(McuTextCommands, SeparateMsgSplitsOnSpaces) {
    struct Case {
        const char* legend;
        std::string line;
        int maxWords;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"single spaces", "SET DEV REBOOT", 70, {"SET", "DEV", "REBOOT"}},
        {"runs of spaces, leading and trailing", "  SET   DEV  ", 70, {"SET", "DEV"}},
        {"a long word is cut to the word size", std::string(40, 'W') + " X", 70, {std::string(31, 'W'), "X"}},
        {"stops at the word limit", "A B C D", 2, {"A", "B"}},
        {"empty", "", 70, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.legend);
        Words w(70, 32);
        int n = CTransfer4mcu::SeparateMsg(c.line.c_str(), c.maxWords, w.ptrs.data(), 32);
        ASSERT_EQ(n, (int)c.words.size());
        EXPECT_EQ(w.first(n), c.words);
    }
    Words w(1, 32);
    EXPECT_EQ(CTransfer4mcu::SeparateMsg("A", 1, nullptr, 32), -1);
    EXPECT_EQ(CTransfer4mcu::SeparateMsg(nullptr, 1, w.ptrs.data(), 32), -2);
}

TEST(McuTextCommands, AnalyzeMsgJoinsEvenTheLongestLineSafely) {
    // 70 words of 31 characters: 2239 characters joined, more than the scratch text holds.
    Words w(70, 32);
    for (auto& word : w.store) memset(word.data(), 'Z', 31);
    EXPECT_EQ(CTransfer4mcu::AnalyzeMsg(3, w.ptrs.data(), 70), -1);
    EXPECT_EQ(CTransfer4mcu::AnalyzeMsg(3, nullptr, 3), -1);
}

TEST(McuTextCommands, TextHelpers) {
    char text[32] = "X:";
    const uint8_t bytes[] = {0x01, 0xAB, 0xFF};
    CTransfer4mcu::HexDataToStr(3, bytes, text, sizeof(text));
    EXPECT_STREQ(text, "X:01 AB FF");
    CTransfer4mcu::RespondOneFrameEnd(text, sizeof(text));
    EXPECT_STREQ(text, "X:01 AB FF\r\n");
    char small[6] = "";
    CTransfer4mcu::HexDataToStr(3, bytes, small, sizeof(small));
    EXPECT_STREQ(small, "01 AB");
    char one[8] = "";
    CTransfer4mcu::HexDataToStr(0, bytes, one, sizeof(one));  // at least the first byte
    EXPECT_STREQ(one, "01");
    char cr[8] = "ABCDEF";
    CTransfer4mcu::RespondOneFrameEnd(cr, sizeof(cr));
    EXPECT_STREQ(cr, "ABCDEF\r");
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
