#include "tests/support/process.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "tests/support/test_support.h"

extern char** environ;

namespace tarvelo::test {

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::string& cwd, const std::map<std::string, std::string>& env,
                 const std::string& output_prefix, bool stdout_pipe)
    : out_path_(output_prefix + ".out"), err_path_(output_prefix + ".err") {
    int in[2], out[2] = {-1, -1};
    if (access(program.c_str(), X_OK) != 0 || pipe2(in, O_CLOEXEC) != 0) return;
    if (stdout_pipe && pipe2(out, O_CLOEXEC) != 0) return;
    std::vector<std::string> env_strings;
    for (char** e = environ; *e; ++e) {
        std::string kv = *e;
        std::string key = kv.substr(0, kv.find('='));
        if (!env.count(key)) env_strings.push_back(kv);
    }
    for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
    std::vector<char*> envp, argv{const_cast<char*>(program.c_str())};
    for (auto& s : env_strings) envp.push_back(s.data());
    envp.push_back(nullptr);
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    // Only async-signal-safe calls between fork and exec. The child ends with this process
    // even when a test crashes before it could stop it (a simulator, an X server).
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        dup2(in[0], 0);
        int out_fd =
            stdout_pipe ? out[1] : open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err_fd = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out_fd < 0 || err_fd < 0 || dup2(out_fd, 1) < 0 || dup2(err_fd, 2) < 0) _exit(127);
        if (chdir(cwd.c_str()) != 0) _exit(127);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(in[0]);
    stdin_fd_ = in[1];
    if (stdout_pipe) {
        close(out[1]);
        stdout_fd_ = out[0];
    }
}

Process::~Process() {
    stop();
    if (stdin_fd_ >= 0) close(stdin_fd_);
    if (stdout_fd_ >= 0) close(stdout_fd_);
}

void Process::close_stdout() {
    if (stdout_fd_ >= 0) close(stdout_fd_);
    stdout_fd_ = -1;
}

void Process::send_line(const std::string& line) {
    std::string l = line + "\n";
    if (stdin_fd_ < 0) return;
    [[maybe_unused]] auto n = write(stdin_fd_, l.data(), l.size());
}

std::string Process::out() const {
    return read_file(out_path_);
}
std::string Process::err() const {
    return read_file(err_path_);
}

bool Process::wait_output(const std::string& text, int timeout_ms, bool error_stream) const {
    return wait_until(
        [&] { return (error_stream ? err() : out()).find(text) != std::string::npos; }, timeout_ms);
}

bool Process::running() {
    if (pid_ <= 0 || reaped_) return false;
    if (waitpid(pid_, &status_, WNOHANG) == pid_) reaped_ = true;
    return !reaped_;
}

int Process::wait_exit(int timeout_ms) {
    wait_until([&] { return !running(); }, timeout_ms);
    if (!reaped_) return -1000;
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

void Process::stop() {
    if (!running()) return;
    kill(pid_, SIGTERM);
    if (wait_exit(3000) == -1000) {
        kill(pid_, SIGKILL);
        wait_exit(3000);
    }
}

long resident_kib(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

}  // namespace tarvelo::test
