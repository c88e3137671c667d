// mgtask: the firmware-upgrade agent as it runs on the board. No options: every
// path, port and pause is the board's own; "--status" only reads the result
// record of the last upgrade.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "MgTask.h"
#include "RunRecord.h"

int main(int argc, char** argv) {
    if (argc == 2 && strcmp(argv[1], "--status") == 0) return RunRecord_PrintStatus(RunRecord_Path().c_str());
    if (argc > 1) {
        fprintf(stderr,
                "usage: mgtask             run as the board's firmware-upgrade service\n"
                "       mgtask --status    print the result of the last upgrade (exit 0 success, 1 failure,\n"
                "                          2 none or still running)\n");
        return 2;
    }
    // Lines reach the journal as they are printed, not when a buffer fills.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (MgTask_StartService() != 0) return 1;  // a zero status would tell the service manager all went well
    for (;;) usleep(50000);
}
