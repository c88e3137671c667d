// Helpers of the EP/BV ISP run that tests and tools reach directly.
#pragma once

#include <stdint.h>

// Largest answer gathered in one window; a window that fills it is discarded.
#define QXIH_RSP_LEN 24
// Attempts one call of the run makes on a device before it gives up as stalled.
#define QXIH_ATTEMPTS_MAX 10

// Progress after a data block: the bank percentage (clamped at 99) and the
// overall value over the three banks (at most 99).
struct IspPercent {
    int32_t s32BankPercent;
    uint32_t u32Overall;
};
IspPercent IspComputePercent(uint32_t i_u32SendCount, int32_t i_s32FileSize, uint32_t i_u32Bank);

// Image base path of an EP port (1 to 16) as on the board, without the bank
// suffix; nullptr for any other port.
const char* IspEpBasePath(uint32_t i_u32Port);
