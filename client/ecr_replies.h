#pragma once
// Every reply the scale can send, decoded for a person, with the exit code the console tool
// gives it. Strict: a record whose length, separators or digits are not those of its layout
// is called malformed rather than read as numbers.
//
// Replies: ACK, NAK, and STX nn ... ETX records:
//   02 and 32 (26 bytes)  STX nn ESC "3" ESC value(5) ESC unit price(6) ESC total price(6) ETX
//   22 (12)               STX "22" ESC "3" ESC tare(5) ETX
//   09 (7)                STX "09" ESC s1 s0 ETX
//   11 (8)                STX "11" ESC "2" rr ETX     (the CS/KW request, rr lower-case hex)
//   11 (6)                STX "11" ESC r ETX          (the CS/KW result, "1" valid, "0" invalid)
// Numbers are zero-filled and may carry a minus sign inside their width ("-0012").

#include <string>

#include "client/exchange.h"

namespace kestrin {

// Exit codes of the console tool, worst last.
constexpr int kPositive = 0;  // ACK, scale data, tare, a valid result, status 00
constexpr int kNegative = 1;  // NAK, a refusing or unknown status, anything not positive
constexpr int kRefused = 2;   // the command was refused, or the pipe could not be used
constexpr int kNoReply = 3;   // no complete reply: none in time, cut off, or over-long

struct ReplyVerdict {
    std::string text;
    int exit_code = kNoReply;
};

ReplyVerdict describe_reply(const RawReply& reply, int timeout_ms);

}  // namespace kestrin
