#pragma once
// The one-line traces of the board drivers. They go to standard output by default, never
// waiting on it; tests capture them. Nothing in the program reads them.

#include <functional>
#include <string>

#include "platform/output_lines.h"

namespace tarvelo {

using TraceFn = std::function<void(const std::string&)>;

inline TraceFn stdout_trace() {
    return [](const std::string& line) { standard_output().write(line); };
}

}  // namespace tarvelo
