// YMODEM sender and receiver on the board's serial port.
#include "fymodem.h"
#include "QxClock.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>

#include "BoardProfile.h"
#include "QxLog.h"
#include "Taskfile2mcu.h"

namespace {
ym_progress_fn s_fnProgress = nullptr;
void* s_pProgressUser = nullptr;
uint32_t s_u32Acked = 0;             // file bytes acknowledged in this send
uint64_t s_u64TransferDeadline = 0;  // end of the whole transfer (0: none)

enum { YM_READ_TIMEOUT = -1, YM_READ_BROKEN = -2 };

// One byte, or YM_READ_TIMEOUT when a single wait ends without one, or
// YM_READ_BROKEN when the port itself failed (nothing will ever come).
int ReadByte(unsigned int i_u32TimeoutMs) {
    errno = 0;
    int32_t c = g_pTaskUP4mcu->StUartRead1Byte(i_u32TimeoutMs);
    if (c >= 0) return c;
    return (errno == ETIME || errno == EINTR) ? YM_READ_TIMEOUT : YM_READ_BROKEN;
}

// The answer to a send: a single silent second does not end the wait, the
// step's own deadline does.
int ReadAnswer(uint64_t i_u64DeadlineMs) {
    for (;;) {
        int c = ReadByte(1000);
        if (c != YM_READ_TIMEOUT) return c;
        if (Clock_MonoMs() >= i_u64DeadlineMs) return YM_READ_TIMEOUT;
    }
}

// An answer is awaited for YM_ANSWER_WAIT_MS, never past the transfer's end.
uint64_t AnswerDeadline() {
    uint64_t u64Deadline = Clock_MonoMs() + YM_ANSWER_WAIT_MS;
    if (s_u64TransferDeadline != 0 && s_u64TransferDeadline < u64Deadline) u64Deadline = s_u64TransferDeadline;
    return u64Deadline;
}

bool TransferOvertime() { return s_u64TransferDeadline != 0 && Clock_MonoMs() >= s_u64TransferDeadline; }

// The speed the port is set to; the board's Valens speed when it cannot be read.
uint32_t LineBaud() {
    struct termios tio;
    if (tcgetattr(g_pTaskUP4mcu->m_Uartfd, &tio) != 0) return 115200;
    static const struct {
        speed_t speed;
        uint32_t u32Baud;
    } s_aRates[] = {{B9600, 9600},     {B19200, 19200},   {B38400, 38400},   {B57600, 57600},
                    {B115200, 115200}, {B230400, 230400}, {B460800, 460800}, {B921600, 921600}};
    speed_t speed = cfgetospeed(&tio);
    for (const auto& rate : s_aRates)
        if (rate.speed == speed) return rate.u32Baud;
    return 115200;
}

void WriteByte(unsigned char i_c) { g_pTaskUP4mcu->StUartWrite((const char*)&i_c, 1); }

int32_t Cancel() {
    WriteByte(YM_CAN);
    WriteByte(YM_CAN);
    Board_usleep(1000000);
    return -1;
}

int32_t GiveUp(const char* i_pWhat) {
    qx_printf("###### YM: %s not acknowledged after %d sends, transfer cancelled\n", i_pWhat, YM_MAX_SENDS);
    return Cancel();
}

// A receiver that waited a while before we started has queued several 'C'
// bytes; they are requests for packet 0, not answers to it.
void DrainInput() {
    for (int i = 0; i < 256; i++) {
        if (ReadByte(0) < 0) break;
    }
}
}  // namespace

void fymodem_set_progress(ym_progress_fn i_fn, void* i_pUser) {
    s_fnProgress = i_fn;
    s_pProgressUser = i_pUser;
}

uint16_t ym_crc16(const unsigned char* i_pData, uint32_t i_u32Len) {
    uint16_t crc = 0;
    for (uint32_t i = 0; i < i_u32Len; i++) {
        uint16_t t = (uint16_t)(i_pData[i] ^ (crc >> 8));
        t ^= (uint16_t)(t >> 4);
        crc = (uint16_t)((crc << 8) ^ (t << 12) ^ (t << 5) ^ t);
    }
    return crc;
}

