// The ISP run's answer checks on any answer: each accepts or refuses, and sends
// back one short request or one block.
#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

#include "Taskfile2mcu.h"
#include "Taskfile2mcu_Isp.h"
#include "fuzz_board.h"

namespace {
int g_aLine[2] = {-1, -1};

// Bytes the checks wrote to the device since the last call.
size_t Drain() {
    size_t total = 0;
    char buf[4096];
    for (ssize_t n; (n = read(g_aLine[1], buf, sizeof(buf))) > 0;) total += (size_t)n;
    return total;
}

void CheckResult(int32_t i_s32Ret, size_t i_maxSent) {
    if (i_s32Ret != 0 && i_s32Ret != -2) abort();
    if (Drain() > i_maxSent) abort();
}
}  // namespace

// First byte: BV or EP, port and row; the rest is the answer.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CTaskfile2mcu* s_pTask = nullptr;
    if (s_pTask == nullptr) {
        fuzzboard::Init(1e-8);
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, g_aLine) != 0) abort();
        fcntl(g_aLine[1], F_SETFL, O_NONBLOCK);
        s_pTask = new CTaskfile2mcu();
        s_pTask->m_Uartfd = g_aLine[0];
    }
    if (size < 1) return 0;
    CTaskfile2mcu& task = *s_pTask;
    task.m_bBVFlg = data[0] & 1;
    task.m_u32Port = 1 + ((data[0] >> 1) & 15);
    char aRsp[QXIH_RSP_LEN + 1];
    memset(aRsp, 0, sizeof(aRsp));
    memcpy(aRsp, data + 1, size - 1 < QXIH_RSP_LEN ? size - 1 : QXIH_RSP_LEN);
    const size_t kRequest = 16;  // the longest text request is "WUPG MCUOUT8\r\n"
    CheckResult(task.ApplyIntoUpgradeModleRsp(aRsp), kRequest + 1);
    CheckResult(task.Check0x3EModleRsp(aRsp), kRequest);
    CheckResult(task.Check0x81Rsp(aRsp), 1);
    CheckResult(task.ChoiceFlashBlockRsp(aRsp), 0);
    CheckResult(task.ChoiceFlashAddrRsp(aRsp), 0);
    CheckResult(task.Check0x86Rsp(aRsp), 0);
    CheckResult(task.Check0x5ARsp(aRsp), 0);
    uint32_t u32Row = (uint32_t)(unsigned char)aRsp[0] + (data[0] >> 7) * 256u;
    CheckResult(task.ChoiceFlashAddrReq(u32Row), 3);
    CheckResult(task.SendUpgrade512DateWriteToUart(aRsp), 512);
    if (strnlen(aRsp, sizeof(aRsp)) > QXIH_RSP_LEN) abort();
    return 0;
}
