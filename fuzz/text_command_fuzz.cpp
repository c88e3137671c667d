// Text commands of the MCU from any text: split into lines and words and
// matched against the command table, never past the text or a word's room.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "Transfer4mcu.h"
#include "fuzz_board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool s_bInit = false;
    if (!s_bInit) {
        fuzzboard::Init(1e-6);
        s_bInit = true;
    }
    if (size < 1 || size > sizeof(comm_master_t::data)) return 0;
    // First byte: the length the caller claims, as a part of the text's own.
    std::vector<char> text(data + 1, data + size);
    text.push_back('\0');
    int32_t s32Text = (int32_t)strlen(text.data());
    int32_t s32Claim = (int32_t)(data[0] * (s32Text + 2) / 255);
    CTransfer4mcu::MsgProcess(-1, 2, text.data(), s32Claim);
    if (text.back() != '\0') abort();

    // Words of one line, as many as the table's longest command takes (each
    // its own block, made once: the address sanitizer sees a word overrun).
    static std::vector<std::vector<char>> s_words(QX_MSG_MAX_WORDS, std::vector<char>(QX_MSG_WORD_SIZE));
    std::vector<char*> pointers;
    for (auto& w : s_words) pointers.push_back((char*)memset(w.data(), 0, w.size()));
    std::vector<char> line(data + 1, data + size);
    line.push_back('\0');
    int32_t s32Words = CTransfer4mcu::SeparateMsg(line.data(), QX_MSG_MAX_WORDS, pointers.data(), QX_MSG_WORD_SIZE);
    if (s32Words < 0 || s32Words > QX_MSG_MAX_WORDS) abort();
    for (int32_t i = 0; i < s32Words; i++)
        if (strnlen(pointers[i], QX_MSG_WORD_SIZE) >= QX_MSG_WORD_SIZE || pointers[i][0] == '\0') abort();
    CTransfer4mcu::AnalyzeMsg(-1, pointers.data(), s32Words);
    return 0;
}
