#include "log/event_log.h"

#include <cstdio>

#include "platform/error_line.h"

namespace tarvelo {

std::string log_field(std::string_view field) {
    return printable(field);
}

EventLog::EventLog(uint32_t lines_per_file, Clock& clock, std::string directory)
    : lines_per_file_(lines_per_file), clock_(clock), directory_(std::move(directory)) {
    if (!directory_.empty() && directory_.back() != '/') directory_ += '/';
}

void EventLog::write(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vwrite(format, args);
    va_end(args);
}

void EventLog::vwrite(const char* format, va_list args) {
    if (lines_per_file_ == 0 || format == nullptr || format[0] == '\0') return;
    LocalTime t = clock_.local_time();
    char message[kMessageLimit + 1] = {};
    std::vsnprintf(message, sizeof message, format, args);
    char line[1056] = {};
    std::snprintf(line, sizeof line, "%04d-%02d-%02d %02d:%02d:%02d-> %s\n", t.year, t.month, t.day,
                  t.hour, t.minute, t.second, message);
    append_line(line);
}

void EventLog::append_line(const char* line) {
    if (lines_per_file_ == 0 || line == nullptr || line[0] == '\0') return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (counter_ == 1) {
        LocalTime t = clock_.local_time();
        char name[64] = {};
        std::snprintf(name, sizeof name, "log_%04d%02d%02d%02d%02d%02d.txt", t.year, t.month, t.day,
                      t.hour, t.minute, t.second);
        file_name_ = name;
    }
    counter_ = counter_ < lines_per_file_ ? counter_ + 1 : 1;
    std::FILE* f = std::fopen((directory_ + file_name_).c_str(), "a+");
    if (f == nullptr) return;
    std::fputs(line, f);
    std::fclose(f);
}

}  // namespace tarvelo
