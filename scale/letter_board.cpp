#include "scale/letter_board.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/window_messages.h"

namespace tarvelo {

LetterBoard::LetterBoard(Clock& clock, TraceFn trace, ThreadStarter start_thread, LineOpener opener)
    : clock_(clock),
      trace_(trace),
      start_thread_(std::move(start_thread)),
      link_(clock, trace, std::move(opener)),
      status_(lcmd::empty_status()),
      reply_(lcmd::empty_reply()) {
    if (!start_thread_)
        start_thread_ = [](std::function<void()> fn) { std::thread(std::move(fn)).detach(); };
}

LetterBoard::~LetterBoard() {
    stop_ = true;
    if (reader_.joinable()) reader_.join();
    std::unique_lock<std::mutex> lock(active_mutex_);
    turn_changed_.wait(lock, [this] { return active_commands_ == 0; });
}

int LetterBoard::open(const lcmd::lcmd_port_config* config) {
    if (link_.is_open()) return 0;
    if (config == nullptr) return -1;
    std::string name(config->port_name, strnlen(config->port_name, sizeof config->port_name));
    LineSettings line;
    line.baud = config->baud;
    line.data_bits = std::clamp(config->byte_size, 4, 8);
    line.stop_bits = (config->stop_bits == 2 || config->stop_bits == 15) ? config->stop_bits : 1;
    switch (config->parity) {
        case 'N':
        case 'O':
        case 'M':
        case 'S':
            line.parity = config->parity;
            break;
        default:
            line.parity = 'E';
    }
    SerialLink::Opened opened = link_.open(name, line);
    if (!opened.ok) {
        trace_("lcmd_open: Unable to open " + name + " - " + opened.error + "\n");
        return -1;
    }
    return 0;
}

int LetterBoard::start(MessageSink* owner, const std::string& port_name) {
    lcmd::lcmd_port_config config;
    std::strncpy(config.port_name, port_name.c_str(), 255);
    const LineSettings line = line_settings();
    config.baud = line.baud;
    config.byte_size = line.data_bits;
    config.stop_bits = line.stop_bits;
    config.parity = line.parity;
    if (open(&config) != 0) return -1;
    return start(owner) == 0 ? 0 : -2;
}

bool LetterBoard::snapshot(weighing_snapshot& out) const {
    lcmd::lcmd_status s;
    get_status(&s);
    out.weight = s.weight;
    out.tare = s.tare;
    out.stable = s.stable;
    out.zero = s.zero;
    out.span_switch = s.span_switch;
    out.internal_count = s.internal_count;
    out.ad_count = s.ad_count;
    out.underload = s.load_state == 1 ? 1 : 0;
    out.overload = s.load_state == 2 ? 1 : 0;
    return true;
}

int LetterBoard::start(MessageSink* owner) {
    if (reader_running_.load()) return 0;
    if (link_.is_open()) {
        const uint8_t dc1 = lcmd::DC1;
        write(&dc1, 1);
        link_.watch().start(clock_.now_ms());
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
    write(&dc3, 1);
    clock_.sleep_ms(100);
    last_command_ = static_cast<uint8_t>(command.letter);
    auto frame = lcmd::encode_command(command.letter, command.data);
    int result = (frame && write(frame->data(), frame->size())) ? 0 : -1;
    clock_.sleep_ms(1000);
    write(&dc1, 1);
    return result;
}

int LetterBoard::command(char letter, std::string_view data) {
    return queue({letter, std::string(data)}) < 0 ? -1 : 0;
}

int LetterBoard::tare() {
    return command('T');
}
int LetterBoard::rezero() {
    return command('Z');
}

int LetterBoard::preset_tare(int32_t value) {
    // The board takes exactly eight characters; a value that does not fit is never sent.
    if (value < -9999999 || value > 99999999) return -1;
    char data[16];
    std::snprintf(data, sizeof data, "%08d", value);
    return command('U', data);
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
        if (lcmd::frame27_kind(p) >= 0) link_.watch().frame(clock_.now_ms());
        bool changed;
        {
            std::lock_guard<std::mutex> lock(records_mutex_);
            changed = std::memcmp(&next, &status_, sizeof next) != 0;
            if (changed) status_ = next;
        }
        if (changed) owner->post(PostedMessage::with_record(WM_LCMD_STATUS, next));
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
        owner->post(PostedMessage::with_record(WM_LCMD_REPLY, reply));
        return;
    }
    if (last == 'C' && reply.data_length == 40) {
        PostedMessage m =
            PostedMessage::with_record(WM_LCMD_STATUS_WORD, lcmd::decode_status_word(reply.data));
        m.text.assign(reinterpret_cast<const char*>(reply.data), 40);  // the raw reply data
        owner->post(std::move(m));
    } else if (last == 'D' && reply.data_length == 28) {
        owner->post(PostedMessage::with_record(WM_LCMD_NUMBERS, lcmd::decode_numbers(reply.data)));
    } else if (last == 'F' && reply.data_length == 3) {
        lcmd::lcmd_firmware f = lcmd::decode_firmware(reply.data);
        PostedMessage m = PostedMessage::with_record(WM_LCMD_FIRMWARE, f);
        m.text = f.text;
        owner->post(std::move(m));
    }
}

void LetterBoard::reader_thread(MessageSink* owner) {
    if (owner == nullptr) return;  // nobody to tell: the reader ends at once
    lcmd::FrameReader reader;
    SerialLink::Reader r;
    r.running = [this] { return !stop_.load(); };
    r.byte = [&](uint8_t byte) {
        if (auto frame = reader.feed(byte)) handle_frame(*frame, owner);
    };
    r.restart = [&] { reader.reset(); };
    r.reopened = [this] {
        const uint8_t dc1 = lcmd::DC1;
        write(&dc1, 1);
    };
    link_.run(r);
}

}  // namespace tarvelo
