// YMODEM (1024-byte CRC-16 packets, batch header and closing packet) over the
// board's serial port, through g_pTaskUP4mcu's StUartRead1Byte/StUartWrite.
#pragma once

#include <stdint.h>

#define YM_SOH 0x01
#define YM_STX 0x02
#define YM_EOT 0x04
#define YM_ACK 0x06
#define YM_NAK 0x15
#define YM_CAN 0x18
#define YM_CRC 0x43   // 'C'

#define YM_PACKET_SIZE 128
#define YM_PACKET_1K_SIZE 1024
#define YM_FILE_NAME_MAX 110   // bytes of the name carried in packet 0

// Bounds of the sender (board time).
#define YM_FIRST_C_WAIT_MS 60000   // for the receiver's first 'C'
#define YM_ANSWER_WAIT_MS 10000    // for the answer to one send of a packet
#define YM_MAX_SENDS 10            // sends of any one packet before giving up
// The whole transfer, from the receiver's first 'C' on, is bounded too (see
// fymodem_send): one packet's full bound of sends, then per packet four sends
// at the line rate and a second for the receiver.
#define YM_TRANSFER_BASE_MS (YM_MAX_SENDS * YM_ANSWER_WAIT_MS + 20000)
#define YM_TRANSFER_SENDS 4
#define YM_TRANSFER_PACKET_MS 1000

// CRC-16/XMODEM of the payload (poly 0x1021, init 0, no reflection, no final XOR).
uint16_t ym_crc16(const unsigned char* i_pData, uint32_t i_u32Len);

// Sends one file. Returns size when the closing packet was acknowledged, or a
// negative value when the transfer was cancelled (either side), failed or
// gave up at one of the bounds above.
int32_t fymodem_send(unsigned char* i_pData, unsigned int i_u32Size, const char* i_pFilename);
// File bytes the receiver acknowledged in the last fymodem_send.
uint32_t fymodem_acked(void);
// The bound of a whole transfer of i_u32Size bytes at i_u32Baud bit/s, in ms.
uint64_t fymodem_transfer_bound_ms(uint32_t i_u32Size, uint32_t i_u32Baud);
// One packet: 128-byte payload for block 0, 1024 bytes otherwise.
int32_t ym_send_packet(unsigned char* i_pData, int i_s32Block);
// Packet 0 with name and size; a null name gives the closing packet.
int32_t ym_send_packet0(const char* i_pFilename, int i_s32Size);

// Receives one batch into buffer; filename gets at most 64 characters (and the
// zero), so it must hold 65. Returns the size of the last file of the batch,
// or -1 when the transfer was cancelled or failed.
int32_t fymodem_receive(unsigned char* o_pBuffer, unsigned int i_u32Capacity, char* o_pFilename);

// Optional progress callback of the sender: file bytes acknowledged so far.
typedef void (*ym_progress_fn)(uint32_t i_u32Done, uint32_t i_u32Total, void* i_pUser);
void fymodem_set_progress(ym_progress_fn i_fn, void* i_pUser);
