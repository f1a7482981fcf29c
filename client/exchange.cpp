#include "client/exchange.h"

#include <chrono>
#include <thread>

#include "client/read_sequence.h"

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

std::optional<std::string> judged(const RawReply& reply) {
    if (reply.end == RawReply::End::complete || reply.end == RawReply::End::full)
        return reply.bytes;
    return std::nullopt;
}

void Exchange::send(const std::string& request) {
    if (link_ == nullptr) return;
    clear_left_over(link_, 128);
    link_->write(request);
}

std::string Exchange::read_reply(size_t max) {
    return judged(receive_reply(link_, max, timeout_ms_, now_)).value_or("");
}

bool Exchange::read(const std::string& cs_text, Reading& reading) {
    using State = ReadSequence::State;
    using Event = ReadSequence::Event;
    ReadSequence sequence(cs_text, [this](State state, Event event, const Frame& frame) {
        switch (event) {
            case Event::no_reply:
                show_(state == State::ask_data     ? "receive data error 1"
                      : state == State::send_cs_kw ? "receive data error 2"
                                                   : "receive data error 4");
                break;
            case Event::unknown_reply:
                show_("receive data unknown");
                break;
            case Event::cs_kw_valid:
                show_("CS/KW result: valid");
                break;
            case Event::cs_kw_invalid:
                show_("CS/KW result: invalid");
                break;
            case Event::status:
                show_(status_text(frame.s1, frame.s0));
                break;
            case Event::asked_again:
                break;
        }
    });
    const auto outcome = sequence.run([this](State state, const std::string& request) {
        // Each pass of the exchange starts with a short pause; the status request follows
        // its refusal at once. The status reply is short, so its buffer is too.
        if (state != State::ask_status) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        send(request);
        return judged(
            receive_reply(link_, state == State::ask_status ? 16 : 128, timeout_ms_, now_));
    });
    switch (outcome) {
        case ReadSequence::Outcome::scale_data:
            // Below the minimum weight the display keeps the previous reading.
            if (sequence.data().weight >= 40) {
                reading.weight = sequence.data().weight;
                reading.unit_price = sequence.data().unit_price;
            }
            return true;
        case ReadSequence::Outcome::no_data:
            return false;
        default:
            show_("read weight error");
            return false;
    }
}

}  // namespace kestrin
