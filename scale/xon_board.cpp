#include "scale/xon_board.h"

#include <cstdarg>
#include <cstdio>

namespace tarvelo {
namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buf[320];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

}  // namespace

XonBoard::XonBoard(Clock& clock, TraceFn trace) : clock_(clock), trace_(std::move(trace)) {}

XonBoard::~XonBoard() {
    running_ = 0;
    if (thread_.joinable()) thread_.join();
}

bool XonBoard::open_port(const std::string& name) {
    auto opened = SerialPort::open(name, line_settings());
    if (!opened.port) {
        if (opened.opened)
            trace_("SetupSerial 3 error\n" + opened.error + "\n");
        else
            trace_(format("open_port: Unable to open %s - %s\n", name.c_str(), opened.error.c_str()));
        return false;
    }
    std::lock_guard<std::mutex> lock(port_mutex_);
    port_ = std::move(opened.port);
    return true;
}

int XonBoard::start(const char* port_name) {
    if (running_.load()) return 0;
    port_name_ = std::string(port_name ? port_name : kDefaultPort).substr(0, 255);
    if (!open_port(port_name_)) return -1;
    running_ = 1;
    try {
        thread_ = std::thread(&XonBoard::update_thread, this);
    } catch (const std::system_error&) {
        running_ = 0;
        return -1;
    }
    return 0;
}

int XonBoard::get_status(xo::StatusBlock& out) const {
    if (data_valid_.load() != 1) return -1;
    for (size_t i = 0; i < out.size(); ++i) out[i] = status_[i].load();
    return 0;
}

bool XonBoard::write_frame(const uint8_t* data, size_t length) {
    std::shared_ptr<SerialPort> port;
    {
        std::lock_guard<std::mutex> lock(port_mutex_);
        port = port_;
    }
    return port && port->write_all(data, length);
}

void XonBoard::xon() {
    const uint8_t dc1 = xo::DC1;
    if (!write_frame(&dc1, 1)) trace_("xon(): WriteFile error\n");
    clock_.sleep_ms(50);
}

void XonBoard::xoff() {
    const uint8_t dc2 = xo::DC2;
    if (!write_frame(&dc2, 1)) trace_("xoff(): WriteFile error\n");
    clock_.sleep_ms(50);
}

int XonBoard::wait_result(int tries) {
    for (int i = 0; i < tries && last_result_.load() == -1; ++i) clock_.sleep_ms(50);
    return last_result_.load();
}

int XonBoard::send_write_cmd(char letter) {
    trace_(format("Send write command:%c\n", letter));
    last_result_ = -1;
    auto frame = xo::encode_write_cmd(letter);
    if (!write_frame(frame.data(), frame.size())) trace_("send_write_cmd(): WriteFile error\n");
    int result = wait_result(letter == 'P' ? 200 : 100);
    trace_(format("Write command result:%d\n", result));
    return result;
}

int XonBoard::send_write_cmd_with_data(char letter, std::string_view data) {
    auto frame = xo::encode_write_cmd_with_data(letter, data);
    if (!frame) return -1;
    last_result_ = -1;
    if (!write_frame(frame->data(), frame->size())) trace_("send_write_cmd_with_data(): WriteFile error\n");
    return wait_result(100);
}

bool XonBoard::wait_stable() {
    for (int i = 0; i < 200; ++i) {
        if (data_valid_.load() == 1 && status_[xo::stable].load() == 1) return true;
        clock_.sleep_ms(5);
    }
    return false;
}

template <class Command>
int XonBoard::bracketed(Command command) {
    watch_.pause(clock_.now_ms());
    xoff();
    int result = command();
    xon();
    watch_.resume(clock_.now_ms());
    return result;
}

int XonBoard::rezero() {
    std::lock_guard<std::mutex> lock(command_mutex_);
    int result = wait_stable() ? bracketed([&] { return send_write_cmd('Z'); }) : -1;
    if (result != 0) trace_(format("Rezero failed:%d\n", result));
    return result;
}

int XonBoard::tare() {
    std::lock_guard<std::mutex> lock(command_mutex_);
    int result = wait_stable() ? bracketed([&] { return send_write_cmd('T'); }) : -1;
    if (result != 0) trace_(format("Tare failed:%d\n", result));
    return result;
}

int XonBoard::preset_tare(int32_t value) {
    std::lock_guard<std::mutex> lock(command_mutex_);
    int result = -1;
    // The board takes exactly six characters; a value that does not fit is never sent.
    if (value >= -99999 && value <= 999999 && wait_stable()) {
        char data[16];
        std::snprintf(data, sizeof data, "%06d", value);
        result = bracketed([&] { return send_write_cmd_with_data('U', data); });
    }
    if (result != 0) trace_(format("Digital Tare failed:%d\n", result));
    return result;
}

