// Placeholders for procedures that are not written yet. Each block moves to
// its own source file when the procedure is written; delete it here then.
#include "Taskfile2mcu.h"

// ---- serial operations (Taskfile2mcu_Uart.cpp) ----
int32_t CTaskfile2mcu::OpenUart() { return -1; }
int32_t CTaskfile2mcu::CloseUart() { m_Uartfd = 0; return 0; }
int32_t CTaskfile2mcu::SetUartSpeed(const char*, int) { return 0; }
int32_t CTaskfile2mcu::SendUartMsg(char*, int) { return -2; }
int32_t CTaskfile2mcu::Uart2tread(int, void*, int, bool) { return -1; }
int32_t CTaskfile2mcu::StUartRead1Byte(unsigned int) { return -1; }
int32_t CTaskfile2mcu::StUartWrite(const char*, int) { return -1; }

// ---- STM32 / Valens procedure and image push (Taskfile2mcu_Stm32.cpp) ----
void CTaskfile2mcu::Process4STUpgrade() {}

// ---- EP / BV flashing (Taskfile2mcu_Isp.cpp) ----
int32_t CTaskfile2mcu::Process4EPUpgrade() { return 0; }
int32_t CTaskfile2mcu::Process4BVUpgrade() { return 0; }
