// Intel HEX loader: turns the text of one EP/BV image file into the 64 KiB
// flash image, and hands the image out in 512-byte blocks for the ISP writes.
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "QxLog.h"
#include "Taskfile2mcu.h"

char g_Filebuf[QX_FILEBUF_LEN];
unsigned char g_FlashBuf[QX_FLASHBUF_LEN];
int32_t g_row = 0;
char g_MCUVersionFile[QX_PATH_BUF(512)];

namespace {
int HexDigit(char i_c) {
    if (i_c >= '0' && i_c <= '9') return i_c - '0';
    if (i_c >= 'A' && i_c <= 'F') return i_c - 'A' + 10;
    if (i_c >= 'a' && i_c <= 'f') return i_c - 'a' + 10;
    return -1;
}

// The digit pair at i_s32Pos of the text; the caller has checked that the
// whole record lies inside the text.
int PairAt(const char* i_pText, int i_s32Pos) { return ASCIIToHEX(i_pText[i_s32Pos], i_pText[i_s32Pos + 1]); }

// Characters of a record with n data bytes: colon, n+5 digit pairs.
int RecordLen(int i_s32Count) { return 2 * (i_s32Count + 5) + 1; }
}  // namespace

int ASCIIToHEX(char i_cHigh, char i_cLow) {
    int s32High = HexDigit(i_cHigh);
    if (s32High < 0) {
        qx_printf("decade<%c> don't transform to decimalism, because it is not regular ascii codes \n", i_cHigh);
        return 0;
    }
    int s32Low = HexDigit(i_cLow);
    if (s32Low < 0) {
        qx_printf("units<%c> don't transform to decimalism, because it is not regular ascii codes.\n", i_cLow);
        return 0;
    }
    return s32High * 16 + s32Low;
}

