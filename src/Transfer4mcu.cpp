#include "Transfer4mcu.h"

CTransfer4mcu* g_pTransferFile2mcu = nullptr;
