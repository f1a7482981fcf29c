#pragma once
// Files named by settings are read only when they are regular files: a directory reads as
// nothing, a FIFO blocks the reader until some writer comes, a device such as /dev/zero never
// ends, and opening a terminal could make it the program's own. Nothing but a regular file is
// ever opened, and none is read past a size its caller sets.

#include <cstdint>
#include <string>

#include "platform/result.h"

namespace tarvelo {

// A descriptor open for reading when `path` is a regular file (a link to one counts).
Result<int> open_regular_file(const std::string& path);

// The whole content of such a file; a file larger than max_bytes is refused.
Result<std::string> read_regular_file(const std::string& path, size_t max_bytes);

// What tells one version of a regular file from the next without reading it: another file
// under the name, or the same file written again.
struct FileStamp {
    uint64_t device = 0, inode = 0;
    int64_t size = 0, modified_ns = 0;
    bool operator==(const FileStamp&) const = default;
};
Result<FileStamp> regular_file_stamp(const std::string& path);

}  // namespace tarvelo
