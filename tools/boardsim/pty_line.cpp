#include "tools/boardsim/pty_line.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace tarvelo::sim {
namespace {

// What the PC sends: control bytes between frames, and frames STX payload ETX check.
constexpr uint8_t STX = 0x02, ETX = 0x03, DC1 = 0x11, DC2 = 0x12, DC3 = 0x13;
constexpr size_t kLongestCommand = 300;  // no command is that long: the frame is given up

std::string hex_bytes(const std::vector<uint8_t>& bytes) {
    std::string out;
    char buf[4];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", b);
        out += buf;
    }
    if (!out.empty()) out.pop_back();
    return out;
}

}  // namespace

int64_t steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::unique_ptr<PtyLine> PtyLine::create(const std::string& link_path, bool verbose,
                                         std::string* error) {
    std::unique_ptr<PtyLine> line(new PtyLine(link_path, verbose));
    if (!line->reappear(error)) return nullptr;
    return line;
}

PtyLine::~PtyLine() {
    stop();
}

void PtyLine::start(LinePeer& peer) {
    thread_ = std::thread(&PtyLine::loop, this, std::ref(peer));
}

void PtyLine::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

std::string PtyLine::device_name() const {
    std::lock_guard<std::mutex> lock(pty_mutex_);
    return device_name_;
}

void PtyLine::record(const std::vector<uint8_t>& bytes) {
    if (verbose_) std::printf("rx: %s\n", hex_bytes(bytes).c_str()), std::fflush(stdout);
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(Received{steady_ms(), bytes});
}

void PtyLine::send(const std::vector<uint8_t>& bytes) {
    int split;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (silent_) return;
        split = split_ms_;
    }
    std::lock_guard<std::mutex> lock(pty_mutex_);
    if (!pty_) return;
    if (split <= 0) {
        pty_->write_all(bytes.data(), bytes.size());
        return;
    }
    for (uint8_t b : bytes) {
        pty_->write_all(&b, 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(split));
    }
}

void PtyLine::loop(LinePeer& peer) {
    int64_t next_tick = steady_ms();
    while (!stop_.load()) {
        int64_t wait = std::clamp<int64_t>(next_tick - steady_ms(), 0, 20);
        bool gone = false;
        if (rx_restart_.exchange(false)) rx_ = Rx::idle;
        {
            // Our own reference: vanish() may drop the device while we wait on it.
            std::shared_ptr<PseudoTerminal> pty;
            {
                std::lock_guard<std::mutex> lock(pty_mutex_);
                pty = pty_;
            }
            if (!pty) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                continue;
            }
            pty->wait_readable(static_cast<int>(wait));
            uint8_t byte;
            for (;;) {
                ReadStatus st = pty->read_byte(byte);
                if (st == ReadStatus::byte) {
                    handle_byte(byte, peer);
                    continue;
                }
                gone = st == ReadStatus::gone;
                break;
            }
        }
        if (gone) {
            peer.on_hangup();
            rx_ = Rx::idle;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        int64_t now = steady_ms();
        if (now >= next_tick) next_tick = peer.on_tick(now);
    }
}

void PtyLine::handle_byte(uint8_t byte, LinePeer& peer) {
    peer.on_byte(byte);
    switch (rx_) {
        case Rx::idle:
            if (byte == STX) {
                rx_ = Rx::frame;
                rx_frame_.assign(1, STX);
            } else if (byte == DC1 || byte == DC2 || byte == DC3) {
                record({byte});
                peer.on_received({byte});
            }
            return;
        case Rx::frame:
            rx_frame_.push_back(byte);
            if (byte == ETX) rx_ = Rx::check;
            if (rx_frame_.size() > kLongestCommand) rx_ = Rx::idle;
            return;
        case Rx::check:
            rx_frame_.push_back(byte);
            rx_ = Rx::idle;
            record(rx_frame_);
            peer.on_received(rx_frame_);
            return;
    }
}

void PtyLine::set_silent(bool silent) {
    std::lock_guard<std::mutex> lock(mutex_);
    silent_ = silent;
}
bool PtyLine::silent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return silent_;
}
void PtyLine::set_split_delay(int ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    split_ms_ = std::max(0, ms);
}

std::vector<Received> PtyLine::received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}
void PtyLine::clear_received() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

void PtyLine::vanish() {
    std::lock_guard<std::mutex> lock(pty_mutex_);
    pty_.reset();
    rx_restart_ = true;
}

bool PtyLine::reappear(std::string* error) {
    auto pty = PseudoTerminal::create(link_path_);
    if (!pty) {
        if (error) *error = pty.error();
        return false;
    }
    std::lock_guard<std::mutex> lock(pty_mutex_);
    pty_ = pty.take();
    device_name_ = pty_->device_name();
    rx_restart_ = true;
    return true;
}

}  // namespace tarvelo::sim
