// Master-MCU packet channel: framed, acknowledged records on the serial port.
#pragma once

class CTransfer4mcu {
public:
    CTransfer4mcu() {}
};

extern CTransfer4mcu* g_pTransferFile2mcu;