int32_t ym_send_packet(unsigned char* i_pData, int i_s32Block) {
    unsigned char aPacket[3 + YM_PACKET_1K_SIZE + 2];
    memset(aPacket, 0, sizeof(aPacket));
    uint32_t u32Size = (i_s32Block == 0) ? YM_PACKET_SIZE : YM_PACKET_1K_SIZE;
    aPacket[0] = (i_s32Block == 0) ? YM_SOH : YM_STX;
    aPacket[1] = (unsigned char)(i_s32Block & 0xFF);
    aPacket[2] = (unsigned char)(~i_s32Block & 0xFF);
    if (i_pData != nullptr) memcpy(aPacket + 3, i_pData, u32Size);
    uint16_t crc = ym_crc16(aPacket + 3, u32Size);
    aPacket[3 + u32Size] = (unsigned char)(crc >> 8);
    aPacket[4 + u32Size] = (unsigned char)(crc & 0xFF);
    return g_pTaskUP4mcu->StUartWrite((const char*)aPacket, (int)(u32Size + 5));
}

int32_t ym_send_packet0(const char* i_pFilename, int i_s32Size) {
    unsigned char aPayload[YM_PACKET_SIZE];
    memset(aPayload, 0, sizeof(aPayload));
    if (i_pFilename != nullptr) {
        size_t nName = strnlen(i_pFilename, YM_FILE_NAME_MAX);
        memcpy(aPayload, i_pFilename, nName);
        // name, 0, size digits (at most 10), 0: always inside the 128 bytes
        snprintf((char*)aPayload + nName + 1, 11, "%u", (unsigned)i_s32Size);
    }
    return ym_send_packet(aPayload, 0);
}

