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

XonBoard::XonBoard(Clock& clock, TraceFn trace, LineOpener opener)
    : clock_(clock), trace_(trace), link_(clock, trace, std::move(opener)) {}

XonBoard::~XonBoard() {
    running_ = 0;
    if (thread_.joinable()) thread_.join();
}

bool XonBoard::open_port(const std::string& name) {
    SerialLink::Opened opened = link_.open(name, line_settings());
    if (opened.ok) return true;
    if (opened.refused_settings)
        trace_("SetupSerial 3 error\n" + opened.error + "\n");
    else
        trace_(format("open_port: Unable to open %s - %s\n", name.c_str(), opened.error.c_str()));
    return false;
}

int XonBoard::start(MessageSink*, const std::string& port_name) {
    return start(port_name.c_str()) == 0 ? 0 : -1;
}

bool XonBoard::snapshot(weighing_snapshot& out) const {
    xo::StatusBlock block;
    if (get_status(block) != 0) return false;
    out.weight = block[xo::weight];
    out.tare = block[xo::tare];
    out.unit_price = block[xo::unit_price];
    out.total_price = block[xo::total_price];
    out.stable = block[xo::stable];
    out.zero = block[xo::zero];
    out.span_switch = block[xo::span_switch];
    out.overload = block[xo::overload];
    out.underload = block[xo::underload];
    out.internal_count = block[xo::internal_count];
    out.ad_count = block[xo::ad_count];
    return true;
}

std::string XonBoard::port_name_for(const char* port_name) {
    return std::string(port_name ? port_name : kDefaultPort).substr(0, 255);
}

int XonBoard::start(const char* port_name) {
    if (running_.load()) return 0;
    if (!open_port(port_name_for(port_name))) return -1;
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
    std::lock_guard<std::mutex> lock(status_mutex_);
    if (!data_valid_) return -1;
    out = status_;
    return 0;
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
    if (!write_frame(frame->data(), frame->size()))
        trace_("send_write_cmd_with_data(): WriteFile error\n");
    return wait_result(100);
}

bool XonBoard::wait_stable() {
    for (int i = 0; i < 200; ++i) {
        xo::StatusBlock status;
        if (get_status(status) == 0 && status[xo::stable] == 1) return true;
        clock_.sleep_ms(5);
    }
    return false;
}

template <class Command>
int XonBoard::bracketed(Command command) {
    xoff();
    int result = command();
    xon();
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
        if (!write_frame(frame.data(), frame.size()))
            trace_("check_integrity(): WriteFile error\n");
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
    {
        std::lock_guard<std::mutex> lock(status_mutex_);
        status_ = *block;
        data_valid_ = true;
    }
    link_.watch().frame(clock_.now_ms());
}

void XonBoard::update_thread() {
    link_.watch().start(clock_.now_ms());
    xon();
    xo::FrameReader reader;
    SerialLink::Reader r;
    r.running = [this] { return running_.load() == 1; };
    r.byte = [&](uint8_t byte) {
        auto payload = reader.feed(byte);
        if (!payload || payload->empty()) return;
        handle_payload(*payload);
        clock_.sleep_ms(5);
    };
    r.restart = [&] { reader.reset(); };
    r.reopened = [this] { xon(); };
    link_.run(r);
    xoff();
    trace_("Quit scale update thread\n");
}

}  // namespace tarvelo
