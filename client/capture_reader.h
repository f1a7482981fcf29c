#pragma once
// The ECR side of a capture file (tarvelo --capture), as ecrctl --replay plays it. ecrctl keeps
// its own reader, as it shares no code with the scale program; the format is the one
// docs/capture-format.md describes:
//   tarvelo-capture 1 version=... board=... ...      the first line
//   ini ...                                           the scale's settings (read past)
//   # ...                                             comments (read past)
//   TIME KIND [HEX...]                                one record a line
// The kinds ecrctl acts on are ecr-connect, ecr>scale, scale>ecr and ecr-disconnect; the board's
// records and the others are checked for their shape and read past. A line that is none of
// these is refused with its number.

#include <cstdint>
#include <string>
#include <vector>

namespace kestrin {

struct CaptureEvent {
    enum class Kind { connect, request, reply, disconnect };
    Kind kind = Kind::connect;
    int64_t us = 0;     // microseconds since the capture began
    std::string bytes;  // request and reply
    int line = 0;
};

struct EcrCapture {
    std::string start;  // "program" or "running"
    std::vector<CaptureEvent> events;
    std::vector<std::string> notes;  // what a person should know before trusting the replay
};

// The file's ECR events, or false and the reason (with the line number) in *error.
bool read_ecr_capture(const std::string& text, EcrCapture* out, std::string* error);

// "12.345678 s"
std::string capture_seconds(int64_t us);

}  // namespace kestrin
