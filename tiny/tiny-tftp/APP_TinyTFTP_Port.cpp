#include "APP_TinyTFTP_Port.h"
#include "QxClock.h"

#include <pthread.h>
#include <string.h>
#include <time.h>

#include "APP_TinyTFTP.h"
#include "BoardProfile.h"
#include "QxLog.h"

namespace {
pthread_mutex_t tftp_lock = PTHREAD_MUTEX_INITIALIZER;
// Signalled when a frame is put in the slot.
pthread_cond_t tftp_cond;
pthread_once_t tftp_condOnce = PTHREAD_ONCE_INIT;
// Frames waiting, oldest at tftp_head. The slot holds a few, so a frame that
// arrives before the engine took the previous one waits its turn instead of
// replacing it, and the receive thread never has to wait for the engine (which
// may itself be waiting for an acknowledgement only that thread can see).
int32_t tftp_flag = 0;
int32_t tftp_head = 0;
uint8_t tftp_buf[TFTP_SLOT_FRAMES][TFTP_SLOT_SIZE];
// The bytes each frame really brought: the engine checks a packet's stated length against them.
int32_t tftp_len[TFTP_SLOT_FRAMES];

// The engine's read asks again after this long: it has its own periods to keep.
const uint64_t TFTP_READ_WAIT_US = 100000;

void InitCond() { tiny_cond_init_monotonic(&tftp_cond); }

// Under tftp_lock: where the frame went, or none when the slot is full.
const uint8_t* PutFrame(const uint8_t* i_pData, int32_t i_s32Len) {
    if (tftp_flag >= TFTP_SLOT_FRAMES) return nullptr;
    int32_t s32Index = (tftp_head + tftp_flag) % TFTP_SLOT_FRAMES;
    uint8_t* pSlot = tftp_buf[s32Index];
    int32_t n = i_s32Len < TFTP_SLOT_SIZE ? (i_s32Len > 0 ? i_s32Len : 0) : TFTP_SLOT_SIZE;
    memset(pSlot, 0, TFTP_SLOT_SIZE);
    if (n > 0) memcpy(pSlot, i_pData, n);
    tftp_len[s32Index] = n;
    tftp_flag++;
    pthread_once(&tftp_condOnce, InitCond);
    Clock_CondBroadcast(&tftp_cond);
    return pSlot;
}
}  // namespace

int32_t s_tftp_frame(void* i_pUser, const void* i_pPacket, int32_t i_s32Len) {
    int s32Ret = tiny_send_wait_ack((tiny_link_handle*)i_pUser, (const uint8_t*)i_pPacket, (uint16_t)i_s32Len);
    // The engine counts a packet as sent when all its bytes went out; the link says 1 for that.
    return s32Ret == 1 ? i_s32Len : (s32Ret < 0 ? s32Ret : -1);
}

int32_t r_tftp_frame(void* /*i_pUser*/, void* o_pBuf, int32_t i_s32Size) {
    // Asleep on the slot rather than spinning: the engine's thread has nothing else to do.
    pthread_once(&tftp_condOnce, InitCond);
    pthread_mutex_lock(&tftp_lock);
    struct timespec deadline;
    tiny_deadline_in(&deadline, TFTP_READ_WAIT_US);
    while (tftp_flag == 0)
        if (Clock_CondTimedWait(&tftp_cond, &tftp_lock, &deadline) != 0) break;
    int32_t s32Ret = 0;
    if (tftp_flag > 0) {
        int32_t n = i_s32Size < TFTP_SLOT_SIZE ? i_s32Size : TFTP_SLOT_SIZE;
        memcpy(o_pBuf, tftp_buf[tftp_head], n);
        s32Ret = tftp_len[tftp_head] < n ? tftp_len[tftp_head] : n;
        tftp_head = (tftp_head + 1) % TFTP_SLOT_FRAMES;
        tftp_flag--;
    }
    pthread_mutex_unlock(&tftp_lock);
    return s32Ret;
}

int recv_on_frame(tiny_link_handle* /*i_pHandle*/, const uint8_t* i_pData, int32_t i_s32Len) {
    int s32Ret = pthread_mutex_lock(&tftp_lock);
    if (s32Ret != 0) return s32Ret;
    // A frame not taken yet is never overwritten.
    const uint8_t* p = PutFrame(i_pData, i_s32Len);
    if (p != nullptr)
        qx_printf("In static void recv_on_frame ....[%x][%x][%x][%x][%x][%x]\n", p[0], p[1], p[2], p[3], p[4], p[5]);
    else
        qx_printf("###### engine slot full: %d frames not taken yet, the new one is dropped\n", TFTP_SLOT_FRAMES);
    pthread_mutex_unlock(&tftp_lock);
    return p != nullptr ? 0 : -1;
}

int from_comm_to_tftp(const uint8_t* i_pData, int32_t i_s32Len) {
    pthread_mutex_lock(&tftp_lock);
    if (tftp_flag == 0) PutFrame(i_pData, i_s32Len);
    qx_printf("\n");
    pthread_mutex_unlock(&tftp_lock);
    return 0;
}

void* recv_task(void* i_pHandle) {
    tiny_link_handle* h = (tiny_link_handle*)i_pHandle;
    while (h->read_func != nullptr) {
        tiny_hd_run(h);
        Clock_SleepUs(1000);
    }
    return nullptr;
}

bool TinyTFTP_IsPacket(const uint8_t* i_pData, int32_t i_s32Len) {
    if (i_pData == nullptr || i_s32Len < 4) return false;
    uint16_t u16Len = TinyTFTP_Get16(i_pData, 0);
    uint16_t u16Op = TinyTFTP_Get16(i_pData, 2);
    return u16Len + 2 == i_s32Len && u16Op >= TFTP_RRQ && u16Op <= TFTP_ERROR;
}
