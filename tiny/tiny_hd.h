// Half-duplex acknowledged link on the framed link (uid mode): the uid holds a
// 12-bit request id and flags asking for or carrying an acknowledgement.
#pragma once

#include <stdint.h>

#include "tiny_layer2.h"
#include "tiny_rq_pool.h"

#define TINY_HD_ID_MASK 0x0FFF
#define TINY_HD_NO_WAIT 0x2000
#define TINY_HD_ACK_REQUEST 0x4000
#define TINY_HD_ACK 0x8000

typedef struct tiny_hd_init_params {
    write_block_cb_t write_func;
    read_block_cb_t read_func;
    void* user_data;
    on_frame_hd_cb_t on_frame_cb;
    uint16_t inbuf_size;
    uint8_t* inbuf;
    uint32_t timeout;  // ms; 0 means 1000
} tiny_hd_init_params;

int tiny_hd_init(tiny_link_handle* i_pHandle, const tiny_hd_init_params* i_pParams);
// One non-blocking receive step; a good frame reaches the frame callback inside it.
int tiny_hd_run(tiny_link_handle* i_pHandle);
int tiny_hd_close(tiny_link_handle* i_pHandle);
// 1 acknowledged, -2 no acknowledgement after three transmissions, -1 link
// closed meanwhile, or the failed transmission's result.
int tiny_send_wait_ack(tiny_link_handle* i_pHandle, const uint8_t* i_pData, uint16_t i_u16Len);
int tiny_send_no_wait(tiny_link_handle* i_pHandle, const uint8_t* i_pData, int32_t i_s32Len);
void tiny_hd_on_frame(tiny_link_handle* i_pHandle, uint16_t i_u16Uid, uint8_t* i_pData, int32_t i_s32Len);
