#include "tests/support/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <chrono>
#include <csignal>
#include <thread>

#include "tests/support/test_support.h"

extern char** environ;

namespace tarvelo::test {

Process::Process(const std::string& program, const std::vector<std::string>& args,
                 const std::string& cwd, const std::map<std::string, std::string>& env,
                 const std::string& output_prefix, bool stdout_pipe)
    : out_path_(output_prefix + ".out"), err_path_(output_prefix + ".err") {
    int in[2], out[2] = {-1, -1};
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (stdout_pipe && pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    if (stdout_pipe)
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    else
        posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());

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
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
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

}  // namespace tarvelo::test
