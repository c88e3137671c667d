// 16-bit additive checksums of the framed link module.
#pragma once

#include <stdint.h>

// (sum + byte) mod 65536.
uint16_t chksum_byte(uint16_t i_u16Sum, uint8_t i_u8Byte);
// NOT(initial + sum of the bytes), 16 bits; with no bytes the NOT of the initial value.
uint16_t chksum(uint16_t i_u16Initial, const uint8_t* i_pData, int i_s32Len);
