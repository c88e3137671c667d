// mgtask: the firmware-upgrade agent as it runs on the board. No options: every
// path, port and pause is the board's own.
#include <stdio.h>
#include <unistd.h>

#include "MgTask.h"

int main() {
    // Lines reach the journal as they are printed, not when a buffer fills.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (MgTask_StartService() != 0) return 1;  // a zero status would tell the service manager all went well
    for (;;) usleep(50000);
}
