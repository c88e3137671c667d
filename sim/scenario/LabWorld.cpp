#include "LabWorld.h"

#include <string.h>
#include <unistd.h>

#include "BoardProfile.h"
#include "Taskfile2mcu_Isp.h"
#include "VirtualClock.h"

namespace sim {

LabWorld::UseClock::UseClock(double scale) { UseTimeScale(scale); }

LabWorld::LabWorld(const LabOptions& o)
    : clock(o.scale),
      board(line),
      master("master", o.master),
      io("iomcu", o.io),
      valens("valens", o.valens),
      openPort_(o.openPort) {
    BoardProfile p;
    p.strRoot = root.path();
    p.strSerialDev = line.slavePath();
    p.u16OrderPort = FreeUdpPort();
    p.u16ReportPort = vela.reportPort();
    p.strRebootCmd = reboot.command();
    SetBoardLine(&line);
    profileSet = BoardProfile_Set(p) == 0;
    board.route("WUPG Master\r\n", &master);
    board.routeSig(&io, &valens);
    isp.routeAll(board);
    board.start();
    host.CreateSocket();
    snprintf(host.m_szValensUpCmd, sizeof(host.m_szValensUpCmd), "UPG VALENS TX\r\n");
    g_pudp4vela = &host;
    g_pTaskUP4mcu = &task;
    if (openPort_) task.m_Uartfd = task.OpenUart();
}

LabWorld::~LabWorld() {
    board.stop();  // before the port closes
    if (task.m_Uartfd > 0) task.CloseUart();
    g_pTaskUP4mcu = nullptr;
    g_pudp4vela = nullptr;
    if (host.m_socket >= 0) close(host.m_socket);
    if (host.m_socketClient >= 0) close(host.m_socketClient);
    BoardProfile_Set(BoardProfile());
    SetBoardLine(nullptr);
}

void LabWorld::selectPort(bool bv, unsigned port, const std::string& file) {
    task.m_bBVFlg = bv ? 1 : 0;
    task.m_u32Port = port;
    memset(g_MCUVersionFile, 0, sizeof(g_MCUVersionFile));
    Board_Path(g_MCUVersionFile, sizeof(g_MCUVersionFile), file.c_str());
    task.SetUpgradeflg(true);
    task.SetUartSpeed(Board_SerialDev(), 57600);
}

}  // namespace sim
