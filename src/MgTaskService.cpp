#include <new>

#include "MgTask.h"
#include "BoardFiles.h"
#include "QxLog.h"
#include "RunRecord.h"
#include "Taskfile2mcu.h"
#include "Transfer4mcu.h"
#include "Udp2vela.h"

namespace {
// At start no upgrade can be running: a record left mid-upgrade (a power cut,
// a crash the service manager restarted) says so, and whatever was staged for
// it goes; the next order starts afresh.
void RecoverLastRun() {
    RunRecord_RecoverAtStart();
    char szPath[QX_PATH_BUF(64)];
    Board_RemovePath(Board_Path(szPath, sizeof(szPath), QX_UPDATE_DIR));
    Board_RemovePath(Board_Path(szPath, sizeof(szPath), QX_STAGED_PACKAGE));
}
}  // namespace

int MgTask_StartService() {
    RecoverLastRun();
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
    // An agent that cannot hear vela's orders must not look alive.
    if (g_pudp4vela->init() != 1) return -1;
    g_pTaskUP4mcu = new (std::nothrow) CTaskfile2mcu();
    if (g_pTaskUP4mcu == nullptr) {
        qx_printf("###### g_pTaskUP4mcu is NULL!!!\n");
        return -1;
    }
    g_pTaskUP4mcu->init();
    return 0;
}
