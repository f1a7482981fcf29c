#include "tools/boardsim/board_simulator.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <sstream>

#include "scale/letter_board_codec.h"
#include "scale/xon_board_codec.h"

namespace tarvelo::sim {
namespace {

constexpr uint8_t STX = 0x02, ETX = 0x03, DC1 = 0x11, DC2 = 0x12, DC3 = 0x13;

int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// " 01.234": sign or blank, two integer places, the point, three decimals.
std::string xon_number(int32_t grams) {
    int32_t a = std::min(std::abs(grams), 99999);
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%02d.%03d", grams < 0 ? '-' : ' ', a / 1000, a % 1000);
    return buf;
}

// "0001.234" or "-001.500": eight characters.
std::string letter_number(int32_t grams) {
    char buf[24];
    if (grams < 0) {
        int32_t a = std::min(-grams, 999999);
        std::snprintf(buf, sizeof buf, "-%03d.%03d", a / 1000, a % 1000);
    } else {
        int32_t a = std::min(grams, 9999999);
        std::snprintf(buf, sizeof buf, "%04d.%03d", a / 1000, a % 1000);
    }
    return buf;
}

bool is_hex8(const std::string& s) {
    if (s.size() != 8) return false;
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

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

std::unique_ptr<BoardSimulator> BoardSimulator::create(const Options& options, std::string* error) {
    std::unique_ptr<BoardSimulator> sim(new BoardSimulator(options));
    auto pty = PseudoTerminal::create(options.link_path);
    if (!pty) {
        if (error) *error = pty.error();
        return nullptr;
    }
    sim->pty_ = pty.take();
    sim->device_name_ = sim->pty_->device_name();
    sim->rate_hz_ = std::max(1, options.rate_hz);
    sim->thread_ = std::thread(&BoardSimulator::loop, sim.get());
    return sim;
}

std::string BoardSimulator::device_name() const {
    std::lock_guard<std::mutex> lock(pty_mutex_);
    return device_name_;
}

BoardSimulator::~BoardSimulator() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void BoardSimulator::record(std::vector<uint8_t> bytes) {
    if (options_.verbose) std::printf("rx: %s\n", hex_bytes(bytes).c_str()), std::fflush(stdout);
    std::lock_guard<std::mutex> lock(mutex_);
    received_.push_back(Received{now_ms(), std::move(bytes)});
}

void BoardSimulator::send(const std::vector<uint8_t>& bytes) {
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

void BoardSimulator::loop() {
    std::minstd_rand noise(12345);
    int64_t next_frame = now_ms();
    while (!stop_.load()) {
        int64_t wait = std::clamp<int64_t>(next_frame - now_ms(), 0, 20);
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
                    handle_byte(byte);
                    continue;
                }
                gone = st == ReadStatus::gone;
                break;
            }
        }
        if (gone) {
            // Nobody holds the line: the stream stops until the next DC1.
            streaming_ = false;
            rx_ = Rx::idle;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (now_ms() >= next_frame) {
            int rate;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                rate = rate_hz_;
            }
            if (streaming_.load()) {
                if (options_.corrupt_percent > 0 &&
                    static_cast<int>(noise() % 100) < options_.corrupt_percent)
                    send_corrupt();
                send(weight_frame());
            }
            next_frame = std::max(next_frame + 1000 / rate, now_ms() - 1000 / rate);
        }
    }
}

void BoardSimulator::handle_byte(uint8_t byte) {
    switch (rx_) {
        case Rx::idle:
            if (byte == STX) {
                rx_ = Rx::frame;
                rx_frame_.assign(1, STX);
            } else if (byte == DC1 || byte == DC2 || byte == DC3) {
                record({byte});
                // Each board pauses on its own byte only: DC2 for the xon/xoff board, DC3 for
                // the letter-command board.
                const uint8_t pause = options_.type == BoardType::xon ? DC2 : DC3;
                if (byte == DC1) streaming_ = true;
                if (byte == pause) streaming_ = false;
            }
            return;
        case Rx::frame:
            rx_frame_.push_back(byte);
            if (byte == ETX) rx_ = Rx::check;
            if (rx_frame_.size() > 300) rx_ = Rx::idle;  // no command is that long
            return;
        case Rx::check: {
            rx_frame_.push_back(byte);
            rx_ = Rx::idle;
            record(rx_frame_);
            std::vector<uint8_t> payload(rx_frame_.begin() + 1, rx_frame_.end() - 2);
            bool good;
            if (options_.type == BoardType::letter) {
                good = byte == lcmd::check_byte(payload.data(), payload.size());
            } else {
                // Without data the check covers STX too; with data it starts at 'W'.
                uint8_t x = 0;
                for (size_t i = 1; i + 1 < rx_frame_.size(); ++i) x ^= rx_frame_[i];
                good = payload.size() == 2 ? byte == (payload[1] ^ 0x56) : byte == x;
            }
            if (!good) {
                if (options_.type == BoardType::xon && !payload.empty())
                    answer(static_cast<char>(payload[0]), '8');
                return;
            }
            handle_command(payload);
            return;
        }
    }
}

std::string BoardSimulator::command_result(char letter, const std::string& data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_armed_ && (fail_letter_ == 0 || fail_letter_ == letter)) {
        fail_armed_ = false;
        return std::string(1, fail_result_);
    }
    switch (letter) {
        case 'Z':
        case 'z':
            if (tare_ != 0) return "2";  // no zeroing under a tare
            zero_offset_ = gross_;
            return "0";
        case 'T':
            tare_ = std::max(0, gross_ - zero_offset_);
            return "0";
        case 'U':
            tare_ = std::atoi(data.c_str());
            return "0";
        case 'X':
        case 'P':
            return span_open_ ? "0" : "3";  // calibration only with the span switch open
        case 'K':
        case 'C': {
            bool known = options_.checksum.empty() ? is_hex8(data) : data == options_.checksum;
            return (known && !integrity_fail_) ? "0" : "1";
        }
        default:
            return "9";
    }
}

