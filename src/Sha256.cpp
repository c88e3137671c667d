#include "Sha256.h"

#include <string.h>

namespace {
const uint32_t s_aK[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

void Compress(uint32_t* io_pState, const unsigned char* i_pBlock) {
    uint32_t w[64];
    for (int i = 0; i < 16; i++)
        w[i] = (uint32_t)i_pBlock[4 * i] << 24 | (uint32_t)i_pBlock[4 * i + 1] << 16 |
               (uint32_t)i_pBlock[4 * i + 2] << 8 | i_pBlock[4 * i + 3];
    for (int i = 16; i < 64; i++) {
        uint32_t s0 = Rotr(w[i - 15], 7) ^ Rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
        uint32_t s1 = Rotr(w[i - 2], 17) ^ Rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
        w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = io_pState[0], b = io_pState[1], c = io_pState[2], d = io_pState[3];
    uint32_t e = io_pState[4], f = io_pState[5], g = io_pState[6], h = io_pState[7];
    for (int i = 0; i < 64; i++) {
        uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + s_aK[i] + w[i];
        uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g, g = f, f = e, e = d + t1, d = c, c = b, b = a, a = t1 + t2;
    }
    io_pState[0] += a, io_pState[1] += b, io_pState[2] += c, io_pState[3] += d;
    io_pState[4] += e, io_pState[5] += f, io_pState[6] += g, io_pState[7] += h;
}
}  // namespace

void Sha256_Init(Sha256Ctx* o_pCtx) {
    static const uint32_t s_aInit[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(o_pCtx->au32State, s_aInit, sizeof(s_aInit));
    o_pCtx->u64Bits = 0;
    o_pCtx->uFill = 0;
}

void Sha256_Update(Sha256Ctx* io_pCtx, const void* i_pData, size_t i_len) {
    const unsigned char* p = (const unsigned char*)i_pData;
    io_pCtx->u64Bits += (uint64_t)i_len * 8;
    while (i_len > 0) {
        size_t uTake = 64 - io_pCtx->uFill < i_len ? 64 - io_pCtx->uFill : i_len;
        memcpy(io_pCtx->aBlock + io_pCtx->uFill, p, uTake);
        io_pCtx->uFill += uTake;
        p += uTake;
        i_len -= uTake;
        if (io_pCtx->uFill == 64) {
            Compress(io_pCtx->au32State, io_pCtx->aBlock);
            io_pCtx->uFill = 0;
        }
    }
}

std::string Sha256_Hex(Sha256Ctx* io_pCtx) {
    uint64_t u64Bits = io_pCtx->u64Bits;
    unsigned char aPad[72] = {0x80};
    size_t uPad = (io_pCtx->uFill < 56 ? 56 : 120) - io_pCtx->uFill;
    for (int i = 0; i < 8; i++) aPad[uPad + i] = (unsigned char)(u64Bits >> (56 - 8 * i));
    Sha256_Update(io_pCtx, aPad, uPad + 8);
    static const char s_aHex[] = "0123456789abcdef";
    std::string s;
    for (uint32_t u : io_pCtx->au32State)
        for (int i = 28; i >= 0; i -= 4) s += s_aHex[(u >> i) & 0xF];
    return s;
}
