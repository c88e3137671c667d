// Any datagram from vela: only a package order stages, always with the same
// commands, and a Valens order is taken only for an image that is there.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <string>
#include <vector>

#include "Taskfile2mcu.h"
#include "Udp2vela.h"
#include "fuzz_board.h"

namespace {
std::vector<std::string> g_packageCommands;

void PlaceFile(const std::string& i_strPath) {
    std::string strDir = i_strPath.substr(0, i_strPath.rfind('/'));
    std::filesystem::create_directories(strDir);
    std::ofstream(i_strPath) << ":00000001FF\n";
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CUdpListen2vela* s_pLink = nullptr;
    if (s_pLink == nullptr) {
        const std::string& strRoot = fuzzboard::Init(1e-6);
        // A package and the transmitter's image are there; the receiver's is not.
        PlaceFile(strRoot + QX_TXMCU_UPDATE_FILE_PATH);
        PlaceFile(strRoot + QX_VALENS_TX_HEX);
        g_pTaskUP4mcu = new CTaskfile2mcu();
        s_pLink = new CUdpListen2vela();
    }
    if (size > QX_UDP_MAX_DATAGRAM) return 0;
    std::vector<char> datagram(data, data + size);  // exact size, as recvfrom fills it
    fuzzboard::Commands().clear();
    // Each datagram meets an idle agent: nothing staged, nothing running.
    g_pTaskUP4mcu->SetUpgradeflg(false);
    g_pTaskUP4mcu->m_bPackageRun = false;
    g_pTaskUP4mcu->SetValensUpFlg(0);
    s_pLink->ProcessRcvedData(datagram.empty() ? (char*)"" : datagram.data(), (int32_t)size);

    uint32_t u32Type = 0;
    for (size_t i = 0; i < 4 && i < size; i++) u32Type |= (uint32_t)data[i] << (8 * i);
    const std::vector<std::string>& commands = fuzzboard::Commands();
    if (u32Type == comm_master_type_standep_upgrade_command) {
        if (commands.empty() || !g_pTaskUP4mcu->GetUpgradeflg()) abort();
        if (g_packageCommands.empty()) g_packageCommands = commands;
        if (commands != g_packageCommands) abort();
    } else if (!commands.empty() || g_pTaskUP4mcu->GetUpgradeflg()) {
        abort();
    }
    int nValens = g_pTaskUP4mcu->GetValensUpFlg();
    if (nValens == 2) abort();  // no receiver image
    if (nValens == 1) {
        std::string strText(size > 8 ? (const char*)data + 8 : "", size > 8 ? size - 8 : 0);
        strText = strText.substr(0, strText.find('\0'));
        if (u32Type != comm_master_type_valens_upgrade_command || strText.find("TX") == std::string::npos) abort();
    }
    return 0;
}