namespace {
enum YmStep { kYmDone, kYmAgain, kYmFail, kYmCancel };

// Sends with i_send and judges the answer with i_judge (given the answer's
// deadline) until the step is done, fails, or YM_MAX_SENDS sends are spent.
template <typename Send, typename Judge>
int32_t SendAndAwait(const char* i_pWhat, Send i_send, Judge i_judge) {
    for (int nSends = 0; nSends < YM_MAX_SENDS; nSends++) {
        if (TransferOvertime()) {
            qx_printf("###### YM: transfer not done in its time at the %s, transfer cancelled\n", i_pWhat);
            return Cancel();
        }
        i_send();
        switch (i_judge(AnswerDeadline())) {
            case kYmDone:
                return 0;
            case kYmFail:
                return -1;
            case kYmCancel:
                return Cancel();
            case kYmAgain:
                break;
        }
    }
    return GiveUp(i_pWhat);
}

// Packet 0: one 'C' that crossed it on the line is forgiven once.
int32_t SendPacket0(const char* i_pFilename, unsigned int i_u32Size) {
    bool bTolerateC = true;
    auto judge = [&bTolerateC](uint64_t i_u64Deadline) {
        int c = ReadAnswer(i_u64Deadline);
        if (c == YM_ACK) {
            c = ReadAnswer(i_u64Deadline);
            if (c == YM_CRC) return kYmDone;
            return c == YM_READ_BROKEN ? kYmCancel : kYmAgain;
        }
        if (c == YM_CRC) {
            if (!bTolerateC) return kYmCancel;
            bTolerateC = false;
            return kYmAgain;
        }
        if (c == YM_NAK) return bTolerateC ? kYmCancel : kYmAgain;
        return c == YM_READ_TIMEOUT ? kYmAgain : kYmCancel;
    };
    auto send = [&] { ym_send_packet0(i_pFilename, (int)i_u32Size); };
    return SendAndAwait("packet 0", send, judge);
}

// Data: 1024-byte packets, the last one padded with zeros.
int32_t SendData(unsigned char* i_pData, unsigned int i_u32Size) {
    uint32_t u32Done = 0;
    int s32Block = 1;
    unsigned char aLast[YM_PACKET_1K_SIZE];
    while (u32Done < i_u32Size) {
        uint32_t u32Chunk = i_u32Size - u32Done;
        unsigned char* pPayload = i_pData + u32Done;
        if (u32Chunk < YM_PACKET_1K_SIZE) {
            memset(aLast, 0, sizeof(aLast));
            memcpy(aLast, pPayload, u32Chunk);
            pPayload = aLast;
        } else {
            u32Chunk = YM_PACKET_1K_SIZE;
        }
        auto judge = [s32Block](uint64_t i_u64Deadline) {
            int c = ReadAnswer(i_u64Deadline);
            if (c == YM_ACK) return kYmDone;
            if (c == YM_CAN) {
                qx_printf("###### YM: receiver cancelled at block %d\n", s32Block);
                return kYmFail;
            }
            if (c == YM_READ_BROKEN) {
                qx_printf("###### YM: serial port failed at block %d\n", s32Block);
                return kYmFail;
            }
            return kYmAgain;
        };
        auto send = [&] { ym_send_packet(pPayload, s32Block); };
        if (SendAndAwait("data packet", send, judge) != 0) return -1;
        u32Done += u32Chunk;
        s_u32Acked = u32Done;
        s32Block++;
        if (s_fnProgress != nullptr) s_fnProgress(u32Done, i_u32Size, s_pProgressUser);
    }
    return 0;
}

// Acknowledged by an ACK; anything but a broken port is worth another send.
YmStep AwaitAck(int i_c) {
    if (i_c == YM_ACK) return kYmDone;
    return i_c == YM_READ_BROKEN ? kYmFail : kYmAgain;
}

// End of file (a receiver may NAK the first EOT), then the closing packet.
int32_t SendEnd() {
    auto eot = [](uint64_t i_u64Deadline) { return AwaitAck(ReadAnswer(i_u64Deadline)); };
    auto sendEot = [] { WriteByte(YM_EOT); };
    if (SendAndAwait("EOT", sendEot, eot) != 0) return -1;
    if (ReadAnswer(AnswerDeadline()) != YM_CRC) {
        qx_printf("###### YM: receiver did not ask for the closing packet after the end of file\n");
        return -1;
    }
    // A 'C' here is the receiver repeating its request while the packet is on
    // its way, so it does not cost a send; but a receiver that repeats it for
    // ever must not hold us past the answer's deadline.
    auto closing = [](uint64_t i_u64Deadline) {
        int c;
        do {
            c = ReadAnswer(i_u64Deadline);
        } while (c == YM_CRC && Clock_MonoMs() < i_u64Deadline);
        return AwaitAck(c);
    };
    auto sendClosing = [] { ym_send_packet0(nullptr, 0); };
    return SendAndAwait("closing packet", sendClosing, closing);
}
}  // namespace

uint32_t fymodem_acked(void) { return s_u32Acked; }

// Per packet (header and closing packet included) four sends of its 1029
// bytes at 10 bits a byte, and a second for the receiver to take it; on top,
// one packet's whole bound of sends and 20 s. 2 MiB at 115200 bit/s: 48 min,
// where a healthy transfer takes about 3 min and a receiver that answers only
// every tenth send would hold the line for 57 hours.
uint64_t fymodem_transfer_bound_ms(uint32_t i_u32Size, uint32_t i_u32Baud) {
    uint64_t u64Packets = ((uint64_t)i_u32Size + YM_PACKET_1K_SIZE - 1) / YM_PACKET_1K_SIZE + 2;
    uint64_t u64Wire = u64Packets * YM_TRANSFER_SENDS * (3 + YM_PACKET_1K_SIZE + 2) * 10u * 1000u;
    return YM_TRANSFER_BASE_MS + u64Wire / (i_u32Baud > 0 ? i_u32Baud : 115200) + u64Packets * YM_TRANSFER_PACKET_MS;
}

