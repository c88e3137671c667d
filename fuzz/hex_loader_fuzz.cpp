// libFuzzer target for the Intel HEX loader: any text, never a read past its
// length, and a refused text never touches the image.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "QxLog.h"
#include "Taskfile2mcu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_bInit = false;
    if (!s_bInit) {
        QxLog_SetQuiet(true);
        s_bInit = true;
    }
    if (size > QX_FILEBUF_LEN + 16) return 0;
    // An exact-size copy: the address sanitizer sees any read past the text.
    std::vector<char> text(data, data + size);
    static unsigned char s_aBefore[QX_FLASHBUF_LEN];
    memcpy(s_aBefore, g_FlashBuf, sizeof(s_aBefore));
    int nRet = TransformDataOfFile(text.empty() ? nullptr : text.data(), (int)size);
    if (nRet != 0 && memcmp(s_aBefore, g_FlashBuf, sizeof(s_aBefore)) != 0) abort();
    if (nRet != 0 && nRet != -1) abort();
    return 0;
}
