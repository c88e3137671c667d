// The Intel HEX loader against the cases in tests/unit/data/hex and against two
// independent readers (srec_cat, python3-intelhex) on generated files.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
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
int Load(const std::string& text, int len = -1) {
    memset(g_Filebuf, 0, sizeof(g_Filebuf));
    memcpy(g_Filebuf, text.data(), std::min(text.size(), sizeof(g_Filebuf)));
    return TransformDataOfFile(g_Filebuf, len < 0 ? (int)text.size() : len);
}

std::vector<uint8_t> Image() { return std::vector<uint8_t>(g_FlashBuf, g_FlashBuf + QX_FLASHBUF_LEN); }

// NAME.want: "refused WHY" (the image untouched), "row N" and lines
// "ADDR: BYTE..." the image holds, or "raw [WHY]" for the whole-image check.
// fwtool hex2bin must agree.
void CheckCase(const std::string& hexPath, const std::string& want, const std::string& scratch) {
    fwtest::LogCapture log(true);
    ASSERT_EQ(Load(Rec(0, 0x0100, std::vector<uint8_t>(16, 0xA5)) + "\n" + kEnd + "\n"), 0);
    const std::vector<uint8_t> before = Image();
    const int32_t rowBefore = g_row;
    std::istringstream lines(want);
    std::string verdict, rest;
    lines >> verdict;
    std::getline(lines, rest);
    if (verdict == "raw") {  // a master or IO MCU image: checked whole before its boot loader is entered
        int fd = open(hexPath.c_str(), O_RDONLY);
        char why[128] = "";
        EXPECT_EQ(HexCheckImage(fd, why, sizeof(why)), rest.empty() ? 0 : -1);
        EXPECT_EQ(why, rest.substr(rest.empty() ? 0 : 1));
        close(fd);
        return;
    }
    const bool refused = verdict == "refused";
    EXPECT_EQ(Load(fwtest::ReadFile(hexPath)), refused ? -1 : 0);
    if (refused) {
        EXPECT_TRUE(log.contains(rest.substr(1))) << log.text();
        EXPECT_TRUE(Image() == before);
        EXPECT_EQ(g_row, rowBefore);
    } else {
        EXPECT_EQ(g_row, std::stoi(rest));
        for (std::string addr; lines >> addr;) {
            std::string bytes;
            std::getline(lines, bytes);
            std::istringstream b(bytes);
            unsigned at = std::stoul(addr, nullptr, 16), v;
            for (; b >> std::hex >> v; at++) EXPECT_EQ(g_FlashBuf[at], v) << "at " << std::hex << at;
        }
    }
    const std::string bin = scratch + "/out.bin";
    unlink(bin.c_str());
    std::string out;
    EXPECT_EQ(fwtest::Fwtool({"hex2bin", hexPath, bin}, &out), refused ? 1 : 0) << out;
    EXPECT_EQ(refused ? "" : fwtest::ReadFile(bin),
              refused ? "" : std::string(g_FlashBuf, g_FlashBuf + QX_FLASHBUF_LEN));
    EXPECT_EQ(access(bin.c_str(), F_OK) == 0, !refused);
}

TEST(HexLoader, CasesInTheDataFolder) {
    fwtest::TempRoot scratch;
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(FWAGENT_SOURCE_DIR "/tests/unit/data/hex")) {
        if (e.path().extension() != ".hex") continue;
        SCOPED_TRACE(e.path().stem().string());
        std::filesystem::path want = e.path();
        CheckCase(e.path(), fwtest::ReadFile(want.replace_extension(".want")), scratch.path());
        n++;
    }
    EXPECT_GE(n, 24);
}

