#include "Board.h"

#include <algorithm>
#include <memory>

namespace sim {

namespace {
const char kReset[] = "UPG RST\r\n";
const char kSig[] = "UPG MCUSIG\r\n";
const size_t kWindow = 32;

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}
}  // namespace

// The line as a device sees it when it is noisy; used on the board thread only.
class Board::NoisyLink : public Link {
public:
    NoisyLink(Board& board) : board_(board) {}
    void send(const void* data, size_t len) override {
        std::vector<uint8_t> b((const uint8_t*)data, (const uint8_t*)data + len);
        board_.noise(b.data(), len);
        board_.line_.write(b.data(), len);
    }
    unsigned baud() const override { return board_.line_.baud(); }

private:
    Board& board_;
};

Board::Board(PtyLine& line) : line_(line), link_(new PtyLink(line)) {}

void Board::setNoise(double p, unsigned seed) {
    noise_ = p;
    rng_.seed(seed);
    if (p > 0) link_.reset(new NoisyLink(*this));
}

void Board::noise(uint8_t* data, size_t len) {
    if (noise_ <= 0) return;
    std::uniform_real_distribution<double> chance(0, 1);
    for (size_t i = 0; i < len; i++)
        if (chance(rng_) < noise_) {
            data[i] ^= (uint8_t)(1u << (rng_() % 8));
            flipped_++;
        }
}

Board::~Board() { stop(); }

void Board::route(const std::string& entry, Device* dev) { routes_[entry] = dev; }

void Board::routeSig(Device* ioMcu, Device* valens) {
    ioMcu_ = ioMcu;
    valens_ = valens;
}

void Board::start() {
    if (running_.exchange(true)) return;
    thread_ = StartThread("board", [this] { run(); });
}

void Board::stop() {
    if (!running_.exchange(false)) return;
    JoinThread(thread_);
    release();
}

void Board::powerCut() {
    stop();
    line_.powerCut();
    log("power cut");
}

std::vector<std::string> Board::routerLog() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return log_;
}

std::string Board::holder() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return holderName_;
}

double Board::heldSeconds(const std::string& device) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = held_.find(device);
    if (it == held_.end()) return 0;
    auto end = holderName_ == device ? BoardClock::now() : it->second.second;
    return std::chrono::duration<double>(end - it->second.first).count();
}

void Board::log(const std::string& s) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(s);
}

void Board::run() {
    uint8_t buf[4096];
    speedAfter_ = line_.baud();
    while (running_.load()) {
        // The bytes of a read were written at the speed the line had just
        // after the last read or at the one it has now: the agent may change
        // it (stty) before this thread gets to read them.
        // Asleep until bytes come or the holder's next timer; the run flag is
        // looked at every second.
        std::chrono::nanoseconds wait = std::chrono::seconds(1);
        if (current_) {
            auto in = current_->tickIn();
            if (in.count() >= 0) wait = std::min(wait, in);
        }
        ssize_t n = line_.read(buf, sizeof(buf), wait);
        speedBefore_ = speedAfter_;
        speedAfter_ = line_.baud();
        if (n > 0) noise(buf, (size_t)n);
        for (ssize_t i = 0; i < n; i++) handle(buf[i]);
        // Timers run when due: not at the instant bytes came, when the agent
        // may be changing the line's speed (which no byte tells).
        if (current_ && (n <= 0 || current_->tickIn().count() == 0)) current_->onTick(*link_);
        if (current_ && current_->released()) {
            log("<- " + current_->name());
            release();
        }
    }
}

void Board::attach(Device* dev, const std::string& entryText) {
    const std::string entry = entryText;  // may be appLine_, cleared below
    if (current_) current_->detach();
    current_ = dev;
    window_.clear();
    appLine_.clear();
    sigPending_ = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto now = BoardClock::now();
        if (!holderName_.empty()) held_[holderName_].second = now;
        holderName_ = dev ? dev->name() : "";
        if (dev && !held_.count(holderName_)) held_[holderName_] = {now, now};
        log_.push_back("-> " + (dev ? dev->name() : std::string("?")));
    }
    if (dev) dev->attach(*link_, entry);
}