namespace {
// Refuses a record the end of the text cuts off.
int RefuseCutRecord(const char* i_pText, int i_s32Len, int i_s32Pos) {
    // Count what is there; the missing digits would only be zero bytes.
    int s32Sum = 0;
    for (int i = i_s32Pos + 1; i + 1 < i_s32Len; i += 2) s32Sum += PairAt(i_pText, i);
    qx_printf("######cksum<%d> is error \n", s32Sum & 0xFF);
    qx_printf("######record at <%d> is cut off by the end of the text <%d>\n", i_s32Pos, i_s32Len);
    return -1;
}

// A record's characters after its colon must all be hex digits: a damaged
// digit would otherwise count as 0 and could still add up.
bool AllHexDigits(const char* i_pText, int i_s32From, int i_s32To) {
    for (int i = i_s32From; i < i_s32To; i++) {
        if (HexDigit(i_pText[i]) >= 0) continue;
        qx_printf("######record holds <0x%x> at <%d> where a hex digit belongs, file refused.\n",
                  (unsigned char)i_pText[i], i);
        return false;
    }
    return true;
}

// Checks the record at i_s32Pos and returns its length (-1 when refused).
int CheckRecord(const char* i_pText, int i_s32Len, int i_s32Pos, bool& io_bEndSeen, int& io_s32MaxRow) {
    // The byte count is needed to know the record's length at all.
    if (i_s32Pos + 2 >= i_s32Len) {
        qx_printf("######cksum<%d> is error \n", 0);
        qx_printf("######record at <%d> is cut off by the end of the text <%d>\n", i_s32Pos, i_s32Len);
        return -1;
    }
    if (!AllHexDigits(i_pText, i_s32Pos + 1, i_s32Pos + 3)) return -1;
    int s32Count = PairAt(i_pText, i_s32Pos + 1);
    int s32RecLen = RecordLen(s32Count);
    if (i_s32Pos + s32RecLen > i_s32Len) return RefuseCutRecord(i_pText, i_s32Len, i_s32Pos);
    if (!AllHexDigits(i_pText, i_s32Pos + 3, i_s32Pos + s32RecLen)) return -1;
    int s32Type = PairAt(i_pText, i_s32Pos + 7);
    int s32High = PairAt(i_pText, i_s32Pos + 3);
    int s32Low = PairAt(i_pText, i_s32Pos + 5);
    if (s32Type == 1) io_bEndSeen = true;
    int s32Sum = 0;
    for (int k = 0; k < s32Count + 5; k++) s32Sum += PairAt(i_pText, i_s32Pos + 1 + 2 * k);
    s32Sum &= 0xFF;
    if (s32Sum != 0) {
        qx_printf("######cksum<%d> is error \n", s32Sum);
        return -1;
    }
    if (s32High > io_s32MaxRow) io_s32MaxRow = s32High;
    // Data the load would store must fit the 16-bit image: a device never
    // gets a silently truncated image.
    if (s32Type == 0 && !io_bEndSeen && s32High * 256 + s32Low + s32Count > QX_FLASHBUF_LEN) {
        qx_printf("######data record at <0x%x> with %d bytes runs past address 0xFFFF, file refused.\n",
                  s32High * 256 + s32Low, s32Count);
        return -1;
    }
    return s32RecLen;
}

// Validates everything before the image is touched, so a refused file
// leaves the previous image in place.
int CheckText(const char* i_pText, int i_s32Len) {
    bool bEndSeen = false;
    int s32MaxRow = 0;
    int s32Pos = 0;
    while (s32Pos < i_s32Len) {
        char c = i_pText[s32Pos];
        if (c == '\r' || c == '\n') {
            s32Pos++;
            continue;
        }
        // Anything else between records may be a record whose colon was
        // damaged: passed over, the device would get 0xFF for its bytes.
        if (c != ':') {
            qx_printf("######text <0x%x> at <%d> where a record should start, file refused.\n", (unsigned char)c,
                      s32Pos);
            return -1;
        }
        int s32RecLen = CheckRecord(i_pText, i_s32Len, s32Pos, bEndSeen, s32MaxRow);
        if (s32RecLen < 0) return -1;
        s32Pos += s32RecLen;
    }
    if (!bEndSeen) {
        qx_printf("######Read file format error! \n");
        return -1;
    }
    if (s32MaxRow == 0 || s32MaxRow > 255) {
        qx_printf("######address overflow and MaxAddr is <0x%x>! \n", s32MaxRow);
        return -1;
    }
    return 0;
}

// Loads the checked text into the image, up to the first end record.
void LoadText(const char* i_pText, int i_s32Len) {
    memset(g_FlashBuf, 0xFF, sizeof(g_FlashBuf));
    int s32LastAddr = -1;
    int s32Pos = 0;
    while (s32Pos < i_s32Len) {
        if (i_pText[s32Pos] != ':') {
            s32Pos++;
            continue;
        }
        int s32Count = PairAt(i_pText, s32Pos + 1);
        int s32Type = PairAt(i_pText, s32Pos + 7);
        if (s32Type == 1) break;
        if (s32Type == 0) {
            int s32Base = PairAt(i_pText, s32Pos + 3) * 256 + PairAt(i_pText, s32Pos + 5);
            for (int k = 0; k < s32Count; k++) {
                int s32Addr = s32Base + k;  // checked: below 0x10000
                g_FlashBuf[s32Addr] = (unsigned char)PairAt(i_pText, s32Pos + 9 + 2 * k);
                s32LastAddr = s32Addr;
            }
        }
        // Skip the whole record, exactly as the check did: a record whose last
        // character is a colon must not start a record the check never saw.
        s32Pos += RecordLen(s32Count);
    }
    int s32Row = s32LastAddr < 0 ? 0 : s32LastAddr >> 8;
    int s32Col = s32LastAddr < 0 ? 0 : s32LastAddr & 0xFF;
    g_row = s32Row;
    qx_printf("@@@@@@TransformDataOfFile finish, g_row is <%d>,loa<%d> FileCount is <%d>, FileTotallen is <%d>! \n",
              s32Row, s32Col, s32Pos < i_s32Len ? s32Pos : i_s32Len, i_s32Len);
}
}  // namespace

int TransformDataOfFile(char* i_pText, int i_s32Len) {
    if (i_s32Len > QX_FILEBUF_LEN) {
        qx_printf("######FileTotallen[%d] > %d is error.\n", i_s32Len, QX_FILEBUF_LEN);
        return -1;
    }
    if (i_s32Len < 1 || i_pText == nullptr) {
        qx_printf("######Read file format error! \n");
        return -1;
    }
    if (CheckText(i_pText, i_s32Len) != 0) return -1;
    LoadText(i_pText, i_s32Len);
    return 0;
}

void Get512BytesFlashData(char* o_pDst, int i_s32Row) {
    if (o_pDst == nullptr) return;
    // Rows outside the image read as zero bytes: never blank, never outside g_FlashBuf.
    for (int r = 0; r < 2; r++) {
        int s32Row = i_s32Row + r;
        if (s32Row >= 0 && s32Row < 256)
            memcpy(o_pDst + 256 * r, g_FlashBuf + 256 * s32Row, 256);
        else
            memset(o_pDst + 256 * r, 0, 256);
    }
}

