#include "client/read_sequence.h"

#include "client/kestrin_protocol.h"

namespace kestrin {

std::string ReadSequence::request() const {
    switch (state_) {
        case State::ask_data:
        case State::ask_result:
            return enq_request();
        case State::send_cs_kw:
            return cs_kw_record(pair_);
        case State::ask_status:
            return status_request();
        case State::done:
            break;
    }
    return {};
}

void ReadSequence::take(const std::optional<std::string>& reply) {
    const Frame r = reply ? decode_reply(*reply) : Frame{};
    const ReplyKind kind = r.well_formed() ? r.kind : ReplyKind::malformed;
    if (!reply && state_ != State::ask_status && state_ != State::done) {
        tell(Event::no_reply, r);
        return finish(Outcome::failed);
    }
    switch (state_) {
        case State::ask_data:
            if (kind == ReplyKind::scale_data) {
                data_ = r;
                return finish(Outcome::scale_data);
            }
            if (kind == ReplyKind::quantity_data || kind == ReplyKind::ack)
                return finish(Outcome::no_data);
            if (kind == ReplyKind::nak) {
                state_ = State::ask_status;
                return;
            }
            if (kind == ReplyKind::cs_kw_request) {
                if (verified_) {
                    tell(Event::asked_again, r);
                    return finish(Outcome::failed);
                }
                pair_ = cs_kw_chars(cs_text_, r.random_number);
                state_ = State::send_cs_kw;
                return;
            }
            tell(Event::unknown_reply, r);
            return finish(Outcome::failed);
        case State::send_cs_kw:
            state_ = kind == ReplyKind::ack ? State::ask_result : State::ask_status;
            return;
        case State::ask_result:
            if (kind == ReplyKind::cs_kw_result && r.result == '1') {
                tell(Event::cs_kw_valid, r);
                verified_ = true;
                state_ = State::ask_data;
                return;
            }
            if (kind == ReplyKind::cs_kw_result && r.result == '0') tell(Event::cs_kw_invalid, r);
            return finish(Outcome::failed);
        case State::ask_status:
            if (kind == ReplyKind::status) tell(Event::status, r);
            return finish(Outcome::failed);
        case State::done:
            return;
    }
}

ReadSequence::Outcome ReadSequence::run(const Transact& transact) {
    while (state_ != State::done) take(transact(state_, request()));
    return outcome_;
}

}  // namespace kestrin