void Board::release() {
    if (current_) current_->detach();
    current_ = nullptr;
    window_.clear();
    appLine_.clear();
    sigPending_ = false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!holderName_.empty()) held_[holderName_].second = BoardClock::now();
    holderName_.clear();
}

void Board::handle(uint8_t byte) {
    // After the first "UPG MCUSIG" the application listens at 115200 for the target.
    unsigned want = current_ ? current_->expectedBaud() : (sigPending_ ? 115200u : 57600u);
    if (want != 0 && speedBefore_ != want && speedAfter_ != want) garbled_++;
    if (current_) {
        handleHeld(byte);
        return;
    }
    // Application mode: text lines.
    appLine_.push_back((char)byte);
    if (appLine_.size() > 256) appLine_.erase(0, appLine_.size() - 256);
    if (sigPending_)
        handleAfterSig();
    else if (EndsWith(appLine_, "\r\n"))
        handleAppLine();
}

// A device holds the line: the bytes are its own, but "UPG RST", another
// device's entry text or "UPG MCUSIG" take the line from it.
void Board::handleHeld(uint8_t byte) {
    current_->onBytes(*link_, &byte, 1);
    window_.push_back((char)byte);
    if (window_.size() > kWindow) window_.erase(0, window_.size() - kWindow);
    // Every text that takes the line ends with "\r\n".
    if (byte != '\n') return;
    if (EndsWith(window_, kReset)) {
        resets_++;
        log(std::string("UPG RST"));
        release();
        return;
    }
    for (const auto& kv : routes_) {
        if (kv.second != current_ && EndsWith(window_, kv.first)) {
            log(kv.first.substr(0, kv.first.size() - 2));
            attach(kv.second, kv.first);
            return;
        }
    }
    // The IO MCU's entry reaches the router while another device holds the
    // line (the last BV port); the IO MCU and the chip take repeats themselves.
    if (current_ != ioMcu_ && current_ != valens_ && EndsWith(window_, kSig)) {
        log("UPG MCUSIG");
        release();
        sigPending_ = true;
    }
}

// After "UPG MCUSIG": a second one selects the IO MCU, a text with "TX" or
// "RX" the Valens chip; any other line goes back to application mode.
void Board::handleAfterSig() {
    if (appLine_ == kSig) {
        log("UPG MCUSIG");
        if (ioMcu_) attach(ioMcu_, appLine_);
        return;
    }
    bool names = appLine_.find("TX") != std::string::npos || appLine_.find("RX") != std::string::npos;
    if (names && valens_) {
        log(appLine_);
        attach(valens_, appLine_);
        return;
    }
    if (EndsWith(appLine_, "\r\n")) {
        log(appLine_);
        appLine_.clear();
        sigPending_ = false;
    }
}

// A whole line in application mode: a reset, "UPG MCUSIG" or an entry text.
void Board::handleAppLine() {
    std::string lineText = appLine_;
    appLine_.clear();
    if (lineText == kReset) {
        resets_++;
        log("UPG RST");
        return;
    }
    if (lineText == kSig) {
        log("UPG MCUSIG");
        sigPending_ = true;
        return;
    }
    auto it = routes_.find(lineText);
    if (it != routes_.end()) {
        log(lineText.substr(0, lineText.size() - 2));
        attach(it->second, lineText);
        return;
    }
    // Entry texts can follow binary bytes on the same "line".
    for (const auto& kv : routes_) {
        if (EndsWith(lineText, kv.first)) {
            log(kv.first.substr(0, kv.first.size() - 2));
            attach(kv.second, kv.first);
            return;
        }
    }
    if (EndsWith(lineText, kReset)) {
        resets_++;
        log("UPG RST");
        return;
    }
    log(lineText);
}

}  // namespace sim
