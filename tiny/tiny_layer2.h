// Framed serial link: delimited, byte-stuffed frames with an optional 16-bit
// uid and an optional one-byte additive FCS, over caller-supplied byte I/O.
// Sending and receiving are resumable state machines, so a call can block for
// a whole frame or do what the stream accepts now and be called again.
#pragma once

#include <pthread.h>
#include <stdint.h>

// Result codes shared by the frame layer.
#define TINY_NO_ERROR 0
#define TINY_ERR_FAILED (-1)
#define TINY_ERR_TIMEOUT (-2)
#define TINY_ERR_DATA_TOO_LARGE (-3)
#define TINY_ERR_INVALID_DATA (-4)
#define TINY_ERR_BUSY (-5)
#define TINY_ERR_OUT_OF_SYNC (-6)

// Flags of the send and receive operations.
#define TINY_FLAG_READ_ALL 0x01   // receive side: keep counting after the buffer is full
#define TINY_FLAG_LOCK_SEND 0x02  // start a new frame without blocking
#define TINY_FLAG_WAIT_FOREVER 0x80

#define TINY_FLAG_BYTE 0x7E
#define TINY_ESCAPE_BYTE 0x7D
#define TINY_ESCAPE_XOR 0x20

struct tiny_link_handle;

// Byte I/O of a handle: count moved, 0 (or -5 from a write) when nothing can move now.
typedef int32_t (*write_block_cb_t)(void* i_pUser, const void* i_pData, int32_t i_s32Len);
typedef int32_t (*read_block_cb_t)(void* i_pUser, void* o_pBuf, int32_t i_s32Len);
typedef void (*on_frame_cb_t)(tiny_link_handle* i_pHandle, uint16_t i_u16Uid, uint8_t* i_pData, int32_t i_s32Len);
// Frame callback of the acknowledged link: the id carries only its low 12 bits.
typedef void (*on_frame_hd_cb_t)(tiny_link_handle* i_pHandle, uint16_t i_u16Id, uint8_t* i_pData, int32_t i_s32Len);

// A plain record: the owner zero-fills it before tiny_init / tiny_hd_init.
typedef struct tiny_link_handle {
    void* pdata;
    write_block_cb_t write_func;
    read_block_cb_t read_func;
    // receive side (one reader thread)
    int32_t rx_len;
    uint8_t rx_state;  // 0 idle, 1 between uid and payload, 2 inside a frame
    uint16_t rx_crc;
    uint8_t rx_part;  // 1 uid, 2 payload
    uint8_t rx_prev;
    // The frame in progress ran past the buffer: the count stops there and the
    // frame is refused at its closing flag.
    uint8_t rx_over;
    uint32_t rx_errors;  // frames refused at their closing flag (too long, bad FCS, too short)
    // send side (under send_mutex)
    int32_t tx_index;
    const uint8_t* tx_data;
    int32_t tx_len;
    uint8_t tx_state;  // 0 idle, 2 uid/payload, 3 FCS, 4 closing flag
    uint16_t tx_crc;
    uint8_t tx_part;  // 0 after the flag, 1 uid, 2 payload, 3 trailer
    uint8_t tx_prev;
    uint8_t fcs_pos;  // 0xF8: FCS not started
    uint8_t locked;
    pthread_mutex_t send_mutex;
    uint8_t fcs_bits;  // 0 or 8
    on_frame_cb_t read_cb;
    on_frame_cb_t write_cb;
    uint8_t uid_enabled;
    // The uid bytes of the frame in progress: a resumed non-blocking send and a
    // frame received over several calls must not depend on the caller's stack.
    uint8_t tx_uid[2];
    uint8_t rx_uid[2];
    // acknowledged link (tiny_hd)
    on_frame_hd_cb_t on_frame_cb;
    uint8_t* rx_buffer;
    uint16_t rx_buffer_size;
    uint16_t timeout;  // ms to wait for an acknowledgement
    uint16_t uid;      // uid place of tiny_hd_run
    // The last frame delivered that asked for an acknowledgement: a resend of
    // it (our acknowledgement was lost) is acknowledged again, not delivered.
    uint8_t seen_valid;
    uint16_t seen_uid;
    int32_t seen_len;
    uint32_t seen_sum;
} tiny_link_handle;

int tiny_init(tiny_link_handle* i_pHandle, write_block_cb_t i_write, read_block_cb_t i_read, void* i_pUser);
int tiny_close(tiny_link_handle* i_pHandle);
int tiny_set_fcs_bits(tiny_link_handle* i_pHandle, uint8_t i_u8Bits);
void tiny_enable_uid(tiny_link_handle* i_pHandle, uint8_t i_u8On);
int tiny_set_callbacks(tiny_link_handle* i_pHandle, on_frame_cb_t i_onRead, on_frame_cb_t i_onSent);
int tiny_get_callbacks(tiny_link_handle* i_pHandle, on_frame_cb_t* o_pOnRead, on_frame_cb_t* o_pOnSent);
int tiny_lock(tiny_link_handle* i_pHandle, uint8_t i_u8Flags);
void tiny_unlock(tiny_link_handle* i_pHandle);

int tiny_send(tiny_link_handle* i_pHandle, const uint16_t* i_pUid, const uint8_t* i_pData, int32_t i_s32Len,
              uint8_t i_u8Flags);
int tiny_simple_send(tiny_link_handle* i_pHandle, const uint8_t* i_pData, int32_t i_s32Len);
int tiny_send_start(tiny_link_handle* i_pHandle, uint8_t i_u8Flags);
int tiny_send_buffer(tiny_link_handle* i_pHandle, const uint8_t* i_pData, int32_t i_s32Len, uint8_t i_u8Flags);
int tiny_send_end(tiny_link_handle* i_pHandle, uint8_t i_u8Flags);
int tiny_send_terminate(tiny_link_handle* i_pHandle);

int tiny_read(tiny_link_handle* i_pHandle, uint16_t* o_pUid, uint8_t* o_pBuf, int32_t i_s32Size, uint8_t i_u8Flags);
int tiny_simple_read(tiny_link_handle* i_pHandle, uint8_t* o_pBuf, int32_t i_s32Size);
int tiny_read_start(tiny_link_handle* i_pHandle, uint8_t i_u8Flags);
int tiny_read_buffer(tiny_link_handle* i_pHandle, uint8_t* o_pBuf, int32_t i_s32Size, uint8_t i_u8Flags);
int tiny_read_terminate(tiny_link_handle* i_pHandle);
// Receive path for callers that push the received bytes one at a time.
int tiny_on_rx_byte(tiny_link_handle* i_pHandle, uint8_t* o_pBuf, int32_t i_s32Size, uint8_t i_u8Byte);
