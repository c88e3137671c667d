// Write-only TFTP-style block transfer over a pair of frame operations:
// length-prefixed packets, 1024-byte blocks, one block in flight.
#pragma once

#include <stdint.h>

#include "BoardProfile.h"

#define TFTP_RRQ 1
#define TFTP_WRQ 2
#define TFTP_DATA 3
#define TFTP_ACK 4
#define TFTP_ERROR 5

#define TFTP_BLOCK_SIZE 1024
#define TFTP_FRAME_SIZE 1152
#define TFTP_NAME_SIZE 128
#define TFTP_ROOT_SIZE 256
// Header bytes of a data packet: p_len, opcode, block.
#define TFTP_DATA_HDR 6
// Where received files go, whatever the sender's root: the service's own
// directory, which no other account can write.
#define TFTP_RECEIVED_LEAF "received"
#define TFTP_RECEIVED_DIR QX_STATE_DIR "/" TFTP_RECEIVED_LEAF "/"
// TinyTFTP_DataCheck: the block stored last, sent again; anything else refused.
#define TFTP_BLOCK_AGAIN (-1)
#define TFTP_BLOCK_REFUSED (-2)

// A packet as it sits in a frame buffer; every field is little-endian on the
// wire, so the engine reads and writes them byte by byte.
typedef struct tftphdr {
    uint16_t p_len;  // bytes after this field
    uint16_t opcode;
    uint16_t block;  // data and acknowledgement; the request name starts here
} tftphdr;

// Frame operations the engine runs on.
typedef struct tftp_param {
    char root_path[TFTP_ROOT_SIZE];  // put in front of every file name sent
    void* user;
    int32_t (*read)(void* i_pUser, void* o_pBuf, int32_t i_s32Size);           // the frame's bytes; 0: none waiting
    int32_t (*write)(void* i_pUser, const void* i_pPacket, int32_t i_s32Len);  // bytes sent
} tftp_param;

typedef struct APP_TinyTFTP_t {
    tftp_param* user;
    char file_name[TFTP_NAME_SIZE];
    struct tftp_inner_t* inner;
} APP_TinyTFTP_t;

int APP_TinyTFTP_Create(APP_TinyTFTP_t** o_ppHandle, tftp_param* i_pParam);
void APP_TinyTFTP_Destroy(APP_TinyTFTP_t** io_ppHandle);
// Sends the file named in the handle: 1 sent, -1 error packet received, -4 local file or send failure.
int APP_TinyTFTP_WRQ(APP_TinyTFTP_t* i_pHandle);
// Receives one file into TFTP_RECEIVED_DIR (made 0700 when missing): 1 received,
// -2 time-out, -4 local file, name or send failure.
int APP_TinyTFTP_Xfer(APP_TinyTFTP_t* i_pHandle);

// Packet builders shared with the record-based sender; each returns the bytes to send.
int TinyTFTP_PutRequest(uint8_t* o_pBuf, int i_s32Size, uint16_t i_u16Opcode, const char* i_pName, const char* i_pMode);
int TinyTFTP_PutData(uint8_t* o_pBuf, uint16_t i_u16Block, const uint8_t* i_pData, int i_s32Len);
int TinyTFTP_PutAck(uint8_t* o_pBuf, uint16_t i_u16Block);
int TinyTFTP_PutError(uint8_t* o_pBuf);
uint16_t TinyTFTP_Get16(const uint8_t* i_pBuf, int i_s32Offset);
// A data packet of i_s32Len framed bytes, to a receiver that stored block
// i_u16Last last (i_bStored: it stored any). The data bytes to store when it is
// the next block and carries every byte it states (0 to 1024); TFTP_BLOCK_AGAIN
// for the block stored last; TFTP_BLOCK_REFUSED for anything else.
int TinyTFTP_DataCheck(const uint8_t* i_pPacket, int32_t i_s32Len, uint16_t i_u16Last, bool i_bStored);
