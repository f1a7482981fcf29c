#include "client/exchange.h"

#include <chrono>
#include <thread>

namespace kestrin {

int64_t steady_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

RawReply receive_reply(Link* link, size_t max, int timeout_ms, const MonotonicMs& now) {
    RawReply got;
    if (link == nullptr) return got;
    const int64_t deadline = now() + timeout_ms;
    for (;;) {
        if (got.bytes.size() >= max) {
            got.end = RawReply::End::full;
            break;
        }
        const int64_t left = deadline - now();
        char c;
        Link::Read r = left > 0 ? link->read_byte(c, static_cast<int>(left)) : Link::Read::timeout;
        if (r != Link::Read::byte) {
            got.end = r == Link::Read::timeout ? RawReply::End::timeout : RawReply::End::failed;
            break;
        }
        got.bytes.push_back(c);
        if (ends_reply(c)) {
            got.end = RawReply::End::complete;
            return got;
        }
    }
    link->drop();
    return got;
}

std::string clear_left_over(Link* link, size_t max) {
    std::string left;
    if (link == nullptr) return left;
    Link::Read r = Link::Read::timeout;
    char c;
    while (left.size() < max && (r = link->read_byte(c, 0)) == Link::Read::byte) left.push_back(c);
    if (!left.empty() || r == Link::Read::failed) link->drop();
    return left;
}

void Exchange::send(const std::string& request) {
    if (link_ == nullptr) return;
    clear_left_over(link_, 128);
    link_->write(request);
}

std::string Exchange::read_reply(size_t max) {
    RawReply r = receive_reply(link_, max, timeout_ms_, now_);
    bool judged = r.end == RawReply::End::complete || r.end == RawReply::End::full;
    return judged ? r.bytes : std::string();
}

void Exchange::ask_status() {
    send(status_request());
    Reply r = recognise(read_reply(16));
    if (r.kind == ReplyKind::status) show_(status_text(r.s1, r.s0));
}

bool Exchange::exchange(const std::string& cs_text, Reading& reading, bool& show_data) {
    std::string pair;
    int state = 1;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (state == 1) {
            send(enq_request());
            std::string bytes = read_reply(128);
            if (bytes.empty()) {
                show_("receive data error 1");
                return false;
            }
            Reply r = recognise(bytes);
            switch (r.kind) {
                case ReplyKind::scale_data:
                    // Below the minimum weight the display keeps the previous reading.
                    if (r.weight >= 40) {
                        reading.weight = r.weight;
                        reading.unit_price = r.unit_price;
                    }
                    show_data = true;
                    return true;
                case ReplyKind::quantity_data:
                case ReplyKind::ack:
                    return true;
                case ReplyKind::nak:
                    ask_status();
                    return false;
                case ReplyKind::cs_kw_request:
                    pair = cs_kw_chars(cs_text, r.random_number);
                    state = 2;
                    break;
                default:
                    show_("receive data unknown");
                    return false;
            }
        } else if (state == 2) {
            send(cs_kw_record(pair));
            std::string bytes = read_reply(128);
            if (bytes.empty()) {
                show_("receive data error 2");
                return false;
            }
            if (recognise(bytes).kind != ReplyKind::ack) {
                ask_status();
                return false;
            }
            state = 3;
        } else {
            send(enq_request());
            std::string bytes = read_reply(128);
            if (bytes.empty()) {
                show_("receive data error 4");
                return false;
            }
            Reply r = recognise(bytes);
            if (r.kind != ReplyKind::cs_kw_result) return false;
            if (r.result == '1') {
                show_("CS/KW result: valid");
                state = 1;
            } else {
                if (r.result == '0') show_("CS/KW result: invalid");
                return false;
            }
        }
    }
}

bool Exchange::read(const std::string& cs_text, Reading& reading) {
    bool show_data = false;
    if (!exchange(cs_text, reading, show_data)) {
        show_("read weight error");
        return false;
    }
    return show_data;
}

}  // namespace kestrin