int32_t fymodem_send(unsigned char* i_pData, unsigned int i_u32Size, const char* i_pFilename) {
    s_u32Acked = 0;
    if (g_pTaskUP4mcu == nullptr || (i_pData == nullptr && i_u32Size > 0) || i_u32Size > 0x7FFFFFFFu) {
        qx_printf("###### YM: nothing to send (no port object or no data)\n");
        return -1;
    }
    Board_usleep(1000000);
    fflush(nullptr);

    // The receiver's first 'C'.
    int c = ReadAnswer(Clock_MonoMs() + YM_FIRST_C_WAIT_MS);
    if (c != YM_CRC) {
        if (c == YM_READ_TIMEOUT)
            qx_printf("###### YM: receiver not ready, no 'C' within %d s\n", YM_FIRST_C_WAIT_MS / 1000);
        return Cancel();
    }
    DrainInput();
    // Each packet's sends are bounded, but a receiver that answers only now
    // and then must not hold the line for days: the whole transfer is bounded too.
    s_u64TransferDeadline = Clock_MonoMs() + fymodem_transfer_bound_ms(i_u32Size, LineBaud());
    bool bSent = SendPacket0(i_pFilename, i_u32Size) == 0 && SendData(i_pData, i_u32Size) == 0 && SendEnd() == 0;
    s_u64TransferDeadline = 0;
    return bSent ? (int32_t)i_u32Size : -1;
}

// ---- receiver -------------------------------------------------------------------

namespace {
#define YM_RX_NAME_MAX 64
#define YM_RX_ERRORS_MAX 5
#define YM_RX_FIRST_WAIT_MS 60000

enum { YM_RX_GOOD = 0, YM_RX_BAD = 1 };

// Reads the rest of a packet whose first byte was SOH or STX into o_pPacket
// (block, complement, payload, CRC). Returns YM_RX_GOOD or YM_RX_BAD.
int ReceivePacketBody(int i_c, unsigned char* o_pPacket, uint32_t* o_pPayloadLen) {
    uint32_t u32Payload = (i_c == YM_SOH) ? YM_PACKET_SIZE : YM_PACKET_1K_SIZE;
    *o_pPayloadLen = u32Payload;
    for (uint32_t i = 0; i < u32Payload + 4; i++) {
        int b = ReadByte(1000);
        if (b < 0) return YM_RX_BAD;
        o_pPacket[i] = (unsigned char)b;
    }
    if (o_pPacket[0] != (unsigned char)~o_pPacket[1]) return YM_RX_BAD;
    // CRC over payload and CRC bytes leaves 0 for a good packet.
    if (ym_crc16(o_pPacket + 2, u32Payload + 2) != 0) return YM_RX_BAD;
    return YM_RX_GOOD;
}

// Size field of packet 0: leading spaces skipped, at most 16 characters up to
// a space or the end. Returns false when it holds no digits.
bool ParseSize(const unsigned char* i_pField, uint32_t i_u32Avail, uint32_t* o_pSize) {
    uint32_t i = 0;
    while (i < i_u32Avail && i_pField[i] == ' ') i++;
    char szDigits[17];
    uint32_t n = 0;
    while (i < i_u32Avail && n < 16 && i_pField[i] != ' ' && i_pField[i] != 0) szDigits[n++] = (char)i_pField[i++];
    szDigits[n] = '\0';
    if (n == 0 || szDigits[0] < '0' || szDigits[0] > '9') return false;
    unsigned long long v = strtoull(szDigits, nullptr, 10);
    if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull;
    *o_pSize = (uint32_t)v;
    return true;
}

// The receiver's state from packet to packet.
struct YmRx {
    unsigned char* pBuffer;
    uint32_t u32Capacity;
    char* pFilename;
    uint64_t u64FirstDeadline;
    bool bStarted = false;    // a packet 0 was accepted
    bool bWantHeader = true;  // next is a packet 0
    uint32_t u32Expect = 0;
    uint32_t u32Stored = 0;
    uint32_t u32FileSize = 0;
    bool bSizeKnown = false;
    int32_t s32LastSize = 0;
    int nErrors = 0;
    int32_t s32Result = 0;  // set by End()