int XonBoard::init_rezero() {
    std::lock_guard<std::mutex> lock(command_mutex_);
    int result = -1;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0) clock_.sleep_ms(100);
        result = bracketed([&] { return send_write_cmd('z'); });
        if (result == 0) break;
        trace_(format("Init Rezero failed:%d\n", result));
    }
    return result;
}

int XonBoard::calibrate_zero() {
    std::lock_guard<std::mutex> lock(command_mutex_);
    return bracketed([&] { return send_write_cmd('X'); });
}

int XonBoard::calibrate_span() {
    std::lock_guard<std::mutex> lock(command_mutex_);
    return bracketed([&] { return send_write_cmd('P'); });
}

int XonBoard::check_integrity(const std::string& checksum) {
    std::lock_guard<std::mutex> lock(command_mutex_);
    int result = bracketed([&] {
        last_result_ = -1;
        auto frame = xo::encode_integrity_request(checksum);
        if (!write_frame(frame.data(), frame.size())) trace_("check_integrity(): WriteFile error\n");
        return wait_result(100);
    });
    trace_(format("Integrity check result:%d\n", result));
    return result;
}

void XonBoard::handle_payload(const std::vector<uint8_t>& payload) {
    xo::Classified c = xo::classify_payload(payload.data(), payload.size());
    if (c.kind != xo::PayloadKind::weight) {
        last_result_ = c.result;
        return;
    }
    // Without a check byte, the shape of the fields is the only guard against a damaged
    // frame: one that fails it is dropped and the previous status stands.
    auto block = xo::parse_weight_frame(payload.data(), payload.size());
    if (!block) {
        trace_("Malformed weight frame dropped\n");
        return;
    }
    for (size_t i = 0; i < block->size(); ++i) status_[i].store((*block)[i]);
    data_valid_ = 1;
    watch_.frame(clock_.now_ms());
}

void XonBoard::reopen_after_loss() {
    while (running_.load()) {
        for (int i = 0; i < 20 && running_.load(); ++i) clock_.sleep_ms(50);
        auto opened = SerialPort::open(port_name_, line_settings());
        if (!opened.port) continue;
        {
            std::lock_guard<std::mutex> lock(port_mutex_);
            port_ = std::move(opened.port);
        }
        trace_(format("Scale link restored: %s\n", port_name_.c_str()));
        xon();
        return;
    }
}

void XonBoard::update_thread() {
    watch_.start(clock_.now_ms());
    xon();
    xo::FrameReader reader;
    while (running_.load() == 1) {
        std::shared_ptr<SerialPort> port;
        {
            std::lock_guard<std::mutex> lock(port_mutex_);
            port = port_;
        }
        if (!port) {
            reopen_after_loss();
            continue;
        }
        uint8_t byte = 0;
        switch (port->read_byte(byte)) {
            case ReadStatus::nothing:
                clock_.sleep_ms(20);
                break;
            case ReadStatus::error:
                // Whatever was collected may have lost bytes: hunt for the next STX. Never
                // spin on a failing line.
                reader.reset();
                watch_.lose();
                clock_.sleep_ms(20);
                break;
            case ReadStatus::gone: {
                watch_.lose();
                trace_(format("Scale link lost: %s\n", port_name_.c_str()));
                std::lock_guard<std::mutex> lock(port_mutex_);
                port_.reset();
                reader.reset();
                break;
            }
            case ReadStatus::byte:
                if (auto payload = reader.feed(byte)) {
                    if (payload->empty()) break;
                    handle_payload(*payload);
                    clock_.sleep_ms(5);
                }
                break;
        }
    }
    xoff();
    trace_("Quit scale update thread\n");
}

XonBoard& xon_board() {
    static XonBoard* board = new XonBoard;  // its thread runs until the process ends
    return *board;
}

int xo_start(const char* port_name) { return xon_board().start(port_name); }
int xo_get_status(xo::StatusBlock& out) { return xon_board().get_status(out); }
int xo_rezero() { return xon_board().rezero(); }
int xo_init_rezero() { return xon_board().init_rezero(); }
int xo_tare() { return xon_board().tare(); }
int xo_preset_tare(int32_t value) { return xon_board().preset_tare(value); }
int xo_calibrate_zero() { return xon_board().calibrate_zero(); }
int xo_calibrate_span() { return xon_board().calibrate_span(); }

}  // namespace tarvelo
