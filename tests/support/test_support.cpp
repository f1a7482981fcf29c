#include "tests/support/test_support.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include <sys/syscall.h>
#include <unistd.h>

namespace tarvelo::test {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarvelo-test-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    path_ = made ? std::filesystem::path(made) : std::filesystem::temp_directory_path();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
        had_ = true;
        old_ = old;
    }
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (had_)
        ::setenv(name_.c_str(), old_.c_str(), 1);
    else
        ::unsetenv(name_.c_str());
}

bool wait_until(const std::function<bool()>& done, int timeout_ms, int every_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(every_ms));
    }
    return true;
}

int this_thread_tid() {
    return static_cast<int>(::syscall(SYS_gettid));
}

bool thread_blocked_in(int tid, long number) {
    // The first field is the number of the system call the thread is in, or "running".
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long current = -1;
    return static_cast<bool>(in >> current) && current == number;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace tarvelo::test
