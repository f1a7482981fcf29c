#pragma once
// Child processes for the end-to-end tests: started with their own arguments, environment and
// working directory, standard input a pipe we write to, standard output and error captured in
// files; stopped by their process id, politely first, with a time-out, and ended by the kernel
// if the test process dies first.

#include <sys/types.h>

#include <map>
#include <string>
#include <vector>

namespace tarvelo::test {

class Process {
  public:
    // With stdout_pipe, standard output goes into a pipe whose reading end stdout_fd() gives
    // (to read, or to close as a reader that goes away would); out() is then empty.
    Process(const std::string& program, const std::vector<std::string>& args,
            const std::string& cwd, const std::map<std::string, std::string>& env,
            const std::string& output_prefix, bool stdout_pipe = false);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    bool started() const { return pid_ > 0; }
    int pid() const { return static_cast<int>(pid_); }
    int stdout_fd() const { return stdout_fd_; }
    void close_stdout();
    void send_line(const std::string& line);
    std::string out() const;
    std::string err() const;
    // True when `text` appears on standard output (or error) within timeout_ms.
    bool wait_output(const std::string& text, int timeout_ms, bool error_stream = false) const;
    // The exit code once it has ended within timeout_ms; -1000 while it still runs.
    int wait_exit(int timeout_ms);
    bool running();
    void stop();  // SIGTERM, then SIGKILL after 3 s

  private:
    pid_t pid_ = -1;
    int stdin_fd_ = -1;
    int stdout_fd_ = -1;
    std::string out_path_, err_path_;
    int status_ = -1;
    bool reaped_ = false;
};

// The resident memory of a running process in KiB (VmRSS), or -1.
long resident_kib(int pid);

}  // namespace tarvelo::test
