#pragma once
// The trace of the ECR link: one line per event, "YYYY-MM-DD hh:mm:ss-> message", into files
// log_YYYYMMDDhhmmss.txt in the current directory (or a directory of the caller's choice). A
// new file is begun after `lines_per_file` lines; 0 switches the log off. Each line is opened,
// appended and closed at once, so it is on disk when the call returns; a file that cannot be
// opened loses its line without a word, and the count goes on as if it had been written.

#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace tarvelo {

// A received field as it goes into a log line: every byte below 0x20 and 0x7F is written as
// \xNN, so that no field can end the line or forge the next one; other bytes stay as received.
std::string log_field(std::string_view field);

class EventLog {
  public:
    static constexpr size_t kMessageLimit = 1023;

    EventLog(uint32_t lines_per_file, Clock& clock, std::string directory = {});

    // Formats one message and appends it as a line with the local date and time.
    void write(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void vwrite(const char* format, va_list args);
    // Appends a finished line, beginning a new file when the count says so.
    void append_line(const char* line);

    uint32_t lines_per_file() const { return lines_per_file_; }
    const std::string& current_file() const { return file_name_; }

  private:
    uint32_t lines_per_file_;
    Clock& clock_;
    std::string directory_;
    std::mutex mutex_;       // one writer today; cheap insurance against a second
    uint32_t counter_ = 1;   // number of the next line within the current file
    std::string file_name_;  // log_%04d%02d%02d%02d%02d%02d.txt
};

}  // namespace tarvelo
