#include "tiny_serial.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "BoardProfile.h"
#include "QxLog.h"

serial_handle* OpenSerial(const char* i_pPath, int i_s32Speed) {
    serial_handle* pSerial = (serial_handle*)malloc(sizeof(serial_handle));
    if (pSerial == nullptr) {
        qx_perror("ERROR: malloc \n");
        return nullptr;
    }
    int fd = open(i_pPath, O_RDWR | O_NOCTTY);
    if (fd < 0) {
        qx_perror("ERROR: Failed to open serial device\n");
        free(pSerial);
        return nullptr;
    }
    char szCmd[1024];
    // A path too long for the command is refused rather than cut.
    if (Board_Snprintf(szCmd, sizeof(szCmd),
                       "stty -F %s speed %d -ixon -inlcr -icrnl -onlcr -ocrnl -isig -icanon -iexten -echo -echoe "
                       "-echok -echoctl -echoke",
                       i_pPath, i_s32Speed) < 0 ||
        system(szCmd) != 0) {
        qx_perror("ERROR: QAQ \n");
        close(fd);
        free(pSerial);
        return nullptr;
    }
    Board_usleep(10000);
    pSerial->fd = fd;
    return pSerial;
}

void CloseSerial(serial_handle* i_pSerial) {
    if (i_pSerial == nullptr) return;
    close(i_pSerial->fd);
    free(i_pSerial);
}
