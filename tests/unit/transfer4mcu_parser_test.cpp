// Text commands joined, the record parser, and the check of a data packet.
#include <gtest/gtest.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "APP_TinyTFTP.h"
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

TEST(BlockPacketCheck, OnlyTheNextBlockWithAllItsBytesIsStored) {
    // A data packet stating `stated` data bytes for block `block`, in a frame of `framed` bytes.
    auto packet = [](uint16_t block, int stated, size_t framed) {
        Bytes b(std::max<size_t>(framed, TFTP_DATA_HDR + TFTP_BLOCK_SIZE + 8), 0x5A);
        TinyTFTP_PutData(b.data(), block, b.data() + TFTP_DATA_HDR, 0);
        b[0] = (uint8_t)((stated + 4) & 0xFF);
        b[1] = (uint8_t)((stated + 4) >> 8);
        b.resize(framed);
        return b;
    };
    struct Case {
        const char* legend;
        Bytes bytes;
        uint16_t last;
        bool stored;
        int expected;
    };
    const Case cases[] = {
        {"the first block, whole", packet(1, 1024, 1030), 0, false, 1024},
        {"the next block, empty", packet(8, 0, 6), 7, true, 0},
        {"the frame longer than the packet: only the stated bytes", packet(2, 10, 40), 1, true, 10},
        {"stating one byte more than the frame carries", packet(2, 11, 16), 1, true, TFTP_BLOCK_REFUSED},
        {"stating more than a block", packet(2, 1025, 1031), 1, true, TFTP_BLOCK_REFUSED},
        {"a frame shorter than the header", packet(2, 0, 5), 1, true, TFTP_BLOCK_REFUSED},
        {"the block stored last", packet(7, 100, 106), 7, true, TFTP_BLOCK_AGAIN},
        {"the block stored last, cut short", packet(7, 100, 50), 7, true, TFTP_BLOCK_REFUSED},
        {"block 0 before any was stored", packet(0, 5, 11), 0, false, TFTP_BLOCK_REFUSED},
        {"a block skipped", packet(3, 5, 11), 1, true, TFTP_BLOCK_REFUSED},
        {"a block from before the last", packet(1, 5, 11), 2, true, TFTP_BLOCK_REFUSED},
        {"past block 65535 the count wraps to 0", packet(0, 5, 11), 65535, true, 5},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TinyTFTP_DataCheck(c.bytes.data(), (int32_t)c.bytes.size(), c.last, c.stored), c.expected)
            << c.legend;
    }
    EXPECT_EQ(TinyTFTP_DataCheck(nullptr, 6, 0, false), TFTP_BLOCK_REFUSED);
}
