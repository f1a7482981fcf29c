#pragma once
// The capture file: what crossed the board line and the ECR link, one record a line, as text
// a person can read, annotate and send (docs/capture-format.md tells it in full).
//
//   tarvelo-capture 1 version=1.0.0 board=xon checksum=5F1A2B3C start=program settings=PATH
//   ini [scale]                               the settings file, line by line
//   # a comment: what this capture shows
//   0000051234 board-open /dev/ttyUSB0
//   0000052007 pc>board 11
//   0000104711 board>pc 02 30 20 30 31 2E ...
//   0001210000 ecr-connect
//   0001210388 ecr>scale 04 05
//   0001221950 scale>ecr 02 30 32 1B 33 ...
//   0009000000 end
//
// A record is the time in microseconds since the capture began, the kind, and the bytes as
// two hexadecimal digits each. Times never go back. Reading is strict: a line that is none of
// these says so with its number, so an edited capture never replays as something else.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace tarvelo::capture {

constexpr int kFormat = 1;
// The latest time a record may carry, in microseconds (about 31 years): a replay's arithmetic on
// it never overflows, and a later one is a damaged line, not a capture.
constexpr int64_t kLatestUs = INT64_C(1000000000000000);

enum class Kind {
    board_open,      // the scale opened the board line (text: the device's name)
    board_gone,      // the device went away under the scale
    pc_to_board,     // bytes the scale wrote to the board
    board_to_pc,     // bytes the scale read from the board
    ecr_connect,     // the scale took an ECR's connection
    ecr_to_scale,    // one request as the scale read it (or as far as it came)
    scale_to_ecr,    // one reply as the scale wrote it
    ecr_disconnect,  // the scale let the ECR's connection go
    lost,            // records the writer could not keep up with (count)
    end,             // the capture ended in order (text: why, when not the program's end)
};

std::string_view kind_name(Kind kind);
bool carries_bytes(Kind kind);

struct Record {
    int64_t us = 0;
    Kind kind = Kind::end;
    std::vector<uint8_t> bytes;
    std::string text;    // board_open, end
    uint64_t count = 0;  // lost
    int line = 0;        // where it stood in the file
};

// What the first line says, and the settings the scale ran with.
struct Header {
    std::string version;   // the scale program's
    std::string board;     // "xon" or "letter"
    std::string checksum;  // the scale library's, as the start-up check hands it to the board
    std::string start;     // "program" (from the start) or "running" (started while it ran)
    std::string pipe;      // the ECR pipe's name
    int divisor = 0;       // the boot screens' time divisor, 0 when none
    std::string settings;  // the settings file's path
    std::string settings_text;
};

std::string header_lines(const Header& header);
std::string record_line(int64_t us, Kind kind, const uint8_t* bytes, size_t length);
std::string text_record_line(int64_t us, Kind kind, std::string_view text);
std::string count_record_line(int64_t us, Kind kind, uint64_t count);

struct Capture {
    Header header;
    std::vector<Record> records;
};

// The whole file, or why not (with the line number).
Result<Capture> parse(std::string_view text);

// "12.345678 s" for a person.
std::string seconds_text(int64_t us);
// "02 57 5A 03 0C"
std::string hex_text(const uint8_t* bytes, size_t length);

}  // namespace tarvelo::capture
