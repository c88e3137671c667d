// The frame receiver on any bytes keeps within its buffer; the input as a
// payload comes back unchanged through both receive paths.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "QxLog.h"
#include "tiny_layer2.h"

namespace {
struct Stream {
    const uint8_t* p;
    size_t n;
    size_t chunk;  // bytes handed over before a read finds nothing for once
    size_t since;
    std::vector<uint8_t> out;
};

int32_t ReadSome(void* i_pUser, void* o_pBuf, int32_t i_s32Len) {
    Stream* s = (Stream*)i_pUser;
    if (s->n == 0) return -1;  // the stream ended: nothing will come
    if (s->since++ == s->chunk) {
        s->since = 0;
        return 0;
    }
    size_t k = s->n < (size_t)i_s32Len ? s->n : (size_t)i_s32Len;
    memcpy(o_pBuf, s->p, k);
    s->p += k;
    s->n -= k;
    return (int32_t)k;
}

int32_t WriteAll(void* i_pUser, const void* i_pData, int32_t i_s32Len) {
    Stream* s = (Stream*)i_pUser;
    s->out.insert(s->out.end(), (const uint8_t*)i_pData, (const uint8_t*)i_pData + i_s32Len);
    return i_s32Len;
}

struct Frame {
    uint16_t uid;
    std::vector<uint8_t> data;
};
std::vector<Frame> g_frames;
int32_t g_s32Room = 0;

// A copy of exactly the length given: the address sanitizer sees any overreach.
void OnFrame(tiny_link_handle*, uint16_t i_u16Uid, uint8_t* i_pData, int32_t i_s32Len) {
    if (i_s32Len < 0 || i_s32Len > g_s32Room) abort();
    g_frames.push_back({i_u16Uid, std::vector<uint8_t>(i_pData, i_pData + i_s32Len)});
}

void Open(tiny_link_handle* h, Stream* s, bool i_bUid, bool i_bFcs) {
    memset(h, 0, sizeof(*h));
    tiny_init(h, WriteAll, ReadSome, s);
    tiny_set_fcs_bits(h, i_bFcs ? 8 : 0);
    tiny_enable_uid(h, i_bUid ? 1 : 0);
    tiny_set_callbacks(h, OnFrame, nullptr);
}

void ByteByByte(const uint8_t* p, size_t n, bool i_bUid, bool i_bFcs, int32_t i_s32Size) {
    Stream s{p, n, n, 0, {}};
    tiny_link_handle h;
    Open(&h, &s, i_bUid, i_bFcs);
    std::vector<uint8_t> buf((size_t)i_s32Size);
    g_s32Room = i_s32Size;
    for (size_t i = 0; i < n; i++) {
        tiny_on_rx_byte(&h, buf.data(), i_s32Size, p[i]);
        if (h.rx_len < 0 || h.rx_len > i_s32Size) abort();  // the count never runs past the buffer
    }
    tiny_close(&h);
}

void ByRead(const uint8_t* p, size_t n, bool i_bUid, bool i_bFcs, int32_t i_s32Size, size_t i_chunk) {
    Stream s{p, n, i_chunk, 0, {}};
    tiny_link_handle h;
    Open(&h, &s, i_bUid, i_bFcs);
    std::vector<uint8_t> buf((size_t)i_s32Size);
    g_s32Room = i_s32Size;
    uint16_t u16Uid = 0;
    // Every call takes a byte, meets a pause or ends the stream.
    for (size_t i = 0; i <= 2 * n + 2 && (s.n > 0 || i == 0); i++) {
        int r = tiny_read(&h, i_bUid ? &u16Uid : nullptr, buf.data(), i_s32Size, 0);
        if (r > i_s32Size) abort();
        if (h.rx_len < 0 || h.rx_len > (i_s32Size > 2 ? i_s32Size : 2)) abort();  // or the uid's two bytes
    }
    tiny_close(&h);
}

void RoundTrip(const uint8_t* p, size_t n, bool i_bUid, bool i_bFcs, uint16_t i_u16Uid) {
    if (n == 0) return;  // an empty frame is not sent
    Stream tx{nullptr, 0, 0, 0, {}};
    tiny_link_handle h;
    Open(&h, &tx, i_bUid, i_bFcs);
    if (tiny_send(&h, i_bUid ? &i_u16Uid : nullptr, p, (int32_t)n, TINY_FLAG_WAIT_FOREVER) != (int)n) abort();
    tiny_close(&h);
    int32_t s32Size = (int32_t)n + 3;  // uid, payload, FCS and one spare byte
    g_frames.clear();
    ByteByByte(tx.out.data(), tx.out.size(), i_bUid, i_bFcs, s32Size);
    ByRead(tx.out.data(), tx.out.size(), i_bUid, i_bFcs, s32Size, 7);
    if (g_frames.size() != 2) abort();
    for (const Frame& f : g_frames) {
        if (f.data.size() != n || memcmp(f.data.data(), p, n) != 0) abort();
        if (i_bUid && f.uid != i_u16Uid) abort();
    }
}
}  // namespace

// First byte: bit 0 uid, bit 1 FCS, bits 2-4 buffer size, bits 5-7 bytes between pauses.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_bInit = false;
    if (!s_bInit) {
        QxLog_SetQuiet(true);
        s_bInit = true;
    }
    if (size < 1 || size > 4096) return 0;
    static const int32_t s_aSizes[8] = {1, 2, 3, 4, 16, 64, 256, 2048};
    static const size_t s_aChunks[8] = {1, 2, 3, 5, 16, 64, 255, 4096};
    bool bUid = data[0] & 1, bFcs = data[0] & 2;
    int32_t s32Size = s_aSizes[(data[0] >> 2) & 7];
    size_t chunk = s_aChunks[data[0] >> 5];
    const uint8_t* p = data + 1;
    size_t n = size - 1;
    ByteByByte(p, n, bUid, bFcs, s32Size);
    ByRead(p, n, bUid, bFcs, s32Size, chunk);
    RoundTrip(p, n, bUid, bFcs, (uint16_t)(n * 40503u));
    g_frames.clear();
    return 0;
}
