// Placeholders for procedures that are not written yet. Each block moves to
// its own source file when the procedure is written; delete it here then.
#include "Taskfile2mcu.h"

// ---- STM32 / Valens procedure and image push (Taskfile2mcu_Stm32.cpp) ----
void CTaskfile2mcu::Process4STUpgrade() {}
