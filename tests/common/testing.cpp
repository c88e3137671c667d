#include "testing.h"

#include <unistd.h>

#include <stdexcept>

namespace fwtest {

BoardProfile TestProfile(const TempRoot& root, const VelaStandIn& vela, const RebootStub& reboot,
                         const std::string& serialDev) {
    BoardProfile p;
    p.strRoot = root.path();
    p.strSerialDev = serialDev;
    p.u16OrderPort = vela.orderPort() ? vela.orderPort() : FreeUdpPort();
    p.u16ReportPort = vela.reportPort();
    p.strRebootCmd = reboot.command();
    return p;
}

void SetProfile(const BoardProfile& p) {
    if (BoardProfile_Set(p) != 0) throw std::runtime_error("board profile refused for " + p.strRoot);
}

AgentGlobals::AgentGlobals(CTaskfile2mcu* task, Link kind) : task_(task != nullptr), kind_(kind) {
    if (task_) g_pTaskUP4mcu = task;
    if (kind == kNoLink) return;
    g_pudp4vela = link = new CUdpListen2vela();
    if (kind == kListening)
        link->init();
    else
        link->CreateSocket();
}

AgentGlobals::~AgentGlobals() {
    if (kind_ == kListening) return;
    if (task_) g_pTaskUP4mcu = nullptr;
    if (kind_ == kNoLink) return;
    g_pudp4vela = nullptr;
    if (link->m_socket >= 0) close(link->m_socket);
    if (link->m_socketClient >= 0) close(link->m_socketClient);
    delete link;
}
}  // namespace fwtest
