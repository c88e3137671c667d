// Host link: the UDP link to vela, the intake of its orders and the staging
// of update packages.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include <mutex>
#include <string>

// One record on the UDP link and on the master-MCU channel; little-endian on the wire.
typedef struct comm_master_t {
    uint32_t type;
    uint32_t len;
    char data[1152];
} comm_master_t;

enum comm_master_type_e {
    // master-MCU channel
    comm_master_type_upgrade_data = 0,
    comm_master_type_upg_request = 1,
    comm_master_type_upg_ack = 2,
    comm_master_type_upg_info = 3,
    comm_master_type_upg_finish = 4,
    comm_master_type_amx_cmd = 5,
    comm_master_type_cmd = 6,
    comm_master_type_heartbeat = 11,
    // host link
    comm_master_type_standep_upgrade_command = 251,
    comm_master_type_upgrade_status = 252,
    comm_master_type_valens_upgrade_command = 253,
    comm_master_type_switch_serial = 400,
};

#define QX_UDP_MAX_DATAGRAM 2048
#define QX_VALENS_CMD_LEN 1024

// Board paths (the board profile's root is put in front). vela uploads the
// package into its own home, which another account owns: the agent copies it
// into its state directory, which only root can write, and stages it there.
#define QX_TXMCU_UPDATE_FILE_PATH "/home/ubuntu/McuUpdate.tar.gz"
#define QX_STAGING_HOME "/var/lib/mgtask"
#define QX_STAGED_PACKAGE "/var/lib/mgtask/McuUpdate.tar.gz"
#define QX_TAR_LOG "/var/lib/mgtask/tar.log"
#define QX_UPDATE_DIR "/var/lib/mgtask/McuUpdate/"
#define QX_MODEL_WORD "HV4412-7730-K28"
#define QX_MASTER_HEX "/var/lib/mgtask/McuUpdate/MASTER.hex"
#define QX_IOMCU_HEX "/var/lib/mgtask/McuUpdate/IOMCU.hex"
#define QX_BV_HEX "/var/lib/mgtask/McuUpdate/BV.hex"
#define QX_VERSION_JSON "/home/ubuntu/version.json"
#define QX_EP_BASE_91A6 "/var/lib/mgtask/McuUpdate/EP91A6SQ/HV4412-7730-K28-OutputMcu-EP91A6SQ"
#define QX_EP_BASE_9162 "/var/lib/mgtask/McuUpdate/EP9162SQ/HV4412-7730-K28-OutputMcu-EP9162SQ"
#define QX_EP_BASE_INPUT "/var/lib/mgtask/McuUpdate/Input/HV4412-7730-K28-InputMcu"

// Limits of a package, checked before anything is unpacked: far above any
// release (about 1 MiB packed, 27 files), far below what fills the board.
#define QX_PKG_MAX_PACKED (64u << 20)
#define QX_PKG_MAX_UNPACKED (256u << 20)
#define QX_PKG_MAX_MEMBERS 1024
#define QX_PKG_MAX_IMAGE (2u << 20)        // a master or IO MCU image: what the push buffer holds
#define QX_PKG_MAX_VERSION_JSON (64u << 10)
#define QX_VALENS_DIR "/home/ubuntu/valens/"
#define QX_VALENS_TX_HEX "/home/ubuntu/valens/VSTX.hex"
#define QX_VALENS_RX_HEX "/home/ubuntu/valens/VSRX.hex"

class CUdpListen2vela {
public:
    char m_szLocalIp[32];
    int32_t m_socket;
    int32_t m_socketClient;
    int32_t m_recvMarkedNum;
    int32_t m_sendMarkedNum;
    struct sockaddr_in m_peerAddr;
    uint32_t m_addrLen;
    char* m_pRecvBuf;
    char m_szValensUpCmd[QX_VALENS_CMD_LEN];
    // Guards m_szValensUpCmd: a reader copies the text whole, never half of two orders.
    std::mutex m_ValensCmdMutex;

    CUdpListen2vela();
    ~CUdpListen2vela();
    CUdpListen2vela(const CUdpListen2vela&) = delete;
    CUdpListen2vela& operator=(const CUdpListen2vela&) = delete;

    int init();
    static void* Udp4WebRecvThread(void* i_pArg);

    void GetLocalIp();
    // The order socket (handed over, or bound here) and the report socket; -1 without an order socket.
    int CreateSocket();
    static std::string getDateTime();
    int Send(char* i_pBuf, int32_t i_s32Len);

    int WaitForRead();
    int ProcessRcvedData(char* i_pData, int32_t i_s32Len);
    int TranslateOnePack2Struct(char* i_pData, int32_t i_s32Len);
    // A snapshot of the last Valens command, private to the calling thread.
    const char* GetValensUpCmd();

    // Stages the package for a type-251 order (i_pOrderId: its id, or "");
    // refused while a package upgrade is staged or running.
    int Task_UpdateFile_Path(const char* i_pOrderId = "");
    int Task_Valens_UpdateFile_Path(const char* i_pCmd);
};

extern CUdpListen2vela* g_pudp4vela;

// The fixed carriage of a text to vela: zeroed record, text copied in,
// len = text length + 8, sent with that many bytes; nothing when g_pudp4vela
// is null. Returns Send's result, or -1 when nothing was sent.
int QX_SendText2vela(uint32_t i_u32Type, const char* i_pText);
