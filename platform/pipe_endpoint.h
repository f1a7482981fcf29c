#pragma once
// The ECR pipe: a Unix-domain stream socket standing in for a named pipe. One client at a
// time, as the pipe has one instance: while a client is served, any further connection is
// closed at once, unread, so that no byte a waiting client queued is ever acted on. A
// connection that arrives after the served client has hung up is left queued for the next
// accept, so an ECR that reconnects at once is not turned away. The server reads one byte at a
// time and writes whole frames.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/result.h"

namespace tarvelo {

// $XDG_RUNTIME_DIR/NAME when that variable is set and absolute and names a private directory
// (below), else /tmp/tarvelo-UID/NAME: never straight in /tmp, where any user could create the
// name first, nor in a directory where another user could remove it or plant an impostor.
std::string pipe_socket_path(const std::string& pipe_name);

// The same place in parts: its directory, whether that is the private directory under /tmp,
// and why $XDG_RUNTIME_DIR was passed over for it (empty when it was used, or was not set).
struct PipeSocketPlace {
    std::string dir, path, passed_over;
    bool private_tmp = false;
};
PipeSocketPlace pipe_socket_place(const std::string& pipe_name);

// Empty when NAME may name the socket; else why not (a '/', "." or "..", or nothing at all).
std::string pipe_name_problem(const std::string& pipe_name);

// The rule for the socket's directory: usable only when it is a real directory (not a link)
// owned by this user with no group or other access. With `create` (the private directory that
// stands in for /tmp), made with mode 0700 when missing.
Result<void> private_socket_dir(const std::string& dir, bool create);

// A connection handle, as the pipe operations of the scale library take it.
using pipe_handle = int;
constexpr pipe_handle no_pipe = -1;

// Blocks until one byte arrives; false when the peer has gone or the read fails.
bool pipe_read_byte(pipe_handle handle, uint8_t& out);
// Sends every byte; false on failure. A vanished peer never raises SIGPIPE.
bool pipe_write_all(pipe_handle handle, const void* data, size_t length);

class PipeServer {
  public:
    // What the server has to say that is no failure of its own (a runtime directory passed
    // over, descriptors that ran out), for standard error.
    using Notice = std::function<void(const std::string&)>;

    // Makes the socket with mode 0600 from its first moment; its name appears only once it
    // listens. A stale socket file that no server answers is replaced; a live server at the
    // same path, or a file that is no socket, makes creation fail.
    static Result<std::unique_ptr<PipeServer>> create(const std::string& pipe_name,
                                                      Notice notice = {});
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Waits for the next client, dropping the current one. False when the server was shut down
    // or accept failed for good. A lack of descriptors or memory, or a client that left before
    // it was taken, is waited out: the connection stays queued and is taken once it can be.
    bool accept_client();
    pipe_handle client() const { return client_.load(); }
    // The served client has closed its end altogether: its reply would go to nobody.
    bool client_closed() const;
    void disconnect();
    // Wakes a blocked accept_client() or a read on the client for good (tests and orderly
    // shut-down); callable from another thread.
    void shutdown();
    const std::string& path() const { return path_; }

  private:
    PipeServer(int fd, std::string path, Notice notice)
        : listen_fd_(fd), path_(std::move(path)), notice_(std::move(notice)) {}
    bool start_turning_away();
    void turn_away_loop();
    bool client_hung_up() const;
    void wake();

    int listen_fd_;
    std::atomic<int> client_{no_pipe};
    std::string path_;
    Notice notice_;
    bool told_short_ = false;  // the lack of descriptors has been told (accepting thread only)

    // The connections that arrive while a client is served are closed by a thread of their own,
    // as the serving thread is blocked in the client's reads.
    std::mutex mutex_;
    std::condition_variable changed_;
    bool serving_ = false;       // a client is connected and served
    bool leave_queued_ = false;  // the served client has hung up: the next one waits its turn
    bool stopping_ = false;
    bool shut_down_ = false;  // shutdown(): accept_client() returns, and stays returning
    int wake_fds_[2] = {-1, -1};
    std::thread turn_away_;
    // The socket file this server bound: only that file is removed at the end.
    unsigned long long dev_ = 0, ino_ = 0;
};

// The ECR side, for the tests and the benchmarks that play an ECR against the server. kestrin
// and ecrctl have a client of their own (client/pipe_link.h): they share no code with the scale.
class PipeClient {
  public:
    static Result<std::unique_ptr<PipeClient>> connect(const std::string& pipe_name);
    ~PipeClient();
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;

    bool write_all(const void* data, size_t length);
    enum class Read { byte, timeout, closed };
    Read read_byte(uint8_t& out, int timeout_ms);
    pipe_handle handle() const { return fd_; }

  private:
    explicit PipeClient(int fd) : fd_(fd) {}
    int fd_;
};

}  // namespace tarvelo
