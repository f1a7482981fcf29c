#pragma once
// The one-line traces of the board drivers. They go to standard output by default; tests
// capture them. Nothing in the program reads them.

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

namespace tarvelo {

using TraceFn = std::function<void(const std::string&)>;

inline TraceFn stdout_trace() {
    return [](const std::string& line) {
        static std::mutex m;
        std::lock_guard<std::mutex> lock(m);
        std::fputs(line.c_str(), stdout);
        std::fflush(stdout);
    };
}

}  // namespace tarvelo
