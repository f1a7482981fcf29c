#pragma once
// The console tool's commands: the words a person types -> the request they mean, or the
// reason they are refused. Nothing here touches the pipe, so a refused command never sends a
// byte.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "client/ecr_decoder.h"

namespace kestrin {

struct Command {
    enum class Kind {
        send,       // one request, one reply
        handshake,  // ENQ, record 10 when the scale asks for it, ENQ for the result
        read,       // what kestrin's Read does
        sleep,      // a pause in a script
        decode,     // offline: bytes -> their fields and meaning
        cskw,       // offline: the pair for a CS and a random number
    };
    Kind kind = Kind::send;
    std::string bytes;   // send and decode
    size_t replies = 1;  // send: the replies to read (bytes that hold several requests)
    std::string cs;      // handshake and read: the first 4 characters typed
    int ms = 0;          // sleep
    std::optional<Direction> direction;  // decode: as stated, else told by the first byte
    uint8_t random_number = 0;           // cskw
};

struct ParsedCommand {
    std::optional<Command> command;
    std::string refusal;  // why, naming the field, its unit and its range
};

constexpr int kMaxSleepMs = 600000;

ParsedCommand parse_command(const std::vector<std::string>& words);

// One script line -> words. Blanks separate words, double quotes keep blanks and '#' inside a
// word, and a '#' outside quotes starts a comment. nullopt (and the reason) for an unclosed
// quote.
std::optional<std::vector<std::string>> split_line(const std::string& line, std::string* error);

extern const char* const kEcrctlUsage;

// Every command word and every option ecrctl takes, as the help, the manual page and the
// README must list them.
const std::vector<std::string>& ecrctl_commands();
const std::vector<std::string>& ecrctl_options();

}  // namespace kestrin
