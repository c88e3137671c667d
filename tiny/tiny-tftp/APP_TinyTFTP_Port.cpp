#include "APP_TinyTFTP_Port.h"

#include <pthread.h>
#include <string.h>
#include <time.h>

#include "APP_TinyTFTP.h"
#include "QxLog.h"

namespace {
pthread_mutex_t tftp_lock = PTHREAD_MUTEX_INITIALIZER;
int32_t tftp_flag = 0;
uint8_t tftp_buf[TFTP_SLOT_SIZE];
}  // namespace

int32_t s_tftp_frame(void* i_pUser, const void* i_pPacket, int32_t i_s32Len) {
    int s32Ret = tiny_send_wait_ack((tiny_link_handle*)i_pUser, (const uint8_t*)i_pPacket, (uint16_t)i_s32Len);
    // The engine counts a packet as sent when all its bytes went out; the link says 1 for that.
    return s32Ret == 1 ? i_s32Len : (s32Ret < 0 ? s32Ret : -1);
}

int32_t r_tftp_frame(void* /*i_pUser*/, void* o_pBuf, int32_t i_s32Size) {
    // The engine never waits for the slot: a busy slot is "nothing yet".
    if (pthread_mutex_trylock(&tftp_lock) != 0) return 0;
    int32_t s32Ret = 0;
    if (tftp_flag) {
        int32_t n = i_s32Size < TFTP_SLOT_SIZE ? i_s32Size : TFTP_SLOT_SIZE;
        memcpy(o_pBuf, tftp_buf, n);
        tftp_flag = 0;
        s32Ret = i_s32Size;
    }
    pthread_mutex_unlock(&tftp_lock);
    return s32Ret;
}

int recv_on_frame(tiny_link_handle* /*i_pHandle*/, const uint8_t* i_pData, int32_t i_s32Len) {
    int s32Ret = pthread_mutex_lock(&tftp_lock);
    if (s32Ret != 0) return s32Ret;
    tftp_flag = 1;
    int32_t n = i_s32Len < TFTP_SLOT_SIZE ? (i_s32Len > 0 ? i_s32Len : 0) : TFTP_SLOT_SIZE;
    memset(tftp_buf, 0, sizeof(tftp_buf));
    if (n > 0) memcpy(tftp_buf, i_pData, n);
    qx_printf("In static void recv_on_frame ....[%x][%x][%x][%x][%x][%x]\n", tftp_buf[0], tftp_buf[1], tftp_buf[2],
              tftp_buf[3], tftp_buf[4], tftp_buf[5]);
    pthread_mutex_unlock(&tftp_lock);
    return 0;
}

int from_comm_to_tftp(const uint8_t* i_pData, int32_t i_s32Len) {
    pthread_mutex_lock(&tftp_lock);
    if (!tftp_flag) {
        tftp_flag = 1;
        int32_t n = i_s32Len < TFTP_SLOT_SIZE ? (i_s32Len > 0 ? i_s32Len : 0) : TFTP_SLOT_SIZE;
        memset(tftp_buf, 0, sizeof(tftp_buf));
        if (n > 0) memcpy(tftp_buf, i_pData, n);
    }
    qx_printf("\n");
    pthread_mutex_unlock(&tftp_lock);
    return 0;
}

void* recv_task(void* i_pHandle) {
    tiny_link_handle* h = (tiny_link_handle*)i_pHandle;
    while (h->read_func != nullptr) {
        tiny_hd_run(h);
        struct timespec ts = {0, 1000000};
        nanosleep(&ts, nullptr);
    }
    return nullptr;
}

bool TinyTFTP_IsPacket(const uint8_t* i_pData, int32_t i_s32Len) {
    if (i_pData == nullptr || i_s32Len < 4) return false;
    uint16_t u16Len = TinyTFTP_Get16(i_pData, 0);
    uint16_t u16Op = TinyTFTP_Get16(i_pData, 2);
    return u16Len + 2 == i_s32Len && u16Op >= TFTP_RRQ && u16Op <= TFTP_ERROR;
}
