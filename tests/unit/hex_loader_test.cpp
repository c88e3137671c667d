// The Intel HEX loader against hand-made edge cases and against two
// independent readers (srec_cat, python3-intelhex) on generated files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "HexWriter.h"
#include "Taskfile2mcu.h"
#include "testing.h"

namespace {

std::string Rec(uint8_t type, uint16_t addr, const std::vector<uint8_t>& data, bool lower = false) {
    return sim::HexRecord(type, addr, data.data(), data.size(), lower);
}
const std::string kEnd = ":00000001FF";

// Loads a text the way the ISP run does: into the zero-filled g_Filebuf.
int Load(const std::string& text) {
    memset(g_Filebuf, 0, sizeof(g_Filebuf));
    memcpy(g_Filebuf, text.data(), std::min(text.size(), sizeof(g_Filebuf)));
    return TransformDataOfFile(g_Filebuf, (int)text.size());
}

std::vector<uint8_t> Image() { return std::vector<uint8_t>(g_FlashBuf, g_FlashBuf + QX_FLASHBUF_LEN); }

struct Refusal {
    const char* legend;
    std::string text;
    const char* message;
};

TEST(HexLoader, RefusesBadTextsAndKeepsThePreviousImage) {
    std::vector<uint8_t> d16(16, 0xA5);
    const std::string good = Rec(0, 0x0100, d16) + "\n" + kEnd + "\n";
    std::string cut = Rec(0, 0x0200, d16);
    const std::vector<Refusal> cases = {
        {"only the end record", kEnd + "\n", "######address overflow and MaxAddr is <0x0>! "},
        {"all data below 0x100", Rec(0, 0x0000, d16) + "\n" + Rec(0, 0x00F0, d16) + "\n" + kEnd,
         "######address overflow and MaxAddr is <0x0>! "},
        {"bad checksum", ":10010000A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5FF\n" + kEnd, "######cksum<"},
        {"bad checksum after the end record", good + ":0101000011EE\n", "######cksum<"},
        {"no end record", Rec(0, 0x0100, d16) + "\n", "######Read file format error! "},
        {"empty text", "", "######Read file format error! "},
        {"data past 0xFFFF", Rec(0, 0xFFF8, d16) + "\n" + kEnd, "runs past address 0xFFFF"},
        {"record cut by the end of the text", good + cut.substr(0, cut.size() - 6), "cut off by the end of the text"},
        {"colon and one digit at the end", good + ":1", "cut off by the end of the text"},
        {"a text of 194,561 bytes", std::string(194561 - good.size(), '\n') + good,
         "######FileTotallen[194561] > 194560 is error."},
    };
    for (const Refusal& c : cases) {
        fwtest::LogCapture log(true);
        ASSERT_EQ(Load(good), 0);
        std::vector<uint8_t> before = Image();
        int32_t rowBefore = g_row;
        EXPECT_EQ(Load(c.text), -1) << c.legend;
        EXPECT_TRUE(log.contains(c.message)) << c.legend << "\n" << log.text();
        EXPECT_TRUE(Image() == before) << c.legend;
        EXPECT_EQ(g_row, rowBefore) << c.legend;
    }
}

// A master or IO MCU image goes to its boot loader as text: checked whole, record by record.
TEST(HexLoader, RawImageCheckBeforeABootLoaderIsEntered) {
    std::istringstream rows(fwtest::ReadFile(FWAGENT_SOURCE_DIR "/tests/unit/data/raw_image_check.tsv"));
    ASSERT_GT(rows.str().size(), 100u);
    fwtest::TempRoot root;
    std::string line, legend, text, why;
    while (std::getline(rows, line)) {
        std::istringstream cols(line);
        if (line[0] == '#' || !std::getline(cols, legend, '\t') || !std::getline(cols, text, '\t')) continue;
        if (!std::getline(cols, why)) why.clear();
        for (const char* esc : {"\\r", "\\n"})
            for (size_t at; (at = text.find(esc)) != std::string::npos;)
                text.replace(at, 2, esc[1] == 'r' ? "\r" : "\n");
        int fd = open(root.write("/img.hex", text).c_str(), O_RDONLY);
        char got[128] = "";
        EXPECT_EQ(HexCheckImage(fd, got, sizeof(got)), why.empty() ? 0 : -1) << legend;
        EXPECT_EQ(got, why) << legend;
        close(fd);
    }
}

TEST(HexLoader, CutRecordIsNeverReadPastTheGivenLength) {
    // The bytes behind the length form a valid record; the loader must not see them.
    fwtest::LogCapture log(true);
    std::string full = Rec(0, 0x0100, {1, 2, 3}) + kEnd;
    memset(g_Filebuf, 0, sizeof(g_Filebuf));
    memcpy(g_Filebuf, full.data(), full.size());
    EXPECT_EQ(TransformDataOfFile(g_Filebuf, (int)full.size() - 1), -1);
    // A text that ends at the very end of g_Filebuf with a cut record.
    std::string good = Rec(0, 0x0100, {1}) + kEnd;
    std::string text = good + std::string(QX_FILEBUF_LEN - good.size() - 5, '\n') + ":10AB";
    ASSERT_EQ(text.size(), (size_t)QX_FILEBUF_LEN);
    EXPECT_EQ(Load(text), -1);
}

TEST(HexLoader, AcceptsWhatTheFormatAllows) {
    fwtest::LogCapture log(true);
    std::vector<uint8_t> d32(32);
    for (int i = 0; i < 32; i++) d32[i] = (uint8_t)(0x40 + i);

    // A record at 0x00F0 crossing into row 1 loads once some record starts at 0x0100 or above.
    ASSERT_EQ(Load(Rec(0, 0x00F0, d32) + "\r\n" + Rec(0, 0x0300, {0x77}) + "\r\n" + kEnd + "\r\n"), 0);
    for (int i = 0; i < 32; i++) EXPECT_EQ(g_FlashBuf[0xF0 + i], 0x40 + i);
    EXPECT_EQ(g_FlashBuf[0xEF], 0xFF);
    EXPECT_EQ(g_FlashBuf[0x110], 0xFF);
    EXPECT_EQ(g_row, 3);

    // Extended address records are validated and skipped: data keeps its 16-bit address.
    ASSERT_EQ(Load(":020000040001F9\n" + Rec(0, 0x1234, {0xAB}) + "\n" + kEnd + "\n"), 0);
    EXPECT_EQ(g_FlashBuf[0x1234], 0xAB);
    EXPECT_TRUE(log.contains("@@@@@@TransformDataOfFile finish, g_row is <18>,loa<52> FileCount is <"));

    // Records after the end record are not stored, but their rows count.
    ASSERT_EQ(Load(Rec(0, 0x0010, {0x11}) + "\n" + kEnd + "\n" + Rec(0, 0x2000, {0x22}) + "\n"), 0);
    EXPECT_EQ(g_FlashBuf[0x0010], 0x11);
    EXPECT_EQ(g_FlashBuf[0x2000], 0xFF);
    EXPECT_EQ(g_row, 0);

    // Lower-case digits, LF only, text between records, the last byte of the space.
    ASSERT_EQ(Load("junk\n" + Rec(0, 0xFFFE, {0xbc, 0xde}, true) + "\n\n# note\n" + kEnd), 0);
    EXPECT_EQ(g_FlashBuf[0xFFFE], 0xBC);
    EXPECT_EQ(g_FlashBuf[0xFFFF], 0xDE);
    EXPECT_EQ(g_row, 255);

    // Both passes walk the same records: a colon as a record's last character
    // (a bad digit pair that still sums right) starts nothing the check never saw.
    ASSERT_EQ(Load(":00000000::0101000011ED\n" + Rec(0, 0x0200, {0x33}) + "\n" + kEnd + "\n"), 0);
    EXPECT_EQ(g_FlashBuf[0x0100], 0xFF);
    EXPECT_EQ(g_FlashBuf[0x0200], 0x33);

    // The largest text accepted: 194,560 bytes.
    std::string good = Rec(0, 0x0100, {0x5A}) + "\n" + kEnd + "\n";
    std::string big = good;
    ASSERT_TRUE(sim::PadHexText(&big, QX_FILEBUF_LEN));
    EXPECT_EQ(Load(big), 0);
    EXPECT_EQ(g_FlashBuf[0x0100], 0x5A);
}

TEST(HexLoader, BlocksComeOutTwoRowsAtATime) {
    for (int i = 0; i < QX_FLASHBUF_LEN; i++) g_FlashBuf[i] = (uint8_t)(i * 7 + (i >> 8));
    char block[512];
    Get512BytesFlashData(block, 0x10);
    EXPECT_EQ(memcmp(block, g_FlashBuf + 0x1000, 512), 0);
    Get512BytesFlashData(block, 254);
    EXPECT_EQ(memcmp(block, g_FlashBuf + 0xFE00, 512), 0);
    // Past the image: zero bytes, which never read as a blank block.
    Get512BytesFlashData(block, 255);
    EXPECT_EQ(memcmp(block, g_FlashBuf + 0xFF00, 256), 0);
    EXPECT_EQ(block[256], 0);
    Get512BytesFlashData(block, 256);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[511], 0);
}

