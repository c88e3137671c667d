// Our YMODEM sender against any receiver ends, and succeeds only when every
// step was acknowledged.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <vector>

#include "fymodem.h"
#include "ymodem_line.h"

// First byte: the file's size; the rest: the receiver's script.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ymline::Open();
    if (size < 1 || size > 4096) return 0;
    static const unsigned s_aSizes[4] = {0, 1, 1024, 2500};
    unsigned u32Size = s_aSizes[data[0] & 3];
    std::vector<unsigned char> file(u32Size + 1, 0x5A);  // +1: never a null pointer
    int32_t s32Ret = ymline::Run(data + 1, size - 1, [&] { return fymodem_send(file.data(), u32Size, "image.bin"); });
    if (s32Ret >= 0) {
        // Packet 0, each data packet, the end of file and the closing packet.
        long nAcks = 0;
        for (size_t at = 1; at + 2 <= size;) {
            size_t end = std::min(size, at + 2 + (data[at] | (size_t)data[at + 1] << 8));
            nAcks += std::count(data + at + 2, data + end, (uint8_t)YM_ACK);
            at = end;
        }
        long nNeeded = 3 + (long)((u32Size + YM_PACKET_1K_SIZE - 1) / YM_PACKET_1K_SIZE);
        if (s32Ret != (int32_t)u32Size || nAcks < nNeeded) abort();
    }
    return 0;
}
