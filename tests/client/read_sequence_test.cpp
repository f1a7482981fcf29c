#include "client/read_sequence.h"

#include <gtest/gtest.h>

#include "client/kestrin_protocol.h"
#include "tests/client/client_fakes.h"

namespace kestrin {
namespace {

using State = ReadSequence::State;
using Event = ReadSequence::Event;
using Outcome = ReadSequence::Outcome;

const std::string ACK = "\x06", NAK = "\x15";
const std::string R11 =
                      "\x02"
                      "11\x1b"
                      "2a5\x03",
                  VALID =
                      "\x02"
                      "11\x1b"
                      "1\x03",
                  INVALID =
                      "\x02"
                      "11\x1b"
                      "0\x03",
                  RESULT_2 =
                      "\x02"
                      "11\x1b"
                      "2\x03",
                  NOT_STABLE =
                      "\x02"
                      "09\x1b"
                      "20\x03",
                  QUANTITY =
                      "\x02"
                      "32\x1b"
                      "3\x1b"
                      "00003\x1b"
                      "000250\x1b"
                      "000750\x03";
const std::string ENQ = enq_request(), STATUS = status_request(),
                  PAIR = cs_kw_record(cs_kw_chars("1A2B", 0xA5));
const std::optional<std::string> NOTHING;

// Replies in, requests out: the whole Read, without a link.
TEST(ReadSequence, RepliesToRequestsEventsAndOutcome) {
    struct Case {
        const char* what;
        std::vector<std::optional<std::string>> replies;
        std::vector<std::string> requests;
        std::vector<std::pair<State, Event>> events;
        Outcome outcome;
    } cases[] = {
        {"data at once", {test::kData1234}, {ENQ}, {}, Outcome::scale_data},
        {"handshake, then data",
         {R11, ACK, VALID, test::kData1234},
         {ENQ, PAIR, ENQ, ENQ},
         {{State::ask_result, Event::cs_kw_valid}},
         Outcome::scale_data},
        {"quantity mode", {QUANTITY}, {ENQ}, {}, Outcome::no_data},
        {"ACK to ENQ", {ACK}, {ENQ}, {}, Outcome::no_data},
        {"refused, status told",
         {NAK, NOT_STABLE},
         {ENQ, STATUS},
         {{State::ask_status, Event::status}},
         Outcome::failed},
        {"refused, status not a record 09", {NAK, ACK}, {ENQ, STATUS}, {}, Outcome::failed},
        {"refused, status never came", {NAK, NOTHING}, {ENQ, STATUS}, {}, Outcome::failed},
        {"record 10 refused",
         {R11, NAK, NOT_STABLE},
         {ENQ, PAIR, STATUS},
         {{State::ask_status, Event::status}},
         Outcome::failed},
        {"invalid result",
         {R11, ACK, INVALID},
         {ENQ, PAIR, ENQ},
         {{State::ask_result, Event::cs_kw_invalid}},
         Outcome::failed},
        {"no result record", {R11, ACK, ACK}, {ENQ, PAIR, ENQ}, {}, Outcome::failed},
        // Only "1" is valid, and only ACK takes record 10: anything else is no answer to act on.
        {"a result neither valid nor invalid",
         {R11, ACK, RESULT_2},
         {ENQ, PAIR, ENQ},
         {},
         Outcome::failed},
        {"record 10 answered with neither ACK nor NAK",
         {R11, QUANTITY, NOT_STABLE},
         {ENQ, PAIR, STATUS},
         {{State::ask_status, Event::status}},
         Outcome::failed},
        {"nothing to ENQ", {NOTHING}, {ENQ}, {{State::ask_data, Event::no_reply}}, Outcome::failed},
        {"nothing to record 10",
         {R11, NOTHING},
         {ENQ, PAIR},
         {{State::send_cs_kw, Event::no_reply}},
         Outcome::failed},
        {"nothing to the result request",
         {R11, ACK, NOTHING},
         {ENQ, PAIR, ENQ},
         {{State::ask_result, Event::no_reply}},
         Outcome::failed},
        {"a malformed record 02",
         {"\x02"
          "02\x1b"
          "3\x1b"
          "0123x\x1b"
          "000299\x1b"
          "000369\x03"},
         {ENQ},
         {{State::ask_data, Event::unknown_reply}},
         Outcome::failed},
        {"asked again after a valid result",
         {R11, ACK, VALID, R11},
         {ENQ, PAIR, ENQ, ENQ},
         {{State::ask_result, Event::cs_kw_valid}, {State::ask_data, Event::asked_again}},
         Outcome::failed},
    };
    for (const Case& c : cases) {
        std::vector<std::pair<State, Event>> events;
        ReadSequence sequence("1A2B",
                              [&](State s, Event e, const Frame&) { events.emplace_back(s, e); });
        std::vector<std::string> requests;
        size_t next = 0;
        Outcome outcome = sequence.run([&](State, const std::string& request) {
            requests.push_back(request);
            return next < c.replies.size() ? c.replies[next++] : NOTHING;
        });
        EXPECT_EQ(outcome, c.outcome) << c.what;
        EXPECT_EQ(requests, c.requests) << c.what;
        EXPECT_EQ(events, c.events) << c.what;
        EXPECT_EQ(next, c.replies.size()) << c.what;
        if (outcome == Outcome::scale_data) {
            EXPECT_EQ(sequence.data().weight, 1234) << c.what;
        }
    }
}

}  // namespace
}  // namespace kestrin