// ---- against independent readers -------------------------------------------------

// A random sparse file: non-overlapping records in random order, extended-address
// records sprinkled in, a record at 0x0100 or above, records after the end record.
std::string Generate(uint32_t seed) {
    std::mt19937 rng(seed);
    bool lower = rng() % 2, crlf = rng() % 2;
    const char* eol = crlf ? "\r\n" : "\n";
    std::vector<bool> used(65536, false);
    std::vector<std::string> recs;
    int n = 20 + (int)(rng() % 60);
    for (int i = 0; i < n; i++) {
        unsigned len = 1 + rng() % 40;
        unsigned addr = rng() % (65536 - len);
        if (i == 0) addr = 0x00F0;  // crosses into row 1
        bool clash = false;
        for (unsigned a = addr; a < addr + len; a++) clash = clash || used[a];
        if (clash) continue;
        std::vector<uint8_t> d(len);
        for (unsigned k = 0; k < len; k++) {
            d[k] = (uint8_t)rng();
            used[addr + k] = true;
        }
        recs.push_back(Rec(0, (uint16_t)addr, d, lower));
    }
    recs.push_back(Rec(0, 0x8000, {(uint8_t)seed}, lower));
    std::shuffle(recs.begin(), recs.end(), rng);
    std::string text;
    for (size_t i = 0; i < recs.size(); i++) {
        if (rng() % 8 == 0) text += Rec(4, 0, {0x00, (uint8_t)(rng() % 4)}, lower) + eol;
        if (rng() % 16 == 0) text += Rec(2, 0, {0x10, 0x00}, lower) + eol;
        text += recs[i] + eol;
    }
    text += Rec(5, 0, {0, 0, 1, 0}, lower) + eol;
    text += sim::HexEndRecord(lower) + eol;
    text += Rec(0, 0x4000, {1, 2, 3, 4}, lower) + eol;  // after the end: not loaded
    return text;
}

