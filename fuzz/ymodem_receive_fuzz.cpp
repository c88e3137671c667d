// Our YMODEM receiver against any sender ends within its buffer and name.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fymodem.h"
#include "ymodem_line.h"

// First byte: the buffer's capacity; the rest: the sender's script.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ymline::Open();
    if (size < 1 || size > 4096) return 0;
    static const unsigned s_aCapacity[4] = {0, 100, 1024, 3000};
    unsigned u32Capacity = s_aCapacity[data[0] & 3];
    std::vector<unsigned char> buffer(u32Capacity);  // exact size
    std::vector<char> name(65, 'x');
    int32_t s32Ret = ymline::Run(data + 1, size - 1, [&] {
        return fymodem_receive(buffer.empty() ? nullptr : buffer.data(), u32Capacity, name.data());
    });
    if (s32Ret < -1 || (s32Ret >= 0 && (uint32_t)s32Ret > u32Capacity)) abort();
    if (strnlen(name.data(), name.size()) > 64) abort();
    return 0;
}
