#include "tiny_layer2.h"
#include "QxClock.h"

#include <time.h>

#include "QxLog.h"

namespace {
// Blocking waits give the processor away for a moment between attempts, so
// a frame goes out as fast as the write operation takes bytes.
void TinyYield() {
    Clock_SleepUs(0);
}

int32_t WriteByte(tiny_link_handle* h, uint8_t i_u8Byte) { return h->write_func(h->pdata, &i_u8Byte, 1); }

int32_t ReadByte(tiny_link_handle* h, uint8_t* o_pByte) { return h->read_func(h->pdata, o_pByte, 1); }

bool NothingWritten(int32_t i_s32Ret) { return i_s32Ret == 0 || i_s32Ret == TINY_ERR_BUSY; }

// The raw byte to write next for b: the escape first, then b XOR 0x20.
uint8_t Stuffed(uint8_t i_u8Prev, uint8_t i_u8Byte) {
    if (i_u8Prev == TINY_ESCAPE_BYTE) return (uint8_t)(i_u8Byte ^ TINY_ESCAPE_XOR);
    if (i_u8Byte == TINY_ESCAPE_BYTE || i_u8Byte == TINY_FLAG_BYTE) return TINY_ESCAPE_BYTE;
    return i_u8Byte;
}

uint16_t RxUid(const tiny_link_handle* h) { return (uint16_t)(h->rx_uid[0] | (h->rx_uid[1] << 8)); }

void RxBegin(tiny_link_handle* h) {
    h->rx_len = 0;
    h->rx_over = 0;
}

// A byte of the frame: stored while the buffer has room. Past it nothing is
// stored or counted (a line without flags would otherwise run the count over).
void RxTake(tiny_link_handle* h, uint8_t* o_pBuf, int32_t i_s32Size, uint8_t i_u8Value) {
    if (h->rx_len < i_s32Size) {
        o_pBuf[h->rx_len++] = i_u8Value;
    } else {
        h->rx_over = 1;
    }
}

int32_t RxCheckEnd(tiny_link_handle* h, int32_t i_s32Size) {
    int32_t s32FcsBytes = h->fcs_bits / 8;
    if (h->rx_over) return TINY_ERR_DATA_TOO_LARGE;
    if (h->rx_len < s32FcsBytes) return TINY_ERR_FAILED;
    h->rx_len -= s32FcsBytes;
    if (h->rx_len >= i_s32Size) return TINY_ERR_DATA_TOO_LARGE;
    if (h->fcs_bits == 8 && (h->rx_crc & 0xFF) != 0) return TINY_ERR_FAILED;
    return h->rx_len;
}

// The closing flag: the frame's length without its FCS, or why it is refused.
int32_t RxFrameEnd(tiny_link_handle* h, int32_t i_s32Size) {
    h->rx_state = 0;
    int32_t s32Ret = RxCheckEnd(h, i_s32Size);
    h->rx_over = 0;
    if (s32Ret < 0) h->rx_errors++;
    return s32Ret;
}
}  // namespace

int tiny_init(tiny_link_handle* i_pHandle, write_block_cb_t i_write, read_block_cb_t i_read, void* i_pUser) {
    if (i_pHandle == nullptr || i_write == nullptr) return TINY_ERR_INVALID_DATA;
    i_pHandle->pdata = i_pUser;
    i_pHandle->write_func = i_write;
    i_pHandle->read_func = i_read;
    i_pHandle->fcs_bits = 8;
    i_pHandle->rx_state = 0;
    i_pHandle->rx_over = 0;
    i_pHandle->rx_errors = 0;
    i_pHandle->tx_state = 0;
    i_pHandle->tx_data = nullptr;
    i_pHandle->locked = 0;
    pthread_mutex_init(&i_pHandle->send_mutex, nullptr);
    return TINY_NO_ERROR;
}

