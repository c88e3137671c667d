#include <new>

#include "MgTask.h"
#include "QxLog.h"
#include "Taskfile2mcu.h"
#include "Transfer4mcu.h"
#include "Udp2vela.h"

int MgTask_StartService() {
    // Each pointer is set before the thread that reads it starts.
    g_pTransferFile2mcu = new (std::nothrow) CTransfer4mcu();
    if (g_pTransferFile2mcu == nullptr) {
        qx_printf("###### g_pTransferFile2mcu is NULL!!!\n");
        return -1;
    }
    g_pudp4vela = new (std::nothrow) CUdpListen2vela();
    if (g_pudp4vela == nullptr) {
        qx_printf("###### g_pudp4vela is NULL!!!\n");
        return -1;
    }
    g_pudp4vela->init();
    g_pTaskUP4mcu = new (std::nothrow) CTaskfile2mcu();
    if (g_pTaskUP4mcu == nullptr) {
        qx_printf("###### g_pTaskUP4mcu is NULL!!!\n");
        return -1;
    }
    g_pTaskUP4mcu->init();
    return 0;
}
