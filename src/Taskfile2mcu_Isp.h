// Helpers of the EP/BV ISP run that tests and tools reach directly.
#pragma once

#include <stdint.h>

#include "Udp2vela.h"

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

// The ports the run serves: EP 1 to 16, BV 1 to 8.
#define QXIH_EP_PORTS 16
#define QXIH_BV_PORTS 8

// The EP image families in the package's order: the image base path of each
// on the board (without the bank suffix) and the ports it serves.
struct IspEpFamily {
    const char* pBasePath;
    uint32_t u32FirstPort;
    uint32_t u32LastPort;
};
inline constexpr IspEpFamily g_aIspEpFamilies[3] = {
    {QX_EP_BASE_91A6, 13, 16},
    {QX_EP_BASE_9162, 9, 12},
    {QX_EP_BASE_INPUT, 1, 8},
};

// The family of an EP port (its index in g_aIspEpFamilies); -1 for any other port.
inline int IspEpFamilyOf(uint32_t i_u32Port) {
    for (int i = 0; i < 3; i++)
        if (i_u32Port >= g_aIspEpFamilies[i].u32FirstPort && i_u32Port <= g_aIspEpFamilies[i].u32LastPort) return i;
    return -1;
}

// Image base path of an EP port as on the board, without the bank suffix;
// nullptr for any other port.
const char* IspEpBasePath(uint32_t i_u32Port);