int tiny_close(tiny_link_handle* i_pHandle) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    // Under the send lock when it is free, so the last sender's fields are
    // settled; a mutex held by another thread must not be destroyed under it.
    bool bLocked = pthread_mutex_trylock(&i_pHandle->send_mutex) == 0;
    i_pHandle->tx_state = 0;
    i_pHandle->rx_state = 0;
    i_pHandle->write_func = nullptr;
    i_pHandle->read_func = nullptr;
    if (bLocked) {
        i_pHandle->locked = 0;
        pthread_mutex_unlock(&i_pHandle->send_mutex);
        pthread_mutex_destroy(&i_pHandle->send_mutex);
    }
    return TINY_NO_ERROR;
}

int tiny_set_fcs_bits(tiny_link_handle* i_pHandle, uint8_t i_u8Bits) {
    if (i_pHandle == nullptr || (i_u8Bits != 0 && i_u8Bits != 8)) return TINY_ERR_FAILED;
    i_pHandle->fcs_bits = i_u8Bits;
    return TINY_NO_ERROR;
}

void tiny_enable_uid(tiny_link_handle* i_pHandle, uint8_t i_u8On) {
    if (i_pHandle != nullptr) i_pHandle->uid_enabled = i_u8On;
}

int tiny_set_callbacks(tiny_link_handle* i_pHandle, on_frame_cb_t i_onRead, on_frame_cb_t i_onSent) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    tiny_lock(i_pHandle, TINY_FLAG_WAIT_FOREVER);
    if (i_onRead != nullptr) i_pHandle->read_cb = i_onRead;
    if (i_onSent != nullptr) i_pHandle->write_cb = i_onSent;
    tiny_unlock(i_pHandle);
    return TINY_NO_ERROR;
}

int tiny_get_callbacks(tiny_link_handle* i_pHandle, on_frame_cb_t* o_pOnRead, on_frame_cb_t* o_pOnSent) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    tiny_lock(i_pHandle, TINY_FLAG_WAIT_FOREVER);
    if (o_pOnRead != nullptr) *o_pOnRead = i_pHandle->read_cb;
    if (o_pOnSent != nullptr) *o_pOnSent = i_pHandle->write_cb;
    tiny_unlock(i_pHandle);
    return TINY_NO_ERROR;
}

int tiny_lock(tiny_link_handle* i_pHandle, uint8_t i_u8Flags) {
    if (i_u8Flags & TINY_FLAG_WAIT_FOREVER) {
        pthread_mutex_lock(&i_pHandle->send_mutex);
    } else if (pthread_mutex_trylock(&i_pHandle->send_mutex) != 0) {
        return TINY_ERR_FAILED;
    }
    i_pHandle->locked = 1;
    return 1;
}

void tiny_unlock(tiny_link_handle* i_pHandle) {
    if (i_pHandle->locked) {
        i_pHandle->locked = 0;
        pthread_mutex_unlock(&i_pHandle->send_mutex);
    }
}

int tiny_send_start(tiny_link_handle* i_pHandle, uint8_t i_u8Flags) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    if (i_pHandle->write_func == nullptr) {
        qx_printf("###### handle->write_func is NULL ....1\n");
        return TINY_ERR_INVALID_DATA;
    }
    int s32Ret = tiny_lock(i_pHandle, i_u8Flags);
    if (s32Ret != 1) return s32Ret;
    if (i_pHandle->tx_state != 0) {
        tiny_unlock(i_pHandle);
        return TINY_ERR_FAILED;
    }
    for (;;) {
        s32Ret = WriteByte(i_pHandle, TINY_FLAG_BYTE);
        if (s32Ret > 0) break;
        if (!NothingWritten(s32Ret)) {
            tiny_unlock(i_pHandle);
            return TINY_ERR_FAILED;
        }
        TinyYield();
        if (!(i_u8Flags & TINY_FLAG_WAIT_FOREVER)) {
            tiny_unlock(i_pHandle);
            return TINY_ERR_TIMEOUT;
        }
    }
    i_pHandle->tx_index = 0;
    i_pHandle->tx_prev = 0;
    i_pHandle->tx_crc = 0;
    i_pHandle->tx_state = 2;
    i_pHandle->tx_part = 0;
    i_pHandle->tx_data = nullptr;
    return s32Ret;
}

