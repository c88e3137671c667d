// Glue between the block-transfer engine and the acknowledged link: one
// process-wide slot hands received frames, in order, from the link's receive
// thread to the engine's read operation.
#pragma once

#include <stdint.h>

#include "tiny_hd.h"

#define TFTP_SLOT_SIZE 1056
#define TFTP_SLOT_FRAMES 8

// Write operation: the packet in one acknowledged frame on the link given as
// user data; the packet length once acknowledged, else the link's result.
int32_t s_tftp_frame(void* i_pUser, const void* i_pPacket, int32_t i_s32Len);
// Read operation: the waiting frame (its length returned, at most i_s32Size),
// or 0 when none came within a short wait.
int32_t r_tftp_frame(void* i_pUser, void* o_pBuf, int32_t i_s32Size);
// From a frame callback: puts the frame in the slot behind those waiting;
// -1 (the frame dropped, none overwritten) when the slot is full.
int recv_on_frame(tiny_link_handle* i_pHandle, const uint8_t* i_pData, int32_t i_s32Len);
// Puts the bytes in the slot only when no frame waits there.
int from_comm_to_tftp(const uint8_t* i_pData, int32_t i_s32Len);
// Pumps the link until it is closed.
void* recv_task(void* i_pHandle);
// True for a frame payload that is a bare engine packet rather than a
// channel record: its length prefix matches the frame and its opcode is 1 to 5.
// (A record starts with a 32-bit type below 65536, so its bytes 2-3 are zero.)
bool TinyTFTP_IsPacket(const uint8_t* i_pData, int32_t i_s32Len);
