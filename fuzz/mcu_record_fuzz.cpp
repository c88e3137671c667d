// Channel records from any bytes never read past them, and only the finish
// record reaches the reboot command.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "Transfer4mcu.h"
#include "fuzz_board.h"

namespace {
// The serial line is down: every send of the echo fails at once.
int32_t LineDown(void*, const void*, int32_t) { return -1; }
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_bInit = false;
    if (!s_bInit) {
        fuzzboard::Init(1e-6);
        memset((void*)&g_QXhandle, 0, sizeof(g_QXhandle));
        tiny_init(&g_QXhandle, LineDown, nullptr, nullptr);
        s_bInit = true;
    }
    if (size > MAX_UART_DATA) return 0;
    std::vector<uint8_t> buf(data, data + size);
    size_t offset = 0;
    comm_master_t record;
    while (size - offset >= QX_RECORD_HDR) {
        int32_t s32Left = (int32_t)(size - offset);
        std::vector<uint8_t> rest(buf.begin() + (long)offset, buf.end());  // exact size
        int s32Used = CTransfer4mcu::QX_GetTLVFromData(rest.data(), s32Left, &record);
        if (s32Used < 1) break;
        if (s32Used > s32Left || s32Used != QX_RECORD_HDR + (int)record.len || record.len > QX_RECORD_MAX_LEN) abort();
        fuzzboard::Commands().clear();
        uint32_t u32Type = record.type;
        CTransfer4mcu::QX_DispatchRecord(&record);
        bool bReboot = !fuzzboard::Commands().empty();
        if (bReboot != (u32Type == comm_master_type_upg_finish)) abort();
        offset += (size_t)s32Used;
    }
    return 0;
}
