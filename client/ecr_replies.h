#pragma once
// Every reply the scale can send, as the strict decoder (ecr_decoder.h) reads it, told for a
// person, with the exit code the console tool gives it: a record whose length, separators or
// digits are not those of its layout is called malformed rather than read as numbers.

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
