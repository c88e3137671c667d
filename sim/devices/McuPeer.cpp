#include "McuPeer.h"

#include <chrono>

#include "VirtualClock.h"

namespace sim {

namespace {
const uint8_t kFlag = 0x7E;
const uint8_t kEsc = 0x7D;

void PutStuffed(Bytes& out, uint8_t b) {
    if (b == kFlag || b == kEsc) {
        out.push_back(kEsc);
        out.push_back(static_cast<uint8_t>(b ^ 0x20));
    } else {
        out.push_back(b);
    }
}

uint16_t Le16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

uint32_t Le32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | (static_cast<uint32_t>(b[at + 1]) << 8) |
           (static_cast<uint32_t>(b[at + 2]) << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

bool IsBarePacket(const Bytes& p) {
    if (p.size() < 4) return false;
    uint16_t op = Le16(p, 2);
    return Le16(p, 0) + 2u == p.size() && op >= 1 && op <= 5;
}

Bytes Ack(uint16_t block) { return {4, 0, 4, 0, static_cast<uint8_t>(block & 0xFF), static_cast<uint8_t>(block >> 8)}; }
}  // namespace

Bytes McuEncodeFrame(uint16_t uid, const Bytes& payload) {
    Bytes out{kFlag};
    unsigned sum = 0;
    Bytes body{static_cast<uint8_t>(uid & 0xFF), static_cast<uint8_t>(uid >> 8)};
    body.insert(body.end(), payload.begin(), payload.end());
    for (uint8_t b : body) {
        sum += b;
        PutStuffed(out, b);
    }
    PutStuffed(out, static_cast<uint8_t>((0x100 - (sum & 0xFF)) & 0xFF));
    out.push_back(kFlag);
    return out;
}

Bytes McuWords(std::initializer_list<uint32_t> words) {
    Bytes out;
    for (uint32_t w : words)
        for (int i = 0; i < 4; i++) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return out;
}

Bytes McuRecord(uint32_t type, const Bytes& payload) {
    Bytes out = McuWords({type, static_cast<uint32_t>(payload.size())});
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

bool McuFrameReader::feed(uint8_t byte, Frame* out) {
    if (byte == kFlag) {
        bool had = inFrame_ && !buf_.empty();
        Bytes body;
        body.swap(buf_);
        inFrame_ = true;
        escape_ = false;
        if (!had) return false;
        unsigned sum = 0;
        for (uint8_t b : body) sum += b;
        if (body.size() < 3 || (sum & 0xFF) != 0) {
            bad_++;
            return false;  // this flag may well open the next frame
        }
        out->uid = Le16(body, 0);
        out->payload.assign(body.begin() + 2, body.end() - 1);
        // The closing flag is not taken as the next opening one: frames come flag to flag.
        inFrame_ = false;
        return true;
    }
    if (!inFrame_) return false;
    if (byte == kEsc) {
        escape_ = true;
        return false;
    }
    buf_.push_back(escape_ ? static_cast<uint8_t>(byte ^ 0x20) : byte);
    escape_ = false;
    return false;
}

McuPeer::McuPeer(PtyLine& line) : line_(line) {
    thread_ = StartThread("mcu peer", [this] { run(); });
    worker_ = StartThread("mcu peer worker", [this] { worker(); });
}

McuPeer::~McuPeer() { stop(); }

void McuPeer::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_ = false;
    }
    NotifyAll(cv_);
    JoinThread(thread_);
    JoinThread(worker_);
}

void McuPeer::run() {
    uint8_t buf[4096];
    while (running_) {
        ssize_t n = line_.read(buf, sizeof(buf), 20);
        if (n <= 0) continue;
        McuFrameReader::Frame f;
        for (ssize_t i = 0; i < n; i++) {
            bool got;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                wire_.push_back(buf[i]);
                got = reader_.feed(buf[i], &f);
            }
            if (got) onFrame(f);
        }
        NotifyAll(cv_);
    }
}

void McuPeer::worker() {
    for (;;) {
        Bytes next;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            WaitFor(lock, cv_, std::chrono::hours(24 * 365), [this] { return !running_ || !outbox_.empty(); });
            if (!running_) return;
            next = outbox_.front();
            outbox_.pop_front();
        }
        send(next);
    }
}

void McuPeer::writeFrame(uint16_t uid, const Bytes& payload) {
    Bytes frame = McuEncodeFrame(uid, payload);
    std::lock_guard<std::mutex> lock(writeMutex_);
    line_.write(frame.data(), frame.size());
}

void McuPeer::sendRaw(const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    line_.write(bytes.data(), bytes.size());
}

