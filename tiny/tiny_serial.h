// Opens a serial device and sets its line through stty, for hosts of the framed link.
#pragma once

typedef struct serial_handle {
    int fd;
} serial_handle;

// The opened and configured device, or nullptr (with a perror line).
serial_handle* OpenSerial(const char* i_pPath, int i_s32Speed);
void CloseSerial(serial_handle* i_pSerial);
