#include "scale/letter_board.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace tarvelo {

LetterBoard::LetterBoard(Clock& clock, TraceFn trace, ThreadStarter start_thread)
    : clock_(clock),
      trace_(std::move(trace)),
      start_thread_(std::move(start_thread)),
      status_(lcmd::empty_status()),
      reply_(lcmd::empty_reply()) {
    if (!start_thread_) start_thread_ = [](std::function<void()> fn) { std::thread(std::move(fn)).detach(); };
}

LetterBoard::~LetterBoard() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    std::unique_lock<std::mutex> lock(active_mutex_);
    turn_changed_.wait(lock, [this] { return active_commands_ == 0; });
}

std::shared_ptr<SerialPort> LetterBoard::port() const {
    std::lock_guard<std::mutex> lock(port_mutex_);
    return port_;
}

bool LetterBoard::write(const uint8_t* data, size_t length) {
    auto p = port();
    return p && p->write_all(data, length);
}

int LetterBoard::open(const lcmd::lcmd_port_config* config) {
    if (port()) return 0;
    if (config == nullptr) return -1;
    port_name_ = std::string(config->port_name, strnlen(config->port_name, sizeof config->port_name));
    line_.baud = config->baud;
    line_.data_bits = std::clamp(config->byte_size, 4, 8);
    line_.stop_bits = (config->stop_bits == 2 || config->stop_bits == 15) ? config->stop_bits : 1;
    switch (config->parity) {
        case 'N': case 'O': case 'M': case 'S': line_.parity = config->parity; break;
        default: line_.parity = 'E';
    }
    auto opened = SerialPort::open(port_name_, line_);
    if (!opened.port) {
        trace_("lcmd_open: Unable to open " + port_name_ + " - " + opened.error + "\n");
        return -1;
    }
    std::lock_guard<std::mutex> lock(port_mutex_);
    port_ = std::move(opened.port);
    return 0;
}

int LetterBoard::start(MessageSink* owner) {
    if (reader_running_.load()) return 0;
    if (port()) {
        const uint8_t dc1 = lcmd::DC1;
        write(&dc1, 1);
        watch_.start(clock_.now_ms());
    }
    reader_running_ = true;
    try {
        reader_ = std::thread(&LetterBoard::reader_thread, this, owner);
    } catch (const std::system_error&) {
        reader_running_ = false;
        return -1;
    }
    return 0;
}

void LetterBoard::get_status(lcmd::lcmd_status* out) const {
    if (out == nullptr) return;
    std::lock_guard<std::mutex> lock(records_mutex_);
    *out = status_;
}

lcmd::lcmd_reply LetterBoard::last_reply() const {
    std::lock_guard<std::mutex> lock(records_mutex_);
    return reply_;
}

int64_t LetterBoard::queue(Command command) {
    // The ticket is taken and the thread made under one lock: a thread that cannot be made
    // takes no turn, so the turns of the others stay in order and never overlap on the line.
    std::lock_guard<std::mutex> lock(active_mutex_);
    if (active_commands_ > kMaxWaiting) {
        trace_(std::string("Command queue full, '") + command.letter + "' not sent\n");
        return -1;
    }
    const uint64_t ticket = next_ticket_;
    try {
        start_thread_([this, command, ticket] {
            std::unique_lock<std::mutex> turn(active_mutex_);
            turn_changed_.wait(turn, [&] { return now_serving_ == ticket; });
            turn.unlock();
            send(command);
            turn.lock();
            ++now_serving_;
            --active_commands_;
            turn_changed_.notify_all();
        });
    } catch (const std::system_error&) {
        return -1;
    }
    ++next_ticket_;
    ++active_commands_;
    return static_cast<int64_t>(ticket);
}

void LetterBoard::wait_done(int64_t ticket) {
    std::unique_lock<std::mutex> lock(active_mutex_);
    turn_changed_.wait(lock, [&] { return now_serving_ > static_cast<uint64_t>(ticket); });
}

int LetterBoard::send(const Command& command) {
    const uint8_t dc3 = lcmd::DC3, dc1 = lcmd::DC1;
    watch_.pause(clock_.now_ms());
    write(&dc3, 1);
    clock_.sleep_ms(100);
    last_command_ = static_cast<uint8_t>(command.letter);
    auto frame = lcmd::encode_command(command.letter, command.data);
    int result = (frame && write(frame->data(), frame->size())) ? 0 : -1;
    clock_.sleep_ms(1000);
    write(&dc1, 1);
    watch_.resume(clock_.now_ms());
    return result;
}

int LetterBoard::command(char letter, std::string_view data) {
    return queue({letter, std::string(data)}) < 0 ? -1 : 0;
}

int LetterBoard::tare() { return queue({'T', {}}) < 0 ? -1 : 0; }
int LetterBoard::rezero() { return queue({'Z', {}}) < 0 ? -1 : 0; }

int LetterBoard::preset_tare(int32_t value) {
    // The board takes exactly eight characters; a value that does not fit is never sent.
    if (value < -9999999 || value > 99999999) return -1;
    char data[16];
    std::snprintf(data, sizeof data, "%08d", value);
    return queue({'U', data}) < 0 ? -1 : 0;
}

int LetterBoard::wait_reply(char letter, int tries, int interval_ms) {
    for (int i = 0; i < tries; ++i) {
        clock_.sleep_ms(interval_ms);
        lcmd::lcmd_reply r = last_reply();
        if (r.command_letter == static_cast<uint8_t>(letter)) return r.result == '0' ? 0 : -1;
    }
    return -1;
}