namespace {
// Where the text of a raw image stands while it is read.
enum HexPlace { kHexBetween, kHexInRecord, kHexLineEnd, kHexAfterEnd };

int RefuseImage(char* o_pWhy, size_t i_size, long i_lRecord, const char* i_pWhy) {
    snprintf(o_pWhy, i_size, "record %ld: %s", i_lRecord, i_pWhy);
    return -1;
}

// The boot loaders' reading of a raw image, fed piece by piece.
struct HexRawReader {
    HexPlace ePlace = kHexBetween;
    long lRecord = 0;
    int s32Digits = 0, s32Want = 0, s32High = 0, s32Type = 0;
    unsigned u32Sum = 0;
};

int HexRawFeed(HexRawReader& io_rd, const char* i_pText, size_t i_uLen, char* o_pWhy, size_t i_whySize) {
    for (size_t i = 0; i < i_uLen; i++) {
        char c = i_pText[i];
        bool bLineEnd = c == '\r' || c == '\n';
        if (io_rd.ePlace != kHexInRecord) {
            if (bLineEnd) {
                if (io_rd.ePlace == kHexLineEnd) io_rd.ePlace = io_rd.s32Type == 1 ? kHexAfterEnd : kHexBetween;
                continue;
            }
            if (io_rd.ePlace == kHexAfterEnd)
                return RefuseImage(o_pWhy, i_whySize, io_rd.lRecord, "text after the end record");
            if (io_rd.ePlace == kHexLineEnd)
                return RefuseImage(o_pWhy, i_whySize, io_rd.lRecord, "longer than its byte count");
            if (c != ':') return RefuseImage(o_pWhy, i_whySize, io_rd.lRecord + 1, "text where a record should start");
            io_rd.ePlace = kHexInRecord;
            io_rd.lRecord++;
            io_rd.s32Digits = 0;
            io_rd.s32Want = 2;
            io_rd.u32Sum = 0;
            continue;
        }
        int s32Digit = HexDigit(c);
        if (s32Digit < 0) return RefuseImage(o_pWhy, i_whySize, io_rd.lRecord, "cut short or not a hex digit");
        if (io_rd.s32Digits % 2 == 0) {
            io_rd.s32High = s32Digit;
        } else {
            int s32Byte = io_rd.s32High * 16 + s32Digit;
            io_rd.u32Sum += (unsigned)s32Byte;
            if (io_rd.s32Digits == 1) io_rd.s32Want = 2 * (s32Byte + 5);
            if (io_rd.s32Digits == 7) io_rd.s32Type = s32Byte;
        }
        if (++io_rd.s32Digits == io_rd.s32Want) {
            if ((io_rd.u32Sum & 0xFF) != 0)
                return RefuseImage(o_pWhy, i_whySize, io_rd.lRecord, "checksum does not add up");
            io_rd.ePlace = kHexLineEnd;
        }
    }
    return 0;
}

int HexRawEnd(const HexRawReader& i_rd, char* o_pWhy, size_t i_whySize) {
    if (i_rd.ePlace == kHexInRecord)
        return RefuseImage(o_pWhy, i_whySize, i_rd.lRecord, "cut short by the end of the file");
    if (i_rd.ePlace != kHexAfterEnd && !(i_rd.ePlace == kHexLineEnd && i_rd.s32Type == 1)) {
        snprintf(o_pWhy, i_whySize, "no end record in %ld records", i_rd.lRecord);
        return -1;
    }
    return 0;
}
}  // namespace

int HexCheckImage(int i_fd, char* o_pWhy, size_t i_whySize) {
    HexRawReader stRd;
    char aBuf[4096];
    for (;;) {
        ssize_t n = read(i_fd, aBuf, sizeof(aBuf));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return RefuseImage(o_pWhy, i_whySize, stRd.lRecord, "the file cannot be read");
        if (n == 0) break;
        if (HexRawFeed(stRd, aBuf, (size_t)n, o_pWhy, i_whySize) != 0) return -1;
    }
    return HexRawEnd(stRd, o_pWhy, i_whySize);
}

int HexCheckText(const char* i_pText, size_t i_uLen, char* o_pWhy, size_t i_whySize) {
    HexRawReader stRd;
    if (HexRawFeed(stRd, i_pText, i_uLen, o_pWhy, i_whySize) != 0) return -1;
    return HexRawEnd(stRd, o_pWhy, i_whySize);
}