int tiny_send_buffer(tiny_link_handle* i_pHandle, const uint8_t* i_pData, int32_t i_s32Len, uint8_t i_u8Flags) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    tiny_link_handle* h = i_pHandle;
    if (h->tx_data == nullptr) {
        // Nothing held: take the caller's bytes (none at all is an empty part).
        h->tx_data = i_pData;
        h->tx_state = 2;
        h->tx_index = 0;
        h->tx_len = (i_pData != nullptr && i_s32Len > 0) ? i_s32Len : 0;
    }
    while (h->tx_index < h->tx_len) {
        uint8_t u8Byte = h->tx_data[h->tx_index];
        uint8_t u8Out = Stuffed(h->tx_prev, u8Byte);
        int32_t s32Ret = WriteByte(h, u8Out);
        if (s32Ret > 0) {
            h->tx_prev = u8Out;
            if (u8Out != TINY_ESCAPE_BYTE) {
                if (h->fcs_bits == 8) h->tx_crc = (uint16_t)(h->tx_crc + u8Byte);
                h->tx_index++;
            }
        } else if (NothingWritten(s32Ret)) {
            TinyYield();
            if (!(i_u8Flags & TINY_FLAG_WAIT_FOREVER)) return 0;
        } else {
            return s32Ret;
        }
    }
    int32_t s32Len = h->tx_len;
    h->fcs_pos = 0xF8;
    h->tx_data = nullptr;
    h->tx_state = h->fcs_bits == 8 ? 3 : 4;
    h->tx_part++;
    h->tx_index = 0;
    return s32Len;
}

int tiny_send_end(tiny_link_handle* i_pHandle, uint8_t i_u8Flags) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    tiny_link_handle* h = i_pHandle;
    for (;;) {
        int32_t s32Ret;
        if (h->tx_state == 3) {
            if (h->fcs_pos == 0xF8) {
                h->fcs_pos = 0;
                h->tx_crc = (uint16_t)(0u - h->tx_crc);
            }
            uint8_t u8Out = Stuffed(h->tx_prev, (uint8_t)(h->tx_crc >> h->fcs_pos));
            s32Ret = WriteByte(h, u8Out);
            if (s32Ret > 0) {
                h->tx_prev = u8Out;
                if (u8Out != TINY_ESCAPE_BYTE) {
                    h->fcs_pos = (uint8_t)(h->fcs_pos + 8);
                    if (h->fcs_pos == h->fcs_bits) h->tx_state = 4;
                }
                continue;
            }
            if (!NothingWritten(s32Ret)) return s32Ret;
        } else if (h->tx_state == 4) {
            s32Ret = WriteByte(h, TINY_FLAG_BYTE);
            if (s32Ret > 0) {
                h->tx_state = 0;
                tiny_unlock(h);
                return 1;
            }
            if (!NothingWritten(s32Ret)) return TINY_ERR_FAILED;
        } else {
            return TINY_ERR_FAILED;
        }
        TinyYield();
        if (!(i_u8Flags & TINY_FLAG_WAIT_FOREVER)) return 0;
    }
}

int tiny_send_terminate(tiny_link_handle* i_pHandle) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    i_pHandle->tx_state = 0;
    i_pHandle->tx_data = nullptr;
    tiny_unlock(i_pHandle);
    return TINY_NO_ERROR;
}

