// Board profile: the one place that knows the board's fixed paths, ports and
// pauses. On the board every value is the built-in default and nothing changes
// it; a test, the simulator or fwtool sets it once, before the agent's threads
// start, so the same code runs in a temp root against an emulated board.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/time.h>
#include <time.h>

#include <string>

// The service's state directory: only root writes there (the agent stages
// packages there and keeps its result record there).
#define QX_STATE_DIR "/var/lib/mgtask"

// Longest root prefix the profile accepts. Every fixed path and shell-command
// buffer of the agent is widened by it, so a prefixed path or command is never
// cut (a cut "mv" or "rm -rf" could hit the wrong file).
#define QX_ROOT_MAX 192
// Longest serial device path the profile accepts.
#define QX_DEVPATH_MAX 128
// A path buffer that holds n characters on the board, widened for the root.
#define QX_PATH_BUF(n) ((n) + QX_ROOT_MAX)
// A command buffer of n bytes on the board; a command names at most three
// board paths and one device path.
#define QX_CMD_BUF(n) ((n) + 3 * QX_ROOT_MAX + QX_DEVPATH_MAX)

struct BoardProfile {
    std::string strRoot;                      // "" on the board
    std::string strSerialDev = "/dev/ttyO1";  // the one serial port
    uint16_t u16OrderPort = 1158;             // orders from vela
    std::string strReportIp = "127.0.0.1";    // reports to vela
    uint16_t u16ReportPort = 1153;
    std::string strRebootCmd = "reboot";  // run at the end of a package upgrade
    // Runs one staging or reboot command in place of the shell (null: the
    // shell). Lets a harness record the commands an order would run.
    int (*pfnShell)(const char* i_pCmd) = nullptr;
};

// Installs a profile. Returns 0, or -1 with a message on stderr (and in
// *o_pErr) when a value is unusable: a root longer than QX_ROOT_MAX or not
// absolute, a device path longer than QX_DEVPATH_MAX; or when the agent already runs (see BoardProfile_Freeze).
int BoardProfile_Set(const BoardProfile& i_profile, std::string* o_pErr = nullptr);
// Called where the agent's service threads start: they run for the rest of the
// process and read the profile without a lock, so from then on it stays as it is.
void BoardProfile_Freeze();
const BoardProfile& BoardProfile_Get();

const char* Board_Root();
const char* Board_SerialDev();

// Formats like snprintf. When the text does not fit, the buffer is emptied,
// a "######" line is logged and -1 is returned: nothing cut is ever used.
int Board_Snprintf(char* o_pBuf, size_t i_size, const char* i_pFmt, ...) __attribute__((format(printf, 3, 4)));
// o_pBuf = root + board path (e.g. "/home/ubuntu/valens/"); returns o_pBuf.
char* Board_Path(char* o_pBuf, size_t i_size, const char* i_pPath);

// The agent's pauses, on its clock (QxClock.h).
void Board_usleep(uint64_t i_u64Us);
void Board_sleep(unsigned i_u32Sec);

// Runs a command through the shell, or through the profile's pfnShell when
// set; returns its status.
int Board_System(const char* i_pCmd);
// Runs the profile's reboot command through Board_System; returns its status.
int Board_Reboot();
