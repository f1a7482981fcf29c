#pragma once
// kestrin's Read as one sequence that both clients run: kestrin shows its messages from the
// events, ecrctl prints every exchange and derives its exit code. The sequence only decides
// what to send next from the replies it is given; how a request travels is the caller's.
//
//   ask_data    EOT ENQ    record 02 -> scale data; record 32 or ACK -> done, nothing to show;
//                          NAK -> ask_status; a CS/KW request -> send_cs_kw
//   send_cs_kw  record 10  (one pair for the scale's random number) ACK -> ask_result,
//                          anything else -> ask_status
//   ask_result  EOT ENQ    result "1" -> ask_data again; anything else ends the Read
//   ask_status  record 08  a record 09 tells the reason; then the Read has failed

#include <functional>
#include <optional>
#include <string>

#include "client/ecr_decoder.h"

namespace kestrin {

class ReadSequence {
  public:
    enum class State { ask_data, send_cs_kw, ask_result, ask_status, done };
    enum class Outcome {
        pending,
        scale_data,  // record 02 (in `data()`)
        no_data,     // record 32 or ACK: answered, nothing to show
        failed,
    };
    // What a caller may show, with the state the sequence was in when it happened.
    enum class Event {
        no_reply,       // nothing whole arrived (ask_data, send_cs_kw or ask_result)
        unknown_reply,  // a reply to the data request that the sequence does not expect
        cs_kw_valid,
        cs_kw_invalid,
        status,       // a well-formed record 09 after a refusal
        asked_again,  // a CS/KW request right after a valid result: the Read stops, not loops
    };
    using Observer = std::function<void(State, Event, const Frame&)>;

    // `cs_text`: the CS as typed (its first 4 characters count).
    ReadSequence(std::string cs_text, Observer observer)
        : cs_text_(std::move(cs_text)), observer_(std::move(observer)) {}

    State state() const { return state_; }
    Outcome outcome() const { return outcome_; }
    const Frame& data() const { return data_; }

    // Sends each request with `transact` and hands the sequence its reply (nullopt when none
    // arrived whole), until the sequence ends.
    using Transact = std::function<std::optional<std::string>(State, const std::string& request)>;
    Outcome run(const Transact& transact);

    // One step by hand: the request of the current state.
    std::string request() const;
    // The reply to it; nullopt when none arrived whole. Moves to the next state.
    void take(const std::optional<std::string>& reply);

  private:
    void finish(Outcome outcome) {
        outcome_ = outcome;
        state_ = State::done;
    }
    void tell(Event event, const Frame& frame) {
        if (observer_) observer_(state_, event, frame);
    }

    std::string cs_text_;
    Observer observer_;
    State state_ = State::ask_data;
    Outcome outcome_ = Outcome::pending;
    std::string pair_;
    bool verified_ = false;
    Frame data_;
};

}  // namespace kestrin
