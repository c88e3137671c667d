#include "tiny_hd.h"

#include "BoardProfile.h"
#include "QxLog.h"

namespace {
uint32_t PayloadSum(const uint8_t* i_pData, int32_t i_s32Len) {
    uint32_t u32Sum = 2166136261u;  // FNV-1a
    for (int32_t i = 0; i < i_s32Len; i++) u32Sum = (u32Sum ^ i_pData[i]) * 16777619u;
    return u32Sum;
}

// True for a resend of the frame delivered last; remembers this one otherwise.
bool SeenBefore(tiny_link_handle* h, uint16_t i_u16Uid, const uint8_t* i_pData, int32_t i_s32Len) {
    uint32_t u32Sum = PayloadSum(i_pData, i_s32Len);
    bool bSeen = h->seen_valid && h->seen_uid == i_u16Uid && h->seen_len == i_s32Len && h->seen_sum == u32Sum;
    h->seen_valid = 1;
    h->seen_uid = i_u16Uid;
    h->seen_len = i_s32Len;
    h->seen_sum = u32Sum;
    return bSeen;
}
}  // namespace

int tiny_hd_init(tiny_link_handle* i_pHandle, const tiny_hd_init_params* i_pParams) {
    if (i_pHandle == nullptr || i_pParams == nullptr || i_pParams->on_frame_cb == nullptr ||
        i_pParams->inbuf == nullptr || i_pParams->inbuf_size == 0)
        return -1;
    tiny_list_init();
    if (tiny_init(i_pHandle, i_pParams->write_func, i_pParams->read_func, i_pParams->user_data) != 0) return -1;
    tiny_enable_uid(i_pHandle, 1);
    i_pHandle->rx_buffer = i_pParams->inbuf;
    i_pHandle->rx_buffer_size = i_pParams->inbuf_size;
    i_pHandle->on_frame_cb = i_pParams->on_frame_cb;
    tiny_set_callbacks(i_pHandle, tiny_hd_on_frame, nullptr);
    uint16_t u16Timeout = (uint16_t)i_pParams->timeout;
    i_pHandle->timeout = u16Timeout != 0 ? u16Timeout : 1000;
    i_pHandle->seen_valid = 0;
    return 1;
}

int tiny_hd_run(tiny_link_handle* i_pHandle) {
    return tiny_read(i_pHandle, &i_pHandle->uid, i_pHandle->rx_buffer, i_pHandle->rx_buffer_size, 0);
}

int tiny_hd_close(tiny_link_handle* i_pHandle) {
    tiny_decline_requests();
    return tiny_close(i_pHandle);
}

int tiny_send_wait_ack(tiny_link_handle* i_pHandle, const uint8_t* i_pData, uint16_t i_u16Len) {
    tiny_hd_request request;
    tiny_put_request(&request);
    uint16_t u16Uid = (uint16_t)(request.id | TINY_HD_ACK_REQUEST);
    int s32Result = -2;
    for (int n = 0; n < 3; n++) {
        qx_eprintf("function [%s], line = [%d]\n", "tiny_send_wait_ack", 166);
        int s32Ret = tiny_send(i_pHandle, &u16Uid, i_pData, i_u16Len, TINY_FLAG_WAIT_FOREVER);
        qx_printf("tiny_send_wait_ack tiny_send result [%d]\n", s32Ret);
        if (s32Ret < 1) {
            tiny_remove_request(&request);
            return s32Ret;
        }
        // Asleep until the receive thread commits the request (or close declines it).
        uint8_t u8State = tiny_wait_request(&request, (uint64_t)i_pHandle->timeout * 1000);
        if (u8State == TINY_RQ_DECLINED) {
            s32Result = -1;
            break;
        }
        if (u8State == TINY_RQ_ACKED) {
            s32Result = 1;
            break;
        }
        qx_printf("tiny_send_wait_ack Retry count [%d]\n", n);
        s32Result = -2;
    }
    tiny_remove_request(&request);
    if (request.state.load() == TINY_RQ_DECLINED) s32Result = -1;
    return s32Result;
}

int tiny_send_no_wait(tiny_link_handle* i_pHandle, const uint8_t* i_pData, int32_t i_s32Len) {
    uint16_t u16Uid = TINY_HD_NO_WAIT;
    return tiny_send(i_pHandle, &u16Uid, i_pData, i_s32Len, TINY_FLAG_WAIT_FOREVER);
}

void tiny_hd_on_frame(tiny_link_handle* i_pHandle, uint16_t i_u16Uid, uint8_t* i_pData, int32_t i_s32Len) {
    if (i_u16Uid & TINY_HD_ACK) {
        tiny_commit_request((uint16_t)(i_u16Uid & TINY_HD_ID_MASK));
        return;
    }
    if (i_u16Uid & TINY_HD_ACK_REQUEST) {
        uint16_t u16Ack = (uint16_t)(i_u16Uid | TINY_HD_ACK);
        uint8_t u8Zero = 0;
        // Not acknowledged, not delivered: the peer's retransmission brings it again.
        if (tiny_send(i_pHandle, &u16Ack, &u8Zero, 1, TINY_FLAG_WAIT_FOREVER) < 1) return;
        if (SeenBefore(i_pHandle, i_u16Uid, i_pData, i_s32Len)) {
            qx_printf("tiny_hd: uid [%04x] repeated, acknowledged again, not delivered\n", i_u16Uid);
            return;
        }
    }
    if (i_pHandle->on_frame_cb != nullptr)
        i_pHandle->on_frame_cb(i_pHandle, (uint16_t)(i_u16Uid & TINY_HD_ID_MASK), i_pData, i_s32Len);
}
