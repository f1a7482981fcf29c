#pragma once
// The INI reader behind every setting. Section and key names compare without regard to case,
// the first match wins, values lose their surrounding blanks and one pair of enclosing quotes,
// lines starting with ';' are comments. A value is cut to one byte less than the reader size
// it is asked with, as a fixed buffer of that size would hold it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"

namespace tarvelo {

class IniFile {
  public:
    // Far more than any settings file needs; a larger one is refused, not read into memory.
    static constexpr size_t kMaxBytes = 1 << 20;

    static IniFile parse(std::string_view text);
    // Fails when the file cannot be read, is no regular file (a directory, FIFO or device would
    // fail, hang or never end) or is larger than kMaxBytes; never blocks on opening.
    static Result<IniFile> load(const std::string& path);

    // The value of section/key, or `fallback` when either is missing; at most reader_size - 1
    // bytes of it.
    std::string get(std::string_view section, std::string_view key, std::string_view fallback,
                    size_t reader_size) const;
    // An integer key: read with the integer reader size (31) and converted like atoi.
    int32_t get_int(std::string_view section, std::string_view key,
                    std::string_view fallback) const;

  private:
    struct Entry {
        std::string key;
        std::string value;
    };
    struct Section {
        std::string name;
        std::vector<Entry> entries;
    };
    std::vector<Section> sections_;
};

}  // namespace tarvelo
