#pragma once
// The machine-read parts of docs/ecr-protocol.md: its worked exchanges and its table of CS/KW
// vectors. Pure: text in, blocks out.
//
// A worked exchange is a fenced block whose info string is "exchange NAME":
//   setup: board=xon verify=0 min_wgt_fg=1        the board type and the settings
//   -> 04 02 "01" 1b "000150" 1b 03   # meaning   bytes the ECR writes
//   <- 06                             # meaning   bytes the scale answers, exactly
//   board: weight 1234                            a control line for the board simulator
//   display: text APPLES                          the item text the customer window shows
// Bytes are two-digit hex numbers or "quoted ASCII" (taken as it stands, no escapes). In a
// reply, {R} stands for the two lower-case hex characters of the handshake's random number; in
// a request, {CS 1A2B} and {KW 1A2B} stand for the four characters of CS and KW that the value
// 1A2B gives for that R. A # outside quotes starts the meaning, which the reader keeps.
//
// The vectors are a fenced block with the info string "cskw-vectors": one row a line, the
// ECR's value, R, CS and KW, e.g. "1A2B 5c 4563 652a".

#include <map>
#include <string>
#include <vector>

namespace tarvelo::test {

// One part of a line of bytes: literal bytes, or a placeholder.
struct Piece {
    enum class Kind { bytes, random, cs, kw } kind = Kind::bytes;
    std::string bytes;  // Kind::bytes
    std::string value;  // Kind::cs and Kind::kw: the ECR's four hex digits
};

struct Step {
    enum class Kind { send, expect, board, display } kind = Kind::send;
    int line = 0;  // in the document, counted from 1
    std::vector<Piece> pieces;
    std::string argument;  // Kind::board: the control line; Kind::display: the text
    std::string meaning;
};

struct ExchangeBlock {
    std::string name;
    int line = 0;                                 // of the opening fence
    std::string board = "xon";                    // or "letter"
    std::map<std::string, std::string> settings;  // tarvelo.ini keys and values
    std::vector<Step> steps;
};

struct CsKwVector {
    int line = 0;
    std::string value;  // four characters, as the ECR's operator types them
    int random_number = 0;
    std::string cs, kw;
};

// Every worked exchange of the document, in order. A block that cannot be read makes `error`
// name it and its line, and the result empty.
std::vector<ExchangeBlock> exchange_blocks(const std::string& document, std::string* error);
std::vector<CsKwVector> cs_kw_vectors(const std::string& document, std::string* error);

// The bytes of a line, with the placeholders filled in from R (for {CS v} and {KW v}) by
// `cs_kw` (value, R) -> 8 characters. {R} in an expected reply is left for match_reply.
std::string request_bytes(const Step& step, int random_number,
                          std::string (*cs_kw)(const std::string& value, int r));
// How many bytes the reply of an expect step has.
size_t reply_length(const Step& step);
// Whether `got` is the reply the step expects; a {R} takes its value into *random_number.
bool match_reply(const Step& step, const std::string& got, int* random_number);

// "04 02 30 38 03": how a mismatch is shown.
std::string hex_string(const std::string& bytes);

}  // namespace tarvelo::test