void BoardSimulator::handle_command(const std::vector<uint8_t>& payload) {
    if (payload.size() < 2) return;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (mute_) return;
    }
    char kind = static_cast<char>(payload[0]);
    char letter = static_cast<char>(payload[1]);
    std::string data(payload.begin() + 2, payload.end());
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (reply_armed_) {
            reply_armed_ = false;
            char code = reply_code_, result = reply_result_;
            std::string reply_data = reply_data_;
            lock.unlock();
            return answer(code, result, reply_data);
        }
    }
    if (options_.type == BoardType::xon) {
        if (kind == 'R') {  // integrity request: 'R' 'C' checksum
            answer('R', command_result('C', data)[0]);
        } else if (kind == 'W') {
            answer('W', command_result(letter, data)[0]);
        }
        return;
    }
    if (kind != 'W') return;
    if (letter == 'F') return answer('R', '0', "123");
    if (letter == 'D')
        return answer('R', '0',
                      "00001234000056780000900012"
                      "34");
    if (letter == 'C') return answer('R', '0', std::string("A5F00C4080") + std::string(30, '0'));
    answer('R', command_result(letter, data)[0]);
}

void BoardSimulator::answer(char code, char result, const std::string& data) {
    std::string payload = std::string{code, result} + data;
    std::vector<uint8_t> frame;
    frame.reserve(payload.size() + 3);
    frame.push_back(STX);
    for (char c : payload) frame.push_back(static_cast<uint8_t>(c));
    frame.push_back(ETX);
    if (options_.type == BoardType::letter)
        frame.push_back(
            lcmd::check_byte(reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    send(frame);
}

std::vector<uint8_t> BoardSimulator::weight_frame() {
    std::lock_guard<std::mutex> lock(mutex_);
    int32_t platform = gross_ - zero_offset_;
    int32_t net = platform - tare_;
    int zero = platform == 0 ? 1 : 0;
    std::string body;
    std::vector<uint8_t> frame;
    if (options_.type == BoardType::xon) {
        int c1 = (stable_ ? 1 : 0) | zero << 2 | (span_open_ ? 1 : 0) << 3;
        int c3 = (load_ == 1 ? 1 : 0) | (load_ == 2 ? 2 : 0);
        char status[8];
        std::snprintf(status, sizeof status, "0%X0%X0", c1, c3);
        char counts[32];
        std::snprintf(counts, sizeof counts, "a%d\ri%d\r\n", ad_ % 1000000, ir_ % 1000000);
        std::string weight = xon_number(net);
        // Damage as a line does it: the point of the weight lost ("0 02500" would read 200 g).
        if (corrupt_next_ || garble_) weight.erase(3, 1);
        body = "0" + weight + "\r4" + xon_number(tare_) + "\r" + counts + status;
    } else {
        int s0 = (stable_ ? 1 : 0) << 4 | zero << 3 | (load_ & 3) << 6;
        int s1 = (span_open_ ? 1 : 0) << 3;
        char status[8];
        std::snprintf(status, sizeof status, "%02X%02X00", s0, s1);
        if (count_frames_) {
            char numbers[24];
            std::snprintf(numbers, sizeof numbers, "a%08d i%08d  ", ad_ % 100000000,
                          ir_ % 100000000);
            body = std::string(numbers) + status;
        } else {
            body = "0" + letter_number(net) + " 4" + letter_number(tare_) + "  " + status;
        }
        // Frames of no known kind, whole and under a good check byte.
        if (garble_) body[0] = 'x', body[10] = 'y';
    }
    if (overlong_next_) body = std::string(300, 'x');
    // This board has no check byte: line noise in front of the damaged frame as well.
    if (corrupt_next_ && options_.type == BoardType::xon) frame = {0x7f, 0x01, 'g', 'a', 'r', 'b'};
    frame.push_back(STX);
    frame.insert(frame.end(), body.begin(), body.end());
    frame.push_back(ETX);
    if (options_.type == BoardType::letter) {
        const size_t start = frame.size() - body.size() - 2;  // the payload, after STX
        uint8_t check = lcmd::check_byte(frame.data() + start + 1, body.size());
        // A damaged digit under the check byte of the undamaged frame: only the check byte
        // tells the driver.
        if (corrupt_next_ && body.size() > 4)
            frame[start + 4] = frame[start + 4] == '9' ? '8' : '9';
        frame.push_back(check);
    }
    if (noise_next_) frame.insert(frame.end(), {0x7f, 0x01, 'n', 'o', 'i', 's', 'e', ETX, 0x00});
    corrupt_next_ = overlong_next_ = noise_next_ = false;
    return frame;
}

void BoardSimulator::set_gross(int32_t grams) {
    std::lock_guard<std::mutex> l(mutex_);
    gross_ = grams;
}
void BoardSimulator::set_stable(bool stable) {
    std::lock_guard<std::mutex> l(mutex_);
    stable_ = stable;
}
void BoardSimulator::set_load(int state) {
    std::lock_guard<std::mutex> l(mutex_);
    load_ = state & 3;
}
void BoardSimulator::set_span_open(bool open) {
    std::lock_guard<std::mutex> l(mutex_);
    span_open_ = open;
}
void BoardSimulator::set_counts(int32_t ad, int32_t ir) {
    std::lock_guard<std::mutex> l(mutex_);
    ad_ = ad;
    ir_ = ir;
}
void BoardSimulator::set_count_frames(bool on) {
    std::lock_guard<std::mutex> l(mutex_);
    count_frames_ = on;
}
void BoardSimulator::set_rate(int hz) {
    std::lock_guard<std::mutex> l(mutex_);
    rate_hz_ = std::clamp(hz, 1, 100);
}
void BoardSimulator::set_silent(bool silent) {
    std::lock_guard<std::mutex> l(mutex_);
    silent_ = silent;
}
void BoardSimulator::set_mute(bool mute) {
    std::lock_guard<std::mutex> l(mutex_);
    mute_ = mute;
}
void BoardSimulator::fail_next(char letter, char result) {
    std::lock_guard<std::mutex> l(mutex_);
    fail_letter_ = letter;
    fail_result_ = result;
    fail_armed_ = true;
}
void BoardSimulator::set_integrity_fail(bool fail) {
    std::lock_guard<std::mutex> l(mutex_);
    integrity_fail_ = fail;
}
void BoardSimulator::send_corrupt() {
    std::lock_guard<std::mutex> l(mutex_);
    corrupt_next_ = true;
}
void BoardSimulator::send_overlong() {
    std::lock_guard<std::mutex> l(mutex_);
    overlong_next_ = true;
}
void BoardSimulator::set_garble(bool on) {
    std::lock_guard<std::mutex> l(mutex_);
    garble_ = on;
}
void BoardSimulator::send_noise() {
    std::lock_guard<std::mutex> l(mutex_);
    noise_next_ = true;
}
void BoardSimulator::reply_next(char code, char result, const std::string& data) {
    std::lock_guard<std::mutex> l(mutex_);
    reply_code_ = code;
    reply_result_ = result;
    reply_data_ = data;
    reply_armed_ = true;
}
void BoardSimulator::set_split_delay(int ms) {
    std::lock_guard<std::mutex> l(mutex_);
    split_ms_ = std::max(0, ms);
}

int32_t BoardSimulator::net() const {
    std::lock_guard<std::mutex> l(mutex_);
    return gross_ - zero_offset_ - tare_;
}
int32_t BoardSimulator::tare() const {
    std::lock_guard<std::mutex> l(mutex_);
    return tare_;
}

std::vector<Received> BoardSimulator::received() const {
    std::lock_guard<std::mutex> l(mutex_);
    return received_;
}
void BoardSimulator::clear_received() {
    std::lock_guard<std::mutex> l(mutex_);
    received_.clear();
}

void BoardSimulator::vanish() {
    std::lock_guard<std::mutex> lock(pty_mutex_);
    pty_.reset();
    streaming_ = false;
    rx_restart_ = true;
}

bool BoardSimulator::reappear(std::string* error) {
    auto pty = PseudoTerminal::create(options_.link_path);
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

std::string BoardSimulator::status_line() const {
    std::lock_guard<std::mutex> l(mutex_);
    std::ostringstream s;
    s << (options_.type == BoardType::xon ? "xon/xoff" : "letter-command")
      << " board: gross=" << gross_ << " zero_offset=" << zero_offset_ << " tare=" << tare_
      << " net=" << gross_ - zero_offset_ - tare_ << (stable_ ? " stable" : " unstable")
      << (load_ == 1   ? " underload"
          : load_ == 2 ? " overload"
                       : "")
      << " span=" << (span_open_ ? "open" : "closed") << " ad=" << ad_ << " ir=" << ir_
      << " rate=" << rate_hz_ << (streaming_.load() ? " streaming" : " paused")
      << (silent_ ? " silent" : "") << (mute_ ? " mute" : "");
    return s.str();
}

std::string BoardSimulator::help_text() {
    return "Control lines (one per line on standard input):\n"
           "  weight G            goods of G grams on the platform (gross; may be negative)\n"
           "  stable | unstable   the weight settles or keeps moving\n"
           "  overload | underload | normal\n"
           "  span open|closed    the calibration (span) switch\n"
           "  counts AD IR        the converter's AD and internal counts\n"
           "  countframes on|off  letter board: send count frames instead of weighing frames\n"
           "  rate N              weight frames per second while switched on (1..100)\n"
           "  silent | resume     stop every byte leaving the board (a lost link), or resume\n"
           "  mute on|off         commands get no answer\n"
           "  fail L|any R        the next command L (or any) is answered with result digit R\n"
           "  integrity fail|pass the start-up checksum check fails or passes\n"
           "  corrupt             the next weight frame is damaged (letter: bad check byte; xon: "
           "line\n"
           "                      noise, then a frame whose weight lost its decimal point)\n"
           "  overlong            the next weight frame is 300 bytes long\n"
           "  noise               stray bytes after the next weight frame, outside any frame\n"
           "  garble on|off       every weight frame damaged (xon: no decimal point; letter:\n"
           "                      no known kind, under a good check byte)\n"
           "  reply C R [DATA]    the next command is answered with reply code C, result\n"
           "                      character R and DATA (e.g. reply E 0; reply R 0 A5F00C...)\n"
           "  split MS            frames leave byte by byte, MS milliseconds apart (0 = off)\n"
           "  vanish | reappear   the device disappears like an unplugged adapter, or returns\n"
           "  status              print the board's state\n"
           "  help | quit\n";
}

std::string BoardSimulator::execute(const std::string& line) {
    std::istringstream in(line);
    std::string cmd, arg;
    in >> cmd;
    if (cmd.empty() || cmd[0] == '#') return "";
    auto on_off = [&](const std::string& on, const std::string& off, bool& value) {
        in >> arg;
        if (arg == on) return value = true, true;
        if (arg == off) return value = false, true;
        return false;
    };
    bool flag = false;
    if (cmd == "weight") {
        long grams;
        if (!(in >> grams)) return "error: weight needs grams";
        set_gross(static_cast<int32_t>(grams));
    } else if (cmd == "stable" || cmd == "unstable") {
        set_stable(cmd == "stable");
    } else if (cmd == "overload" || cmd == "underload" || cmd == "normal") {
        set_load(cmd == "underload" ? 1 : cmd == "overload" ? 2 : 0);
    } else if (cmd == "span") {
        if (!on_off("open", "closed", flag)) return "error: span open|closed";
        set_span_open(flag);
    } else if (cmd == "counts") {
        long ad, ir;
        if (!(in >> ad >> ir)) return "error: counts AD IR";
        set_counts(static_cast<int32_t>(ad), static_cast<int32_t>(ir));
    } else if (cmd == "countframes") {
        if (!on_off("on", "off", flag)) return "error: countframes on|off";
        set_count_frames(flag);
    } else if (cmd == "rate") {
        int hz;
        if (!(in >> hz) || hz < 1 || hz > 100) return "error: rate 1..100";
        set_rate(hz);
    } else if (cmd == "silent" || cmd == "resume") {
        set_silent(cmd == "silent");
    } else if (cmd == "mute") {
        if (!on_off("on", "off", flag)) return "error: mute on|off";
        set_mute(flag);
    } else if (cmd == "fail") {
        std::string letter, result;
        in >> letter >> result;
        if ((letter != "any" && letter.size() != 1) || result.size() != 1 ||
            !std::isdigit(static_cast<unsigned char>(result[0])))
            return "error: fail L|any R";
        fail_next(letter == "any" ? 0 : letter[0], result[0]);
    } else if (cmd == "integrity") {
        if (!on_off("fail", "pass", flag)) return "error: integrity fail|pass";
        set_integrity_fail(flag);
    } else if (cmd == "corrupt") {
        send_corrupt();
    } else if (cmd == "overlong") {
        send_overlong();
    } else if (cmd == "noise") {
        send_noise();
    } else if (cmd == "garble") {
        if (!on_off("on", "off", flag)) return "error: garble on|off";
        set_garble(flag);
    } else if (cmd == "reply") {
        std::string code, result, data;
        in >> code >> result >> data;
        if (code.size() != 1 || result.size() != 1) return "error: reply C R [DATA]";
        reply_next(code[0], result[0], data);
    } else if (cmd == "split") {
        int ms;
        if (!(in >> ms) || ms < 0) return "error: split MS";
        set_split_delay(ms);
    } else if (cmd == "vanish") {
        vanish();
    } else if (cmd == "reappear") {
        std::string error;
        if (!reappear(&error)) return "error: " + error;
    } else if (cmd == "status") {
        return status_line();
    } else if (cmd == "help") {
        return help_text();
    } else {
        return "error: unknown command '" + cmd + "' (try help)";
    }
    return "ok";
}

}  // namespace tarvelo::sim
