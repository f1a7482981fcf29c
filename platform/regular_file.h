#pragma once
// Files named by settings are read only when they are regular files: a directory reads as
// nothing, a FIFO blocks the reader until some writer comes, and a device such as /dev/zero
// never ends.

#include <string>

#include "platform/result.h"

namespace tarvelo {

// A descriptor open for reading when `path` is a regular file (a link to one counts), opened
// without blocking on a FIFO.
Result<int> open_regular_file(const std::string& path);

// The whole content of such a file.
Result<std::string> read_regular_file(const std::string& path);

}  // namespace tarvelo