// The limits of g_Filebuf, and a length shorter than the text in the buffer.
TEST(HexLoader, TextSizeLimitsAndTheGivenLength) {
    fwtest::LogCapture log(true);
    const std::string good = Rec(0, 0x0100, {0x5A}) + "\n" + kEnd + "\n";
    std::string largest = good;
    ASSERT_TRUE(sim::PadHexText(&largest, QX_FILEBUF_LEN));
    EXPECT_EQ(Load(largest), 0);
    EXPECT_EQ(g_FlashBuf[0x0100], 0x5A);
    EXPECT_EQ(Load(std::string(QX_FILEBUF_LEN + 1 - good.size(), '\n') + good), -1);
    EXPECT_TRUE(log.contains("######FileTotallen[194561] > 194560 is error."));
    // A cut record at the very end of g_Filebuf; a valid record behind the given length.
    std::string cut = good + std::string(QX_FILEBUF_LEN - good.size() - 5, '\n') + ":10AB";
    ASSERT_EQ(cut.size(), (size_t)QX_FILEBUF_LEN);
    EXPECT_EQ(Load(cut), -1);
    std::string full = Rec(0, 0x0100, {1, 2, 3}) + kEnd;
    EXPECT_EQ(Load(full, (int)full.size() - 1), -1);
}

// ---- against independent readers -------------------------------------------------

// A random sparse file: non-overlapping records in random order, extended-address
// records sprinkled in, a record at 0x0100 or above, records after the end record.
std::string Generate(uint32_t seed) {
    std::mt19937 rng(seed);
    bool lower = rng() % 2;
    const char* eol = rng() % 2 ? "\r\n" : "\n";
    std::vector<bool> used(65536, false);
    std::vector<std::string> recs;
    int n = 20 + (int)(rng() % 60);
    for (int i = 0; i < n; i++) {
        unsigned len = 1 + rng() % 40;
        unsigned addr = i == 0 ? 0x00F0 : rng() % (65536 - len);  // the first crosses into row 1
        bool clash = false;
        for (unsigned a = addr; a < addr + len; a++) clash = clash || used[a];
        if (clash) continue;
        std::vector<uint8_t> d(len);
        for (unsigned k = 0; k < len; k++) d[k] = (uint8_t)rng(), used[addr + k] = true;
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
    text += Rec(5, 0, {0, 0, 1, 0}, lower) + eol + sim::HexEndRecord(lower) + eol;
    return text + Rec(0, 0x4000, {1, 2, 3, 4}, lower) + eol;  // after the end: not loaded
}

TEST(HexLoader, AgreesWithSrecCatAndIntelhexOnGeneratedFiles) {
    fwtest::TempRoot tmp;
    fwtest::LogCapture log(true);
    const std::string plain = tmp.path() + "/s.hex", srec = tmp.path() + "/srec.bin", ih = tmp.path() + "/ih.bin";
    for (uint32_t seed = 1; seed <= 24; seed++) {
        std::string text = Generate(seed);
        ASSERT_EQ(Load(text), 0) << seed;
        const std::string ours(g_FlashBuf, g_FlashBuf + 65536);
        // Neither reader can ignore extended-address records: they are left out for them.
        std::istringstream in(text);
        std::string stripped;
        for (std::string l; std::getline(in, l);)
            if (!(l.size() > 8 && l[7] == '0' && l[8] >= '2' && l[8] <= '5')) stripped += l + "\n";
        fwtest::WriteFile(plain, stripped);
        std::string out;
        ASSERT_EQ(fwtest::RunArgv({"srec_cat", "-contradictory-bytes=warning", plain, "-Intel", "-crop", "0", "0x10000",
                                   "-fill", "0xFF", "0", "0x10000", "-o", srec, "-Binary"},
                                  &out),
                  0)
            << out;
        EXPECT_TRUE(fwtest::ReadFile(srec) == ours) << "srec_cat differs, seed " << seed;
        ASSERT_EQ(fwtest::RunArgv({"/usr/bin/python3", "-c",
                                   "import intelhex,sys; h=intelhex.IntelHex(sys.argv[1]); h.padding=0xFF; "
                                   "open(sys.argv[2],'wb').write(bytes(h.tobinarray(start=0, size=65536)))",
                                   plain, ih},
                                  &out),
                  0)
            << out;
        EXPECT_TRUE(fwtest::ReadFile(ih) == ours) << "intelhex differs, seed " << seed;
    }
}
}  // namespace
