// The agent's one logging funnel: console lines on stdout and stderr exactly
// as the agent prints them, plus an optional hook that sees every line
// (tests assert on the "######" and "@@@@@@" lines through it).
#pragma once

#include <stddef.h>

enum { QXLOG_STDOUT = 1, QXLOG_STDERR = 2 };

typedef void (*QxLogHook)(int i_s32Stream, const char* i_pText, size_t i_len, void* i_pUser);

int qx_printf(const char* i_pFmt, ...) __attribute__((format(printf, 1, 2)));
int qx_eprintf(const char* i_pFmt, ...) __attribute__((format(printf, 1, 2)));
void qx_puts(const char* i_pText);          // text and a line break, on stdout
void qx_perror(const char* i_pPrefix);      // "prefix: error text" on stderr, like perror

// One hook at a time; nullptr removes it.
void QxLog_SetHook(QxLogHook i_hook, void* i_pUser);
// Quiet: nothing reaches the console (the hook still sees everything).
void QxLog_SetQuiet(bool i_bQuiet);
// False when neither the console nor a hook sees the log: a caller may skip
// building a costly line (the printing functions then format nothing).
bool QxLog_Heard();