int tiny_send(tiny_link_handle* i_pHandle, const uint16_t* i_pUid, const uint8_t* i_pData, int32_t i_s32Len,
              uint8_t i_u8Flags) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    tiny_link_handle* h = i_pHandle;
    int s32Ret;
    if (i_u8Flags & (TINY_FLAG_WAIT_FOREVER | TINY_FLAG_LOCK_SEND)) {
        s32Ret = tiny_send_start(h, i_u8Flags);
        if (s32Ret != 1) return s32Ret;
        if (i_pUid != nullptr) {
            h->tx_uid[0] = (uint8_t)(*i_pUid & 0xFF);
            h->tx_uid[1] = (uint8_t)(*i_pUid >> 8);
            h->tx_part = 1;
        } else {
            h->tx_part = 2;
        }
    } else if (h->tx_state == 0) {
        return TINY_ERR_FAILED;  // nothing to continue
    }
    s32Ret = 0;
    if (h->tx_part == 1) {
        s32Ret = tiny_send_buffer(h, h->tx_uid, 2, i_u8Flags);
        if (s32Ret < 0) goto fail;
        if (h->tx_part == 1) return 0;
    }
    if (h->tx_part == 2) {
        s32Ret = tiny_send_buffer(h, i_pData, i_s32Len, i_u8Flags);
        if (s32Ret < 0) goto fail;
        if (h->tx_part == 2) return 0;
    }
    s32Ret = tiny_send_end(h, i_u8Flags);
    if (s32Ret == 1) {
        if (h->write_cb != nullptr) h->write_cb(h, i_pUid ? *i_pUid : 0, (uint8_t*)i_pData, i_s32Len);
        return i_s32Len > 0 ? i_s32Len : 1;
    }
    if (s32Ret == 0) return 0;
fail:
    if (s32Ret != TINY_ERR_TIMEOUT) tiny_send_terminate(h);
    return s32Ret;
}

int tiny_simple_send(tiny_link_handle* i_pHandle, const uint8_t* i_pData, int32_t i_s32Len) {
    return tiny_send(i_pHandle, nullptr, i_pData, i_s32Len, TINY_FLAG_WAIT_FOREVER | TINY_FLAG_LOCK_SEND);
}

int tiny_read_start(tiny_link_handle* i_pHandle, uint8_t i_u8Flags) {
    if (i_pHandle == nullptr || i_pHandle->read_func == nullptr) return TINY_ERR_INVALID_DATA;
    if (i_pHandle->rx_state != 0) return TINY_ERR_BUSY;
    uint8_t u8Byte = 0;
    for (;;) {
        int32_t s32Ret = ReadByte(i_pHandle, &u8Byte);
        if (s32Ret > 0) break;
        if (s32Ret < 0) return TINY_ERR_FAILED;
        if (!(i_u8Flags & TINY_FLAG_WAIT_FOREVER)) return 0;  // the caller waits, not we
        TinyYield();
    }
    if (u8Byte != TINY_FLAG_BYTE) return TINY_ERR_OUT_OF_SYNC;
    i_pHandle->rx_prev = TINY_FLAG_BYTE;
    i_pHandle->rx_crc = 0;
    return 1;
}

int tiny_read_buffer(tiny_link_handle* i_pHandle, uint8_t* o_pBuf, int32_t i_s32Size, uint8_t i_u8Flags) {
    if (i_pHandle == nullptr || i_pHandle->read_func == nullptr) return TINY_ERR_INVALID_DATA;
    tiny_link_handle* h = i_pHandle;
    if (h->rx_state == 1) {
        RxBegin(h);
        h->rx_state = 2;
    }
    for (;;) {
        uint8_t u8Byte = 0;
        int32_t s32Ret = ReadByte(h, &u8Byte);
        if (s32Ret < 0) return s32Ret;
        if (s32Ret == 0) {
            if (!(i_u8Flags & TINY_FLAG_WAIT_FOREVER)) return 0;
            TinyYield();
            continue;
        }
        if (u8Byte == TINY_FLAG_BYTE) {
            if (h->rx_prev == TINY_FLAG_BYTE) continue;  // an empty frame: keep waiting for data
            return RxFrameEnd(h, i_s32Size);
        }
        if (u8Byte == TINY_ESCAPE_BYTE) {
            h->rx_prev = TINY_ESCAPE_BYTE;
            continue;
        }
        uint8_t u8Value = h->rx_prev == TINY_ESCAPE_BYTE ? (uint8_t)(u8Byte ^ TINY_ESCAPE_XOR) : u8Byte;
        h->rx_prev = u8Byte;
        if (h->rx_state == 2) RxTake(h, o_pBuf, i_s32Size, u8Value);
        if (h->fcs_bits == 8) h->rx_crc = (uint16_t)(h->rx_crc + u8Value);
        if (h->rx_len == i_s32Size && !(i_u8Flags & TINY_FLAG_READ_ALL)) {
            h->rx_state = 1;
            return TINY_ERR_DATA_TOO_LARGE;
        }
    }
}

