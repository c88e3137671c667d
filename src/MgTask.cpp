// mgtask: the firmware-upgrade agent as it runs on the board. No options: every
// path, port and pause is the board's own; "--status" only reads the result
// record of the last upgrade, "--version" and "--help" only print.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "FwVersion.h"
#include "MgTask.h"
#include "QxClock.h"
#include "RunRecord.h"

namespace {

// Also the source of the manual page (help2man): usage, then the options.
const char* const s_pHelp =
    "Usage: mgtask [--status | --version | --help]\n"
    "The firmware-upgrade agent of the matrix control board. Without an option it runs as the\n"
    "board's service (as root): it takes upgrade orders from the board's main application as UDP\n"
    "datagrams on 127.0.0.1:1158, stages the package /home/ubuntu/McuUpdate.tar.gz in\n"
    "/var/lib/mgtask, flashes every chip on the serial line /dev/ttyO1, reports progress to\n"
    "127.0.0.1:1153 and reboots the board at the end of a package upgrade. It reads no\n"
    "configuration.\n"
    "\n"
    "Options:\n"
    "  --status     print the result record of the last upgrade (/var/lib/mgtask/last-run);\n"
    "               exit status 0 success, 1 failure, 2 none or still running\n"
    "  --version    print the version and exit\n"
    "  --help       print this help and exit\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--status") == 0) return RunRecord_PrintStatus(RunRecord_Path().c_str());
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("mgtask %s\n", FWAGENT_VERSION);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "--help") == 0) {
        printf("%s", s_pHelp);
        return 0;
    }
    if (argc > 1) {
        fprintf(stderr,
                "usage: mgtask             run as the board's firmware-upgrade service\n"
                "       mgtask --status    print the result of the last upgrade (exit 0 success, 1 failure,\n"
                "                          2 none or still running)\n"
                "       mgtask --version   print the version\n");
        return 2;
    }
    // Lines reach the journal as they are printed, not when a buffer fills.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (MgTask_StartService() != 0) return 1;  // a zero status would tell the service manager all went well
    for (;;) Clock_SleepUs(50000);
}
