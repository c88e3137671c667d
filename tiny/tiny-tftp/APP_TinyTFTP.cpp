#include "APP_TinyTFTP.h"
#include "QxClock.h"

#include <assert.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "BoardFiles.h"
#include "BoardProfile.h"
#include "QxLog.h"

#define TFTP_PERIOD_MS 30000
#define TFTP_MAX_EXPIRY 29

#define TFTP_PART_SUFFIX ".part"

typedef struct tftp_inner_t {
    int32_t fd;
    uint8_t frame[TFTP_FRAME_SIZE];
    int32_t got;  // bytes the frame in frame[] really carried
    int32_t expiry;
    int32_t deadline;
    uint16_t block;
    uint32_t stored;  // blocks written to the file being received
    // A file being received is written under a temporary name and renamed
    // when complete, so a failed transfer leaves the old file as it was. Both
    // names are taken in the received directory as it was checked (dir_fd).
    int32_t dir_fd;
    char part_name[TFTP_NAME_SIZE + sizeof(TFTP_PART_SUFFIX)];
    char final_name[TFTP_NAME_SIZE];
} tftp_inner_t;

namespace {
int32_t NowMs() { return (int32_t)(uint32_t)Clock_MonoMs(); }

void Put16(uint8_t* o_pBuf, int i_s32Offset, uint16_t i_u16Value) {
    o_pBuf[i_s32Offset] = (uint8_t)(i_u16Value & 0xFF);
    o_pBuf[i_s32Offset + 1] = (uint8_t)(i_u16Value >> 8);
}

void Restart(tftp_inner_t* p) {
    p->expiry = 0;
    p->deadline = NowMs() + TFTP_PERIOD_MS;
}

// True when the deadline has passed; the period then counts and starts again.
bool Expired(tftp_inner_t* p) {
    int32_t now = NowMs();
    if ((int32_t)(now - p->deadline) < 0) return false;
    p->expiry++;
    p->deadline = now + TFTP_PERIOD_MS;
    return true;
}

void Yield() {
    Clock_SleepUs(0);
}

// Closes the open file; a file still being received is dropped.
void CloseFile(tftp_inner_t* p) {
    if (p->fd >= 0) close(p->fd);
    p->fd = -1;
    if (p->part_name[0] != '\0' && p->dir_fd >= 0) unlinkat(p->dir_fd, p->part_name, 0);
    p->part_name[0] = '\0';
    if (p->dir_fd >= 0) close(p->dir_fd);
    p->dir_fd = -1;
}

// The received directory, open: made 0700 when missing, and used only as a
// real directory of this account that no other account can write, so nothing
// another account does can decide where a received file lands. -1 otherwise.
int OpenReceivedDir() {
    char szDir[QX_PATH_BUF(sizeof(TFTP_RECEIVED_DIR))];
    Board_Path(szDir, sizeof(szDir), QX_STATE_DIR);
    int s32StateFd = open(szDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (s32StateFd < 0) {
        qx_printf("###### state directory %s cannot be opened (%s), nothing received\n", szDir, strerror(errno));
        return -1;
    }
    Board_Path(szDir, sizeof(szDir), TFTP_RECEIVED_DIR);
    int s32Fd = -1;
    if (mkdirat(s32StateFd, TFTP_RECEIVED_LEAF, 0700) == 0 || errno == EEXIST)
        s32Fd = openat(s32StateFd, TFTP_RECEIVED_LEAF, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(s32StateFd);
    struct stat st;
    if (s32Fd >= 0 && fstat(s32Fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid() &&
        (st.st_mode & (S_IWGRP | S_IWOTH)) == 0)
        return s32Fd;
    qx_printf("###### %s is not a directory of this service's own, nothing received there\n", szDir);
    if (s32Fd >= 0) close(s32Fd);
    return -1;
}

// Opens a new temporary file for a received file in the received directory;
// false when it cannot.
bool OpenPart(tftp_inner_t* p, const char* i_pName) {
    snprintf(p->final_name, sizeof(p->final_name), "%s", i_pName);
    snprintf(p->part_name, sizeof(p->part_name), "%s%s", i_pName, TFTP_PART_SUFFIX);
    p->dir_fd = OpenReceivedDir();
    if (p->dir_fd >= 0) {
        // A part left by a transfer cut short is our own: only this service writes here.
        unlinkat(p->dir_fd, p->part_name, 0);
        p->fd = openat(p->dir_fd, p->part_name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (p->fd >= 0) return true;
        qx_printf("###### received file [%s] cannot be created: %s\n", p->part_name, strerror(errno));
    }
    p->part_name[0] = '\0';
    CloseFile(p);
    return false;
}

// The last block is in: the file takes its name. False when that fails (the temporary file is dropped).
bool CommitPart(tftp_inner_t* p) {
    bool bOk = fsync(p->fd) == 0;
    bOk = close(p->fd) == 0 && bOk;
    p->fd = -1;
    bOk = bOk && renameat(p->dir_fd, p->part_name, p->dir_fd, p->final_name) == 0;
    if (bOk) {
        fsync(p->dir_fd);  // the new name survives a power cut
        p->part_name[0] = '\0';
    } else {
        char szPath[QX_PATH_BUF(sizeof(TFTP_RECEIVED_DIR) + TFTP_NAME_SIZE)];
        Board_Path(szPath, sizeof(szPath), TFTP_RECEIVED_DIR);
        qx_printf("###### received file [%s%s] could not be stored\n", szPath, p->final_name);
    }
    CloseFile(p);
    return bOk;
}

// The engine's read: the frame's bytes as they came, the rest of the buffer
// cleared so nothing of an earlier frame is ever taken for this one.
int32_t ReadFrame(tftp_param* param, tftp_inner_t* p) {
    int32_t s32Got = param->read(param->user, p->frame, TFTP_FRAME_SIZE);
    p->got = s32Got < 0 ? 0 : (s32Got > TFTP_FRAME_SIZE ? TFTP_FRAME_SIZE : s32Got);
    if (s32Got > 0) memset(p->frame + p->got, 0, TFTP_FRAME_SIZE - p->got);
    return s32Got;
}

int SendError(APP_TinyTFTP_t* h) {
    uint8_t buf[8];
    int n = TinyTFTP_PutError(buf);
    return h->user->write(h->user->user, buf, n);
}

int SendAck(APP_TinyTFTP_t* h, uint16_t i_u16Block) {
    uint8_t buf[8];
    int n = TinyTFTP_PutAck(buf, i_u16Block);
    int s32Ret = h->user->write(h->user->user, buf, n);
    if (s32Ret != n) {
        qx_printf("IOException:%s:%d:send fail ret_size=[%d]\n", "tftphdr_send_ack", 269, s32Ret);
        return -1;
    }
    return 0;
}

// The sender's wait for a packet: it never gives up, it only says so every 30 periods.
bool SenderGotPacket(tftp_param* param, tftp_inner_t* p) {
    if (ReadFrame(param, p) > 0) return true;
    if (p->expiry > TFTP_MAX_EXPIRY) {
        qx_printf("TimeOutException:wait for data timeout, pre_block=[%u]\n", p->block);
        p->expiry = 0;
    } else if (!Expired(p)) {
        Yield();
    }
    return false;
}

// A peer names a file inside the root, never a path out of it.
bool SafeName(const char* i_pName) {
    return i_pName[0] != '\0' && strchr(i_pName, '/') == nullptr && strstr(i_pName, "..") == nullptr;
}
}  // namespace

uint16_t TinyTFTP_Get16(const uint8_t* i_pBuf, int i_s32Offset) {
    return (uint16_t)(i_pBuf[i_s32Offset] | (i_pBuf[i_s32Offset + 1] << 8));
}

int TinyTFTP_DataCheck(const uint8_t* i_pPacket, int32_t i_s32Len, uint16_t i_u16Last, bool i_bStored) {
    if (i_pPacket == nullptr || i_s32Len < TFTP_DATA_HDR) return TFTP_BLOCK_REFUSED;
    int nData = (int)TinyTFTP_Get16(i_pPacket, 0) - 4;
    // More than a block, or more than the frame carries: corrupt.
    if (nData < 0 || nData > TFTP_BLOCK_SIZE || TFTP_DATA_HDR + nData > i_s32Len) return TFTP_BLOCK_REFUSED;
    uint16_t u16Block = TinyTFTP_Get16(i_pPacket, 4);
    if (u16Block == (uint16_t)(i_u16Last + 1)) return nData;
    if (i_bStored && u16Block == i_u16Last) return TFTP_BLOCK_AGAIN;
    return TFTP_BLOCK_REFUSED;
}

int TinyTFTP_PutRequest(uint8_t* o_pBuf, int i_s32Size, uint16_t i_u16Opcode, const char* i_pName,
                        const char* i_pMode) {
    int nName = (int)strlen(i_pName);
    int nMode = (int)strlen(i_pMode);
    int nTotal = 4 + nName + 1 + nMode + 1;
    if (nTotal > i_s32Size) return -1;
    Put16(o_pBuf, 0, (uint16_t)(nTotal - 2));
    Put16(o_pBuf, 2, i_u16Opcode);
    memcpy(o_pBuf + 4, i_pName, nName + 1);
    memcpy(o_pBuf + 4 + nName + 1, i_pMode, nMode + 1);
    return nTotal;
}

int TinyTFTP_PutData(uint8_t* o_pBuf, uint16_t i_u16Block, const uint8_t* i_pData, int i_s32Len) {
    Put16(o_pBuf, 0, (uint16_t)(i_s32Len + 4));
    Put16(o_pBuf, 2, TFTP_DATA);
    Put16(o_pBuf, 4, i_u16Block);
    if (i_s32Len > 0) memcpy(o_pBuf + TFTP_DATA_HDR, i_pData, i_s32Len);
    return i_s32Len + TFTP_DATA_HDR;
}

int TinyTFTP_PutAck(uint8_t* o_pBuf, uint16_t i_u16Block) {
    Put16(o_pBuf, 0, 4);
    Put16(o_pBuf, 2, TFTP_ACK);
    Put16(o_pBuf, 4, i_u16Block);
    return 6;
}

int TinyTFTP_PutError(uint8_t* o_pBuf) {
    Put16(o_pBuf, 0, 5);
    Put16(o_pBuf, 2, TFTP_ERROR);
    Put16(o_pBuf, 4, 1);
    o_pBuf[6] = 0;
    return 7;
}

int APP_TinyTFTP_Create(APP_TinyTFTP_t** o_ppHandle, tftp_param* i_pParam) {
    if (o_ppHandle == nullptr || i_pParam == nullptr) return -1;
    APP_TinyTFTP_t* h = (APP_TinyTFTP_t*)calloc(1, sizeof(APP_TinyTFTP_t));
    tftp_inner_t* p = (tftp_inner_t*)calloc(1, sizeof(tftp_inner_t));
    if (h == nullptr || p == nullptr) {
        free(h);
        free(p);
        return -3;
    }
    p->fd = -1;  // zero would be standard input
    p->dir_fd = -1;
    h->user = i_pParam;
    h->inner = p;
    *o_ppHandle = h;
    return 1;
}

void APP_TinyTFTP_Destroy(APP_TinyTFTP_t** io_ppHandle) {
    assert(((void*)0) != io_ppHandle && ((void*)0) != *io_ppHandle);
    APP_TinyTFTP_t* h = *io_ppHandle;
    if (h->inner != nullptr) CloseFile(h->inner);
    free(h->inner);
    free(h);
    *io_ppHandle = nullptr;
}

namespace {
// The receiver's step results besides the calls' own (1, -2, -4): read on, or
// read on without restarting the wait (a packet that was ignored).
enum { XFER_ON = 0, XFER_IGNORED = 2 };

// The sender: the file's name in a write request. Returns 0, or -4 when it cannot be sent.
int SendName(APP_TinyTFTP_t* handle, const char* i_pName) {
    tftp_param* param = handle->user;
    uint8_t packet[TFTP_FRAME_SIZE];
    int nLen = TinyTFTP_PutRequest(packet, sizeof(packet), TFTP_WRQ, i_pName, "octet");
    int s32Ret = param->write(param->user, packet, nLen);
    if (s32Ret != nLen) {
        qx_printf("IOException:%s:%d:send fail ret_size=[%d]\n", "tftphdr_send_filename", 206, s32Ret);
        return -4;
    }
    qx_printf("send file name=[%s]\n", i_pName);
    return 0;
}

// The sender: the next block once the last one is acknowledged. Returns
// XFER_ON, 1 after the last block, -1 on the peer's error, -4 on a local one.
int SendNextBlock(APP_TinyTFTP_t* handle) {
    tftp_inner_t* p = handle->inner;
    tftp_param* param = handle->user;
    uint16_t u16Op = TinyTFTP_Get16(p->frame, 2);
    if (u16Op == TFTP_ERROR) {
        CloseFile(p);
        return -1;
    }
    if (u16Op != TFTP_ACK || TinyTFTP_Get16(p->frame, 4) != p->block) return XFER_IGNORED;
    p->block++;
    uint8_t packet[TFTP_FRAME_SIZE];
    ssize_t nRead = read(p->fd, packet + TFTP_DATA_HDR, TFTP_BLOCK_SIZE);
    if (nRead < 0) {
        qx_printf("IOException:%s:%d:read fail ret_size=[%d]\n", "tftphdr_send_data", 223, (int)nRead);
        CloseFile(p);
        return -4;
    }
    int nLen = TinyTFTP_PutData(packet, p->block, packet + TFTP_DATA_HDR, (int)nRead);
    int s32Ret = param->write(param->user, packet, nLen);
    if (s32Ret != nLen) {
        qx_printf("IOException:%s:%d:send fail ret_size=[%d]\n", "tftphdr_send_data", 246, s32Ret);
        CloseFile(p);
        return -4;
    }
    if (nRead < TFTP_BLOCK_SIZE) {
        CloseFile(p);
        return 1;
    }
    if (p->block % 16 == 0) qx_printf("[%04x]\n", p->block);
    return XFER_ON;
}
}  // namespace

int APP_TinyTFTP_WRQ(APP_TinyTFTP_t* handle) {
    assert(((void*)0) != handle);
    assert(((void*)0) != handle->user);
    assert(((void*)0) != handle->inner);
    tftp_inner_t* p = handle->inner;
    tftp_param* param = handle->user;
    CloseFile(p);
    p->block = 0;
    Restart(p);

    // The peer's go-ahead: any acknowledgement.
    for (;;) {
        if (!SenderGotPacket(param, p)) continue;
        uint16_t u16Op = TinyTFTP_Get16(p->frame, 2);
        if (u16Op == TFTP_ACK) break;
        if (u16Op == TFTP_ERROR) return -1;
    }

    char szName[TFTP_NAME_SIZE + 1];
    memcpy(szName, handle->file_name, TFTP_NAME_SIZE);
    szName[TFTP_NAME_SIZE] = '\0';
    if (SendName(handle, szName) != 0) return -4;

    char szPath[QX_PATH_BUF(256)];
    // Read-only: a missing file is an error, never an empty file created and reported as sent;
    // nor is a link, FIFO or device sent (or waited on).
    if (Board_Snprintf(szPath, sizeof(szPath), "%s%s", param->root_path, szName) < 0 ||
        (p->fd = Board_OpenRegular(szPath)) < 0) {
        p->fd = -1;
        SendError(handle);
        return -4;
    }
    Restart(p);
    p->block = 0;
    qx_printf("start transfer file, file_path=[%s]\n", szPath);

    for (;;) {
        if (!SenderGotPacket(param, p)) continue;
        int s32Step = SendNextBlock(handle);
        if (s32Step == XFER_IGNORED) continue;
        if (s32Step != XFER_ON) return s32Step;
        Restart(p);
    }
}

namespace {
// The receiver, nothing came: the last acknowledgement again each time a wait
// expires, until too many did. Returns XFER_ON, -2 or -4.
int XferSilence(APP_TinyTFTP_t* handle) {
    tftp_inner_t* p = handle->inner;
    if (p->expiry > TFTP_MAX_EXPIRY) {
        CloseFile(p);
        return -2;
    }
    if (Expired(p)) {
        if (SendAck(handle, p->block) != 0) {
            CloseFile(p);
            return -4;
        }
    } else {
        Yield();
    }
    return XFER_ON;
}

// The receiver, a read or write request: the named file becomes the part
// being received. Returns XFER_ON or -4.
int XferRequest(APP_TinyTFTP_t* handle) {
    tftp_inner_t* p = handle->inner;
    p->block = 0;
    p->stored = 0;
    char szName[TFTP_NAME_SIZE];
    // The name ends at its zero within the packet, or is cut at the handle's size.
    int nMax = (int)sizeof(szName) - 1;
    int nAvail = p->got - 4;
    int i = 0;
    for (; i < nMax && i < nAvail && p->frame[4 + i] != 0; i++) szName[i] = (char)p->frame[4 + i];
    szName[i] = '\0';
    CloseFile(p);
    if (!SafeName(szName) || !OpenPart(p, szName)) {
        if (!SafeName(szName)) qx_printf("###### refused file name [%s]: it leaves the root\n", szName);
        p->fd = -1;
        SendError(handle);
        return -4;
    }
    memset(handle->file_name, 0, sizeof(handle->file_name));
    snprintf(handle->file_name, sizeof(handle->file_name), "%s", szName);
    if (SendAck(handle, 0) != 0) {
        CloseFile(p);
        return -4;
    }
    return XFER_ON;
}

// The receiver, a data packet: the next block acknowledged and written; the
// one stored last acknowledged again (our acknowledgement was lost), not
// written; anything else neither. Returns XFER_ON, XFER_IGNORED, 1 once the
// file is stored, or -4.
int XferData(APP_TinyTFTP_t* handle) {
    tftp_inner_t* p = handle->inner;
    uint16_t u16Block = TinyTFTP_Get16(p->frame, 4);
    int nData = TinyTFTP_DataCheck(p->frame, p->got, p->block, p->stored > 0);
    if (nData == TFTP_BLOCK_AGAIN) {
        qx_printf("block [%u] again: acknowledged again, not written\n", u16Block);
        if (SendAck(handle, p->block) == 0) return XFER_IGNORED;
        CloseFile(p);
        return -4;
    }
    if (nData < 0) {
        int nStated = (int)TinyTFTP_Get16(p->frame, 0) - 4, nCarried = p->got - TFTP_DATA_HDR;
        if (nStated < 0 || nStated > TFTP_BLOCK_SIZE || nStated > nCarried)
            qx_printf("###### block [%u] refused: it states %d data bytes, its frame carries %d\n", u16Block, nStated,
                      nCarried < 0 ? 0 : nCarried);
        else
            qx_printf("###### block [%u] refused: block [%u] expected\n", u16Block, (uint16_t)(p->block + 1));
        return XFER_IGNORED;
    }
    p->block = u16Block;
    p->stored++;
    if (p->block == 1)
        qx_printf("first block file_path=[%s]\n", handle->file_name);
    else if (p->block % 16 == 0)
        qx_printf("[%04x]\n", p->block);
    if (SendAck(handle, p->block) != 0) {
        CloseFile(p);
        return -4;
    }
    if (nData > 0 && write(p->fd, p->frame + TFTP_DATA_HDR, nData) != nData) {
        CloseFile(p);
        SendError(handle);
        return -4;
    }
    if (nData < TFTP_BLOCK_SIZE) {
        qx_puts("transfer complete");
        bool bStored = CommitPart(p);
        memset(p, 0, sizeof(*p));
        p->fd = -1;
        p->dir_fd = -1;
        return bStored ? 1 : -4;
    }
    return XFER_ON;
}
}  // namespace

int APP_TinyTFTP_Xfer(APP_TinyTFTP_t* handle) {
    assert(((void*)0) != handle);
    assert(((void*)0) != handle->user);
    assert(((void*)0) != handle->inner);
    tftp_inner_t* p = handle->inner;
    tftp_param* param = handle->user;
    Restart(p);
    for (;;) {
        int32_t s32Got = ReadFrame(param, p);
        if (s32Got <= 0) {
            int s32Step = XferSilence(handle);
            if (s32Step != XFER_ON) return s32Step;
            continue;
        }
        uint16_t u16Op = TinyTFTP_Get16(p->frame, 2);
        int s32Step = XFER_ON;
        if (u16Op == TFTP_RRQ || u16Op == TFTP_WRQ)
            s32Step = XferRequest(handle);
        else if (u16Op == TFTP_DATA && p->fd >= 0)
            s32Step = XferData(handle);
        if (s32Step == XFER_IGNORED) continue;
        if (s32Step != XFER_ON) return s32Step;
        Restart(p);
    }
}