int McuPeer::send(const Bytes& payload) {
    uint16_t id;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        id = nextId_;
        nextId_ = static_cast<uint16_t>((nextId_ + 1) & 0x0FFF);
        acked_[id] = false;
    }
    for (int attempt = 0; attempt < 3 && running_; attempt++) {
        writeFrame(static_cast<uint16_t>(id | 0x4000), payload);
        std::unique_lock<std::mutex> lock(mutex_);
        if (WaitFor(lock, cv_, std::chrono::milliseconds(ackTimeoutMs_.load()),
                    [&] { return acked_[id] || !running_; }) &&
            acked_[id]) {
            acked_.erase(id);
            return 1;
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    acked_.erase(id);
    return -2;
}

void McuPeer::queue(const Bytes& payload) {
    std::lock_guard<std::mutex> lock(mutex_);
    outbox_.push_back(payload);
    NotifyAll(cv_);
}

void McuPeer::onFrame(const McuFrameReader::Frame& f) {
    if (f.uid & 0x8000) {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = acked_.find(f.uid & 0x0FFF);
        if (it != acked_.end()) it->second = true;
        NotifyAll(cv_);
        return;
    }
    if (f.uid & 0x4000) {
        if (dropAcks_.load() > 0) {
            dropAcks_--;
            return;  // as if the frame never arrived
        }
        writeFrame(static_cast<uint16_t>(f.uid | 0x8000), Bytes{0});
        acksSent_++;
    }
    if (IsBarePacket(f.payload)) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            packets_.push_back(f.payload);
        }
        onPacket(f.payload, false);
        return;
    }
    if (f.payload.size() < 8) return;
    Record r;
    r.type = Le32(f.payload, 0);
    r.len = static_cast<int32_t>(Le32(f.payload, 4));
    r.payload.assign(f.payload.begin() + 8, f.payload.end());
    r.frame = f.payload;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(r);
    }
    if (r.type == 1 && answerRequest_) {
        queue(McuRecord(2, Bytes{}));
        if (goAhead_ == GoAhead::Record) queue(McuRecord(0, Bytes{4, 0, 4, 0, 0, 0, 0, 0}));
        if (goAhead_ == GoAhead::Packet) queue(Ack(0));
    } else if (r.type == 0 && r.payload.size() >= 4) {
        Bytes p(r.payload.begin(), r.payload.begin() + std::min<size_t>(r.payload.size(), Le16(r.payload, 0) + 2u));
        onPacket(p, true);
    }
}

void McuPeer::onPacket(const Bytes& p, bool inRecord) {
    if (p.size() < 4) return;
    uint16_t op = Le16(p, 2);
    Bytes reply;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string& name = inRecord ? recordName_ : packetName_;
        uint16_t& block = inRecord ? recordBlock_ : packetBlock_;
        if (op == 2) {
            name.assign(reinterpret_cast<const char*>(p.data()) + 4);
            block = 0;
            if (inRecord) {
                recordFile_.clear();
                recordDone_ = false;
            } else {
                files_[name].clear();
            }
            reply = Ack(0);
        } else if (op == 3 && p.size() >= 6) {
            uint16_t b = Le16(p, 4);
            if (b == static_cast<uint16_t>(block + 1)) {
                Bytes& file = inRecord ? recordFile_ : files_[name];
                file.insert(file.end(), p.begin() + 6, p.end());
                block = b;
                if (inRecord && p.size() - 6 < 1024) recordDone_ = true;
            }
            reply = Ack(b);
        }
    }
    if (reply.empty()) return;
    if (inRecord) {
        reply.resize(8, 0);  // the record's len is the packet rounded up to 4
        queue(McuRecord(0, reply));
    } else {
        queue(reply);
    }
}

std::vector<McuPeer::Record> McuPeer::records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}
std::vector<Bytes> McuPeer::packets() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return packets_;
}
std::map<std::string, Bytes> McuPeer::files() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_;
}
Bytes McuPeer::recordFile() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recordFile_;
}
std::string McuPeer::recordFileName() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recordName_;
}
bool McuPeer::recordFileDone() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return recordDone_;
}
Bytes McuPeer::wire() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wire_;
}
size_t McuPeer::badFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reader_.badFrames();
}

bool McuPeer::waitUntil(const std::function<bool()>& pred, int timeoutMs) const {
    auto end = BoardClock::now() + std::chrono::milliseconds(timeoutMs);
    while (BoardClock::now() < end) {
        if (pred()) return true;
        SleepFor(std::chrono::milliseconds(5));
    }
    return pred();
}

}  // namespace sim
