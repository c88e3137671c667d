// Light framing: the same flags and stuffing as the framed link, without uid,
// FCS or lock; always blocking on the operations given.
#pragma once

#include <stdint.h>

#include "tiny_layer2.h"

typedef struct tiny_light_handle {
    void* pdata;
    write_block_cb_t write_func;
    read_block_cb_t read_func;
} tiny_light_handle;

int tiny_light_init(tiny_light_handle* i_pHandle, write_block_cb_t i_write, read_block_cb_t i_read, void* i_pUser);
int tiny_light_close(tiny_light_handle* i_pHandle);
// Result of the last write, or -1 when a write moves nothing.
int tiny_light_send(tiny_light_handle* i_pHandle, const uint8_t* i_pData, uint8_t i_u8Len);
// Bytes of one frame (8-bit count); -6 out of sync, -1 read failure, -3 when
// the buffer fills before the closing flag (the rest of that frame is dropped).
int tiny_light_read(tiny_light_handle* i_pHandle, uint8_t* o_pBuf, int i_s32Size);
