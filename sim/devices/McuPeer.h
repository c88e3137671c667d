// The master MCU's end of the framed, acknowledged record channel, emulated on
// the master side of a pty. Its framing is its own (not the agent's), so the
// agent's frames are checked against a second reading of the same wire rules.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "PtyLine.h"

namespace sim {

using Bytes = std::vector<uint8_t>;

// One frame on the wire: flag, uid (LE), stuffed payload, FCS, flag.
Bytes McuEncodeFrame(uint16_t uid, const Bytes& payload);
// Little-endian 32-bit words, as a record's header and a status record's
// payload carry them (a header may state any len, true or not).
Bytes McuWords(std::initializer_list<uint32_t> words);
// A record: type and len little-endian, then the payload.
Bytes McuRecord(uint32_t type, const Bytes& payload);

// Reads frames out of a byte stream.
class McuFrameReader {
public:
    struct Frame {
        uint16_t uid;
        Bytes payload;
    };
    // Feeds one byte; true when a good frame is complete (in *out).
    bool feed(uint8_t byte, Frame* out);
    size_t badFrames() const { return bad_; }

private:
    bool inFrame_ = false;
    bool escape_ = false;
    Bytes buf_;
    size_t bad_ = 0;
};

class McuPeer {
public:
    struct Record {
        uint32_t type;
        int32_t len;
        Bytes payload;  // the frame's bytes after the header
        Bytes frame;    // the whole frame payload
    };
    // What the MCU answers to an upgrade request (type 1).
    enum class GoAhead { None, Record, Packet };

    explicit McuPeer(PtyLine& line);
    ~McuPeer();
    McuPeer(const McuPeer&) = delete;
    McuPeer& operator=(const McuPeer&) = delete;

    void stop();

    // Knobs.
    void setAnswerUpgradeRequest(bool on) { answerRequest_ = on; }
    void setGoAhead(GoAhead g) { goAhead_ = g; }
    void setAckTimeoutMs(int ms) { ackTimeoutMs_ = ms; }
    // Leaves the next n frames that ask for an acknowledgement unacknowledged
    // (they are still taken in).
    void dropAcks(int n) { dropAcks_ = n; }

    // Sends a frame payload asking for an acknowledgement, retrying up to 3
    // times; 1 when acknowledged, -2 otherwise.
    int send(const Bytes& payload);
    int sendRecord(uint32_t type, const Bytes& payload) { return send(McuRecord(type, payload)); }
    // Raw bytes onto the line.
    void sendRaw(const Bytes& bytes);

    std::vector<Record> records() const;
    std::vector<Bytes> packets() const;          // bare engine packets received
    std::map<std::string, Bytes> files() const;  // files received by bare packets
    Bytes recordFile() const;                    // the image received in type-0 records
    std::string recordFileName() const;
    bool recordFileDone() const;
    Bytes wire() const;  // every byte the agent wrote
    size_t badFrames() const;
    size_t acksSent() const { return acksSent_.load(); }
    bool waitUntil(const std::function<bool()>& pred, int timeoutMs = 30000) const;

private:
    void run();
    void worker();
    void onFrame(const McuFrameReader::Frame& f);
    void onPacket(const Bytes& p, bool inRecord);
    void queue(const Bytes& payload);
    void writeFrame(uint16_t uid, const Bytes& payload);
    Bytes packetAck(uint16_t block) const;

    PtyLine& line_;
    std::atomic<bool> running_{true};
    std::atomic<bool> answerRequest_{true};
    std::atomic<GoAhead> goAhead_{GoAhead::Record};
    std::atomic<int> ackTimeoutMs_{2000};
    std::atomic<int> dropAcks_{0};
    std::atomic<size_t> acksSent_{0};

    std::mutex writeMutex_;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    McuFrameReader reader_;
    uint16_t nextId_ = 0;
    std::map<uint16_t, bool> acked_;
    std::vector<Record> records_;
    std::vector<Bytes> packets_;
    Bytes wire_;
    std::deque<Bytes> outbox_;
    // transfers in progress
    std::map<std::string, Bytes> files_;
    std::string packetName_;
    uint16_t packetBlock_ = 0;
    Bytes recordFile_;
    std::string recordName_;
    uint16_t recordBlock_ = 0;
    bool recordDone_ = false;

    std::thread thread_;
    std::thread worker_;
};

}  // namespace sim