    // Anything that does not move the transfer on (a bad or repeated packet,
    // a wrong block, a stray EOT, silence) counts against the same bound, so
    // a sender that repeats itself for ever cannot hold us.
    bool NoProgress() {
        if (!bStarted) return Clock_MonoMs() >= u64FirstDeadline;
        return ++nErrors >= YM_RX_ERRORS_MAX;
    }
    // Each step returns true once the transfer is over, its result set here.
    bool End(int32_t i_s32Result) {
        s32Result = i_s32Result;
        return true;
    }
};

// Packet 0: the file's name and size, or the empty one that ends the batch.
bool RxHeader(YmRx& io_rx, const unsigned char* i_pPacket, uint32_t i_u32Payload) {
    const unsigned char* pPayload = i_pPacket + 2;
    if (i_pPacket[0] != 0) {
        if (io_rx.NoProgress()) return io_rx.End(Cancel());
        WriteByte(YM_NAK);
        return false;
    }
    if (pPayload[0] == 0 && pPayload[1] == 0 && pPayload[2] == 0 && pPayload[3] == 0) {
        WriteByte(YM_ACK);
        return io_rx.End(io_rx.s32LastSize);
    }
    const unsigned char* pEnd = (const unsigned char*)memchr(pPayload, 0, i_u32Payload);
    uint32_t u32NameLen = pEnd ? (uint32_t)(pEnd - pPayload) : i_u32Payload;
    uint32_t u32Copy = u32NameLen < YM_RX_NAME_MAX ? u32NameLen : YM_RX_NAME_MAX;
    memcpy(io_rx.pFilename, pPayload, u32Copy);
    io_rx.pFilename[u32Copy] = '\0';
    uint32_t u32SizeAt = u32NameLen + 1;
    io_rx.bSizeKnown =
        u32SizeAt < i_u32Payload && ParseSize(pPayload + u32SizeAt, i_u32Payload - u32SizeAt, &io_rx.u32FileSize);
    if (io_rx.bSizeKnown && io_rx.u32FileSize > io_rx.u32Capacity) {
        qx_printf("YM: RX buffer too small (0x%08x vs 0x%08x)\n", io_rx.u32Capacity, io_rx.u32FileSize);
        return io_rx.End(Cancel());
    }
    WriteByte(YM_ACK);
    WriteByte(YM_CRC);
    io_rx.bStarted = true;
    io_rx.bWantHeader = false;
    io_rx.u32Expect = 1;
    io_rx.u32Stored = 0;
    io_rx.nErrors = 0;
    return false;
}

// The expected data packet, stored. The padding after the announced end is
// not part of the file, so a file that fits the buffer is never refused for
// its last packet.
bool RxStore(YmRx& io_rx, const unsigned char* i_pPayload, uint32_t i_u32Payload) {
    uint32_t u32Take = i_u32Payload;
    if (io_rx.bSizeKnown) {
        uint32_t u32Left = io_rx.u32FileSize > io_rx.u32Stored ? io_rx.u32FileSize - io_rx.u32Stored : 0;
        if (u32Take > u32Left) u32Take = u32Left;
    }
    if ((uint64_t)io_rx.u32Stored + u32Take > io_rx.u32Capacity) {
        qx_printf("YM: RX buffer overflow (exceeded 0x%08x)\n", io_rx.u32Capacity);
        return io_rx.End(Cancel());
    }
    if (u32Take > 0) memcpy(io_rx.pBuffer + io_rx.u32Stored, i_pPayload, u32Take);
    io_rx.u32Stored += u32Take;
    io_rx.u32Expect++;
    io_rx.nErrors = 0;
    WriteByte(YM_ACK);
    return false;
}

// A data packet: the expected block, the one before it again, or a wrong one.
bool RxData(YmRx& io_rx, const unsigned char* i_pPacket, uint32_t i_u32Payload) {
    uint32_t u32Block = i_pPacket[0];
    if (u32Block == (io_rx.u32Expect & 0xFF)) return RxStore(io_rx, i_pPacket + 2, i_u32Payload);
    if (io_rx.NoProgress()) return io_rx.End(Cancel());
    if (u32Block == ((io_rx.u32Expect - 1) & 0xFF)) {
        // Our ACK was lost and the sender repeats: acknowledge, keep nothing.
        WriteByte(YM_ACK);
        if (io_rx.u32Expect == 1) WriteByte(YM_CRC);
    } else {
        WriteByte(YM_NAK);
    }
    return false;
}

// End of file: acknowledged and the next packet 0 asked for. One that comes
// while a packet 0 is awaited moves nothing on.
bool RxEot(YmRx& io_rx) {
    if (io_rx.bWantHeader && io_rx.NoProgress()) return io_rx.End(Cancel());
    WriteByte(YM_ACK);
    WriteByte(YM_CRC);
    if (!io_rx.bWantHeader) {
        io_rx.s32LastSize = (int32_t)(io_rx.bSizeKnown ? io_rx.u32FileSize : io_rx.u32Stored);
        io_rx.nErrors = 0;
    }
    io_rx.bWantHeader = true;
    io_rx.u32Stored = 0;
    return false;
}

// A bad packet, silence, or a byte that asks for nothing: another 'C', until
// the bound runs out.
bool RxNothing(YmRx& io_rx, int i_c) {
    if (i_c == YM_READ_BROKEN) {
        qx_printf("###### YM: serial port failed\n");
        return io_rx.End(-1);
    }
    if (io_rx.NoProgress()) {
        if (io_rx.bStarted)
            qx_printf("YM: RX errors too many: %d - ABORT.\n", io_rx.nErrors);
        else
            qx_printf("###### YM: no sender within %d s\n", YM_RX_FIRST_WAIT_MS / 1000);
        return io_rx.End(Cancel());
    }
    WriteByte(YM_CRC);
    return false;
}

// Any byte that starts no packet and ends no file: two CANs end the transfer,
// as does a byte no sender would send; a lone CAN, a 'C' or an 'A' are noise.
bool RxOther(YmRx& io_rx, int i_c) {
    if (i_c == YM_CAN) {
        if (ReadByte(1000) == YM_CAN) {
            WriteByte(YM_ACK);
            qx_printf("###### YM: transfer cancelled by the sender\n");
            return io_rx.End(-1);
        }
    } else if (i_c >= 0 && i_c != YM_CRC && i_c != 'A' && i_c != 'a') {
        WriteByte(YM_ACK);
        qx_printf("###### YM: unexpected byte %#x, transfer ended\n", (unsigned)i_c);
        return io_rx.End(-1);
    }
    return RxNothing(io_rx, i_c);
}
}  // namespace

int32_t fymodem_receive(unsigned char* o_pBuffer, unsigned int i_u32Capacity, char* o_pFilename) {
    if (g_pTaskUP4mcu == nullptr || o_pFilename == nullptr || (o_pBuffer == nullptr && i_u32Capacity > 0)) return -1;
    o_pFilename[0] = '\0';
    YmRx rx{o_pBuffer, i_u32Capacity, o_pFilename, Clock_MonoMs() + YM_RX_FIRST_WAIT_MS};
    unsigned char aPacket[2 + YM_PACKET_1K_SIZE + 2];
    for (;;) {
        int c = ReadByte(1000);
        uint32_t u32Payload = 0;
        bool bEnded;
        if (c == YM_SOH || c == YM_STX) {
            if (ReceivePacketBody(c, aPacket, &u32Payload) != YM_RX_GOOD)
                bEnded = RxNothing(rx, c);
            else if (rx.bWantHeader)
                bEnded = RxHeader(rx, aPacket, u32Payload);
            else
                bEnded = RxData(rx, aPacket, u32Payload);
        } else if (c == YM_EOT) {
            bEnded = RxEot(rx);
        } else {
            bEnded = RxOther(rx, c);
        }
        if (bEnded) return rx.s32Result;
    }
}
