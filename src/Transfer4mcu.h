// Master-MCU packet channel: comm_master_t records in acknowledged frames on
// the serial port, the MCU's text commands, and the file push to the MCU.
#pragma once

#include <pthread.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <vector>

#include "Udp2vela.h"
#include "tiny_hd.h"

#define MAX_UART_DATA 2048
#define QX_UART_INBUF_SIZE 2048
#define QX_RECORD_HDR 8
#define QX_RECORD_MAX_LEN 1024
#define QX_MSG_LINE_SIZE 512
#define QX_MSG_MAX_WORDS 70
#define QX_MSG_WORD_SIZE 32
#define QX_MCU_UPDATE_INI "QX_MCU_Update.ini"

typedef enum { QX_MCU_TYPE_MASTER = 0 } QX_MCU_TYPE;

// Last block-transfer opcode and block number from the MCU; -1, -1 for none.
struct comm_core_t {
    std::atomic<int32_t> ops_code{-1};
    std::atomic<int32_t> tu_block{-1};
};
// Upgrade status last reported by the MCU or set by the file push.
struct upg_info_t {
    std::atomic<int32_t> mcu{0};
    std::atomic<int32_t> status{0};
};

typedef int (*QX_CmdHandler)(int32_t i_s32Fd, char** i_ppWords, int32_t i_s32Count);
typedef struct {
    int32_t s32KeyCount;
    int32_t s32MinWords;
    int32_t s32MaxWords;
    QX_CmdHandler pHandler;
    const char* szWords[16];
} QX_MsgCmd_t;

extern const QX_MsgCmd_t aMsgCmdLists[41];

class CTransfer4mcu {
public:
    CTransfer4mcu() {}

    static int32_t m_s32Uart2Fd;
    static pthread_mutex_t m_ReadMutex;
    static pthread_mutex_t m_WriteMutex;

    // Port and threads.
    static int UART_Open_Port(int i_s32Fd, int i_s32Port);
    static int QX_UartInit();
    // Ends both threads and closes the port (the board never calls it; tools and tests do).
    static int QX_UartClose();
    static void* thr_fn(void* i_pHandle);
    static int QX_UartData_Thread();
    static int32_t write_block_func(void* i_pUser, const void* i_pData, int32_t i_s32Len);
    static int32_t read_block_func(void* i_pUser, void* o_pBuf, int32_t i_s32Len);
    static int32_t SerialSend(int i_s32Fd, const void* i_pData, int32_t i_s32Len);
    static int32_t SerialReceive(int i_s32Fd, void* o_pBuf, int32_t i_s32Len);
    static int32_t Uart2tread(int i_s32Fd, void* o_pBuf, int32_t i_s32Len, int32_t i_s32TimeoutUs);

    // Records.
    static int QX_UartWrite(comm_master_t* i_pData);
    static int SendMsg(int32_t i_s32Fd, const char* i_pMsg, int32_t i_s32MsgLen, uint32_t i_u32Type);
    static int QX_WaitUPGReady(uint8_t i_u8FileCount);
    static int QX_GetTLVFromData(const uint8_t* i_pBuf, int32_t i_s32Len, comm_master_t* o_pData);
    static void QX_UartReadCallBack(tiny_link_handle* i_pHandle, uint16_t i_u16Id, uint8_t* i_pData, int32_t i_s32Len);
    static void* QX_UartDataMonitor(void* i_pArg);
    static void QX_DispatchRecord(comm_master_t* io_pRecord);

    // Text commands.
    static int MsgProcess(int32_t i_s32Fd, int32_t i_s32Mode, char* i_pMultiMsg, int32_t i_s32BufLen);
    static int BufferProcess(int32_t i_s32Fd, int32_t i_s32Mode, char* i_pMultiMsg, int32_t i_s32BufLen,
                             char* o_pOneMsg, int32_t i_s32OneMsgSize);
    static char* FindEnterOrWrap(char* i_pMsg, int32_t i_s32Len);
    static int SeparateMsg(const char* i_pMsg, int32_t i_s32MaxWords, char** o_ppWords, int32_t i_s32WordSize);
    static int AnalyzeMsg(int32_t i_s32Fd, char** i_ppWords, int32_t i_s32Count);
    // Appends "%02X" per byte, single spaces between, within i_s32Size bytes of o_pText.
    static void HexDataToStr(int32_t i_s32Count, const uint8_t* i_pData, char* o_pText, int32_t i_s32Size);
    static void RespondOneFrameEnd(char* o_pText, int32_t i_s32Size);

    // File push.
    static int start_tftp();
    static void* tftp_th(void* i_pArg);
    static std::vector<std::string> getMcuUpdateFilesName(const char* i_pPath);
    static int QX_SendFileToSTM32(int32_t i_s32McuType, int32_t i_s32Attempts, int32_t i_s32Unused);
    static void* QX_SendUPGFileToSTM32(void* i_pArg);
};

extern CTransfer4mcu* g_pTransferFile2mcu;

extern tiny_link_handle g_QXhandle;
extern std::atomic<int32_t> g_bThrRun;
extern std::atomic<int32_t> g_bSendReady;
extern comm_core_t g_comm_core;
extern upg_info_t g_UpgInfo;
