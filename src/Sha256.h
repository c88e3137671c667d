// SHA-256 of what the agent stages, so the result record names the very
// package that was flashed.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

struct Sha256Ctx {
    uint32_t au32State[8];
    uint64_t u64Bits;
    unsigned char aBlock[64];
    size_t uFill;
};

void Sha256_Init(Sha256Ctx* o_pCtx);
void Sha256_Update(Sha256Ctx* io_pCtx, const void* i_pData, size_t i_len);
// The digest as 64 lower-case hex digits.
std::string Sha256_Hex(Sha256Ctx* io_pCtx);
