// Placeholders for procedures that are not written yet. Each block moves to
// its own source file when the procedure is written; delete it here then.
#include "Taskfile2mcu.h"

// ---- EP / BV flashing (Taskfile2mcu_Isp.cpp) ----
int32_t CTaskfile2mcu::Process4EPUpgrade() { return 0; }
int32_t CTaskfile2mcu::Process4BVUpgrade() { return 0; }