int LetterBoard::init_rezero() {
    // A reply left over from an earlier 'z' must not answer this one.
    {
        std::lock_guard<std::mutex> lock(records_mutex_);
        reply_ = lcmd::empty_reply();
    }
    if (queue({'z', {}}) < 0) return -1;
    return wait_reply('z', 10, 2000);
}

int LetterBoard::check_integrity(const std::string& checksum) {
    {
        std::lock_guard<std::mutex> lock(records_mutex_);
        reply_ = lcmd::empty_reply();
    }
    int64_t ticket = queue({'K', checksum});
    if (ticket < 0) return -1;
    int result = wait_reply('K', 50, 100);
    // Return only once the stream flows again: until then the status is that of the moment
    // the board paused, and must not pass for fresh readings.
    wait_done(ticket);
    char line[64];
    std::snprintf(line, sizeof line, "Integrity check result:%d\n", result);
    trace_(line);
    return result;
}

void LetterBoard::handle_frame(const lcmd::FrameReader::Frame& frame, MessageSink* owner) {
    int n = frame.result;
    const uint8_t* p = frame.payload.data();
    if (n == 27) {
        lcmd::lcmd_status next = lcmd::decode_frame27(p);
        if (lcmd::frame27_kind(p) >= 0) watch_.frame(clock_.now_ms());
        bool changed;
        {
            std::lock_guard<std::mutex> lock(records_mutex_);
            changed = std::memcmp(&next, &status_, sizeof next) != 0;
            if (changed) status_ = next;
        }
        if (changed) owner->post(PostedMessage::with_record(lcmd::WM_LCMD_STATUS, next));
        return;
    }
    if (n != 2 && n != 5 && n != 30 && n != 42) return;
    uint8_t last = last_command_.load();
    lcmd::lcmd_reply reply = lcmd::decode_reply(p, static_cast<size_t>(n), last);
    {
        std::lock_guard<std::mutex> lock(records_mutex_);
        reply_ = reply;
    }
    if (reply.reply_code != 'R' || reply.result != '0') {
        owner->post(PostedMessage::with_record(lcmd::WM_LCMD_REPLY, reply));
        return;
    }
    if (last == 'C' && reply.data_length == 40) {
        PostedMessage m = PostedMessage::with_record(lcmd::WM_LCMD_STATUS_WORD, lcmd::decode_status_word(reply.data));
        m.text.assign(reinterpret_cast<const char*>(reply.data), 40);  // the raw reply data
        owner->post(std::move(m));
    } else if (last == 'D' && reply.data_length == 28) {
        owner->post(PostedMessage::with_record(lcmd::WM_LCMD_NUMBERS, lcmd::decode_numbers(reply.data)));
    } else if (last == 'F' && reply.data_length == 3) {
        lcmd::lcmd_firmware f = lcmd::decode_firmware(reply.data);
        PostedMessage m = PostedMessage::with_record(lcmd::WM_LCMD_FIRMWARE, f);
        m.text = f.text;
        owner->post(std::move(m));
    }
}

void LetterBoard::reopen_after_loss() {
    while (!stop_.load()) {
        for (int i = 0; i < 20 && !stop_.load(); ++i) clock_.sleep_ms(50);
        auto opened = SerialPort::open(port_name_, line_);
        if (!opened.port) continue;
        {
            std::lock_guard<std::mutex> lock(port_mutex_);
            port_ = std::move(opened.port);
        }
        trace_("Scale link restored: " + port_name_ + "\n");
        const uint8_t dc1 = lcmd::DC1;
        write(&dc1, 1);
        return;
    }
}

void LetterBoard::reader_thread(MessageSink* owner) {
    if (owner == nullptr) return;  // nobody to tell: the reader ends at once
    lcmd::FrameReader reader;
    while (!stop_.load()) {
        auto p = port();
        if (!p) {
            if (port_name_.empty()) {  // started without ever being opened
                clock_.sleep_ms(20);
                continue;
            }
            reopen_after_loss();
            continue;
        }
        uint8_t byte = 0;
        switch (p->read_byte(byte)) {
            case ReadStatus::nothing:
                clock_.sleep_ms(20);
                break;
            case ReadStatus::error:
                reader.reset();
                watch_.lose();
                clock_.sleep_ms(20);
                break;
            case ReadStatus::gone: {
                watch_.lose();
                trace_("Scale link lost: " + port_name_ + "\n");
                std::lock_guard<std::mutex> lock(port_mutex_);
                port_.reset();
                reader.reset();
                break;
            }
            case ReadStatus::byte:
                if (auto frame = reader.feed(byte)) handle_frame(*frame, owner);
                break;
        }
    }
}

LetterBoard& letter_board() {
    static LetterBoard* board = new LetterBoard;  // its threads run until the process ends
    return *board;
}

int lcmd_open(const lcmd::lcmd_port_config* config) { return letter_board().open(config); }
int lcmd_start(MessageSink* owner) { return letter_board().start(owner); }
void lcmd_get_status(lcmd::lcmd_status* out) { letter_board().get_status(out); }
int lcmd_tare() { return letter_board().tare(); }
int lcmd_rezero() { return letter_board().rezero(); }
int lcmd_preset_tare(int32_t value) { return letter_board().preset_tare(value); }
int lcmd_init_rezero() { return letter_board().init_rezero(); }

}  // namespace tarvelo
