#include "crc.h"

uint16_t chksum_byte(uint16_t i_u16Sum, uint8_t i_u8Byte) { return (uint16_t)(i_u16Sum + i_u8Byte); }

uint16_t chksum(uint16_t i_u16Initial, const uint8_t* i_pData, int i_s32Len) {
    uint16_t u16Sum = i_u16Initial;
    for (int i = 0; i_pData != nullptr && i < i_s32Len; i++) u16Sum = chksum_byte(u16Sum, i_pData[i]);
    return (uint16_t)~u16Sum;
}