TEST(HexLoader, AgreesWithSrecCatAndIntelhexOnGeneratedFiles) {
    fwtest::TempRoot tmp;
    fwtest::LogCapture log(true);
    for (uint32_t seed = 1; seed <= 24; seed++) {
        std::string text = Generate(seed);
        std::string in = tmp.write("/in.hex", text);
        ASSERT_EQ(Load(text), 0) << seed;
        std::vector<uint8_t> ours = Image();

        // Neither reader can ignore extended-address records: strip them first.
        std::string out;
        std::string cmd = "grep -v -E '^:[0-9A-Fa-f]{6}0[2-5]' " + in + " > " + tmp.path() + "/s.hex; srec_cat " +
                          "-contradictory-bytes=warning " + tmp.path() + "/s.hex -Intel -crop 0 0x10000 " +
                          "-fill 0xFF 0 0x10000 -o " + tmp.path() + "/srec.bin -Binary";
        ASSERT_EQ(fwtest::RunCommand("(" + cmd + ")", &out), 0) << out;
        std::string srec = fwtest::ReadFile(tmp.path() + "/srec.bin");
        ASSERT_EQ(srec.size(), 65536u) << seed;
        EXPECT_TRUE(memcmp(srec.data(), ours.data(), 65536) == 0) << "srec_cat differs, seed " << seed;

        cmd = "/usr/bin/python3 -c \"import intelhex,sys; ih=intelhex.IntelHex('" + tmp.path() +
              "/s.hex'); ih.padding=0xFF; sys.stdout.buffer.write(bytes(ih.tobinarray(start=0, size=65536)))\" > " +
              tmp.path() + "/ih.bin";
        ASSERT_EQ(fwtest::RunCommand("(" + cmd + ")", &out), 0) << out;
        std::string ih = fwtest::ReadFile(tmp.path() + "/ih.bin");
        ASSERT_EQ(ih.size(), 65536u) << seed;
        EXPECT_TRUE(memcmp(ih.data(), ours.data(), 65536) == 0) << "intelhex differs, seed " << seed;
    }
}

TEST(Hex2Bin, WritesTheLoadersImageOrRefusesWithItsMessage) {
    fwtest::TempRoot tmp;
    fwtest::LogCapture log(true);
    std::string text = Generate(99);
    std::string in = tmp.write("/a.hex", text);
    std::string out;
    ASSERT_EQ(fwtest::RunCommand(std::string(FWTOOL_PATH) + " hex2bin " + in + " " + tmp.path() + "/a.bin", &out), 0)
        << out;
    ASSERT_EQ(Load(text), 0);
    std::string bin = fwtest::ReadFile(tmp.path() + "/a.bin");
    ASSERT_EQ(bin.size(), 65536u);
    EXPECT_EQ(memcmp(bin.data(), g_FlashBuf, 65536), 0);

    struct Case {
        const char* legend;
        std::string text;
        const char* message;
    };
    const Case cases[] = {
        {"only the end record", ":00000001FF\n", "######address overflow and MaxAddr is <0x0>!"},
        {"overlong", std::string(QX_FILEBUF_LEN + 10, '\n'), "######FileTotallen[194570] > 194560 is error."},
    };
    for (const Case& c : cases) {
        std::string bad = tmp.write("/bad.hex", c.text);
        int rc = fwtest::RunCommand(std::string(FWTOOL_PATH) + " hex2bin " + bad + " " + tmp.path() + "/b.bin", &out);
        EXPECT_EQ(rc, 1) << c.legend;
        EXPECT_NE(out.find(c.message), std::string::npos) << c.legend << out;
        EXPECT_FALSE(tmp.exists("/b.bin")) << c.legend;
    }
}
}  // namespace