int tiny_read_terminate(tiny_link_handle* i_pHandle) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    i_pHandle->rx_state = 0;
    return TINY_NO_ERROR;
}

int tiny_read(tiny_link_handle* i_pHandle, uint16_t* o_pUid, uint8_t* o_pBuf, int32_t i_s32Size, uint8_t i_u8Flags) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    tiny_link_handle* h = i_pHandle;
    int s32Ret;
    if (h->rx_state == 0) {
        s32Ret = tiny_read_start(h, i_u8Flags);
        if (s32Ret != 1) return s32Ret;
        h->rx_state = 1;
        h->rx_part = o_pUid != nullptr ? 1 : 2;
    }
    if (h->rx_part == 1) {
        s32Ret = tiny_read_buffer(h, h->rx_uid, 2, i_u8Flags);
        if (s32Ret == TINY_ERR_DATA_TOO_LARGE) {
            h->rx_part = 2;
        } else if (s32Ret < 0) {
            tiny_read_terminate(h);
            return s32Ret;
        } else {
            return 0;  // more bytes needed, or a frame too short for its uid
        }
    }
    s32Ret = tiny_read_buffer(h, o_pBuf, i_s32Size, (uint8_t)(i_u8Flags | TINY_FLAG_READ_ALL));
    if (s32Ret > 0) {
        uint16_t u16Uid = o_pUid != nullptr ? RxUid(h) : 0;
        if (o_pUid != nullptr) *o_pUid = u16Uid;
        if (h->read_cb != nullptr) h->read_cb(h, u16Uid, o_pBuf, s32Ret);
        return s32Ret;
    }
    if (s32Ret < 0) tiny_read_terminate(h);
    return s32Ret;
}

int tiny_simple_read(tiny_link_handle* i_pHandle, uint8_t* o_pBuf, int32_t i_s32Size) {
    return tiny_read(i_pHandle, nullptr, o_pBuf, i_s32Size, TINY_FLAG_WAIT_FOREVER);
}

int tiny_on_rx_byte(tiny_link_handle* i_pHandle, uint8_t* o_pBuf, int32_t i_s32Size, uint8_t i_u8Byte) {
    if (i_pHandle == nullptr) return TINY_ERR_INVALID_DATA;
    tiny_link_handle* h = i_pHandle;
    if (h->rx_state == 0) {
        if (i_u8Byte != TINY_FLAG_BYTE) return TINY_ERR_OUT_OF_SYNC;
        h->rx_state = 2;
        RxBegin(h);
        h->rx_crc = 0;
        h->rx_prev = TINY_FLAG_BYTE;
        return 1;
    }
    if (i_u8Byte == TINY_FLAG_BYTE) {
        if (h->rx_prev == TINY_FLAG_BYTE) return TINY_ERR_OUT_OF_SYNC;  // still waiting for data
        int32_t s32End = RxFrameEnd(h, i_s32Size);
        if (s32End < 0) return s32End;
        if (h->uid_enabled) {
            // A frame without room for its uid is not a frame of this link.
            if (h->rx_len < 2) return TINY_ERR_FAILED;
            if (h->read_cb != nullptr)
                h->read_cb(h, (uint16_t)(o_pBuf[0] | (o_pBuf[1] << 8)), o_pBuf + 2, h->rx_len - 2);
        } else if (h->read_cb != nullptr) {
            h->read_cb(h, 0, o_pBuf, h->rx_len);
        }
        return 1;
    }
    if (i_u8Byte == TINY_ESCAPE_BYTE) {
        h->rx_prev = TINY_ESCAPE_BYTE;
        return 0;
    }
    uint8_t u8Value = h->rx_prev == TINY_ESCAPE_BYTE ? (uint8_t)(i_u8Byte ^ TINY_ESCAPE_XOR) : i_u8Byte;
    h->rx_prev = i_u8Byte;
    RxTake(h, o_pBuf, i_s32Size, u8Value);
    if (h->fcs_bits == 8) h->rx_crc = (uint16_t)(h->rx_crc + u8Value);
    return 0;
}
