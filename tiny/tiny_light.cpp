#include "tiny_light.h"

int tiny_light_init(tiny_light_handle* i_pHandle, write_block_cb_t i_write, read_block_cb_t i_read, void* i_pUser) {
    if (i_pHandle == nullptr || i_write == nullptr || i_read == nullptr) return -1;
    i_pHandle->pdata = i_pUser;
    i_pHandle->write_func = i_write;
    i_pHandle->read_func = i_read;
    return 0;
}

int tiny_light_close(tiny_light_handle* i_pHandle) {
    if (i_pHandle == nullptr) return -1;
    i_pHandle->write_func = nullptr;
    i_pHandle->read_func = nullptr;
    return 0;
}

static int LightWrite(tiny_light_handle* h, uint8_t i_u8Byte) { return h->write_func(h->pdata, &i_u8Byte, 1); }

int tiny_light_send(tiny_light_handle* i_pHandle, const uint8_t* i_pData, uint8_t i_u8Len) {
    if (i_pHandle == nullptr || i_pHandle->write_func == nullptr) return -1;
    int s32Ret = LightWrite(i_pHandle, TINY_FLAG_BYTE);
    if (s32Ret < 1) return -1;
    for (int i = 0; i < i_u8Len; i++) {
        uint8_t u8Byte = i_pData[i];
        if (u8Byte == TINY_FLAG_BYTE || u8Byte == TINY_ESCAPE_BYTE) {
            if (LightWrite(i_pHandle, TINY_ESCAPE_BYTE) < 1) return -1;
            u8Byte ^= TINY_ESCAPE_XOR;
        }
        if ((s32Ret = LightWrite(i_pHandle, u8Byte)) < 1) return -1;
    }
    if ((s32Ret = LightWrite(i_pHandle, TINY_FLAG_BYTE)) < 1) return -1;
    return s32Ret;
}

int tiny_light_read(tiny_light_handle* i_pHandle, uint8_t* o_pBuf, int i_s32Size) {
    if (i_pHandle == nullptr || i_pHandle->read_func == nullptr || o_pBuf == nullptr || i_s32Size < 1) return -1;
    uint8_t u8Byte = 0;
    if (i_pHandle->read_func(i_pHandle->pdata, &u8Byte, 1) < 1 || u8Byte != TINY_FLAG_BYTE) return -6;
    int s32Count = 0;
    bool bOverflow = false;
    for (;;) {
        if (i_pHandle->read_func(i_pHandle->pdata, &u8Byte, 1) < 1) return -1;
        bool bData = true;
        if (u8Byte == TINY_ESCAPE_BYTE) {
            if (i_pHandle->read_func(i_pHandle->pdata, &u8Byte, 1) < 1) return -1;
            if (u8Byte == TINY_FLAG_BYTE)
                bData = false;
            else
                u8Byte ^= TINY_ESCAPE_XOR;
        } else if (u8Byte == TINY_FLAG_BYTE) {
            bData = false;
        }
        if (!bData) {
            if (s32Count == 0 && !bOverflow) continue;  // a new opening flag
            if (bOverflow) return -3;
            return (uint8_t)s32Count;
        }
        // Reading on to the closing flag keeps the next call in step with the stream.
        if (s32Count >= i_s32Size) {
            bOverflow = true;
            continue;
        }
        o_pBuf[s32Count++] = u8Byte;
    }
}
