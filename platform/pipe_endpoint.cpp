#include "platform/pipe_endpoint.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/holders.h"

namespace tarvelo {
namespace {

bool make_address(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

int connect_to(const std::string& path) {
    sockaddr_un addr;
    if (!make_address(path, addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

}  // namespace

namespace {

std::string fallback_dir() {
    return "/tmp/tarvelo-" + std::to_string(::geteuid());
}

// Where the socket lives: $XDG_RUNTIME_DIR when it is set, absolute and private to this user,
// else the private directory under /tmp. *passed_over says why the variable's directory was
// not used, when it was set but failed the rule.
std::string socket_dir(std::string* passed_over = nullptr) {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!(runtime && runtime[0] == '/')) return fallback_dir();
    std::string dir = runtime;
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    // Another user who may write there could delete the socket or put an impostor in its place.
    if (Result<void> own = private_socket_dir(dir, false); !own) {
        if (passed_over) *passed_over = own.error();
        return fallback_dir();
    }
    return dir;
}

}  // namespace

std::string pipe_socket_path(const std::string& pipe_name) {
    return socket_dir() + "/" + pipe_name;
}

PipeSocketPlace pipe_socket_place(const std::string& pipe_name) {
    PipeSocketPlace place;
    place.dir = socket_dir(&place.passed_over);
    place.path = place.dir + "/" + pipe_name;
    place.private_tmp = place.dir == fallback_dir();
    return place;
}

std::string pipe_name_problem(const std::string& pipe_name) {
    if (pipe_name.empty()) return "the pipe name is empty";
    // A NUL would end the name where the system reads it: the socket would take another name.
    if (pipe_name.find_first_of(std::string("/\0", 2)) != std::string::npos || pipe_name == "." ||
        pipe_name == "..")
        return "invalid pipe name '" + pipe_name +
               "': it must be a plain file name (no '/' or NUL, not '.' or '..')";
    return {};
}

Result<void> private_socket_dir(const std::string& dir, bool create) {
    auto fail = [&](const std::string& why) -> Result<void> { return Failure{dir + ": " + why}; };
    if (create && ::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        return fail(std::string("cannot create: ") + std::strerror(errno));
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) return fail(std::strerror(errno));
    if (S_ISLNK(st.st_mode)) return fail("is a link, not a private directory");
    if (!S_ISDIR(st.st_mode)) return fail("is not a directory");
    if (st.st_uid != ::geteuid())
        return fail("belongs to user " + std::to_string(st.st_uid) + ", not to this user (" +
                    std::to_string(::geteuid()) + ")");
    if ((st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        return fail(std::string("is open to group or others (mode ") + mode + "); it must be 0700");
    }
    return {};
}

bool pipe_read_byte(pipe_handle handle, uint8_t& out) {
    if (handle < 0) return false;
    for (;;) {
        ssize_t n = ::recv(handle, &out, 1, 0);
        if (n == 1) return true;
        if (n < 0 && errno == EINTR) continue;
        return false;
    }
}

bool pipe_write_all(pipe_handle handle, const void* data, size_t length) {
    if (handle < 0) return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (length > 0) {
        ssize_t n = ::send(handle, bytes, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

namespace {

// The socket file takes its mode from the umask at bind time: only the owner may talk to the
// scale, from the file's first moment (a chmod afterwards would leave a window).
bool bind_private(int fd, const sockaddr_un& addr) {
    mode_t old = ::umask(0177);
    int r = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    int saved = errno;
    ::umask(old);
    errno = saved;
    return r == 0;
}

// Servers of this user come and go in one directory. Looking at the name and acting on what is
// there (a stale socket removed, or our own at the end) is one step, taken in turn: else a server
// could remove, as stale, the socket that another has just put in place of the stale one.
class DirectoryTurn {
  public:
    explicit DirectoryTurn(const std::string& dir)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)) {
        // Without a descriptor to lock with (they ran out), the step is taken unguarded.
        while (fd_ >= 0 && ::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~DirectoryTurn() {
        if (fd_ >= 0) ::close(fd_);
    }
    DirectoryTurn(const DirectoryTurn&) = delete;
    DirectoryTurn& operator=(const DirectoryTurn&) = delete;

  private:
    int fd_;
};

// A name of its own in the socket's directory, nine characters long: it fits wherever the
// pipe's own name does, unless that name is shorter still and the directory's very long.
std::string temporary_name(const std::string& dir) {
    static std::atomic<unsigned> counter{0};
    char name[16];
    std::snprintf(name, sizeof name, "/.%08x",
                  (static_cast<unsigned>(::getpid()) << 12) ^ (counter++ * 2654435761u));
    return dir + name;
}

}  // namespace

Result<std::unique_ptr<PipeServer>> PipeServer::create(const std::string& pipe_name,
                                                       Notice notice) {
    if (std::string why = pipe_name_problem(pipe_name); !why.empty()) return Failure{why};
    const PipeSocketPlace place = pipe_socket_place(pipe_name);
    const std::string &dir = place.dir, &path = place.path;
    if (!place.passed_over.empty() && notice)
        notice("XDG_RUNTIME_DIR passed over, " + place.passed_over + "; the pipe goes into " + dir +
               " instead");
    if (place.private_tmp) {
        if (Result<void> private_dir = private_socket_dir(dir, true); !private_dir)
            return private_dir.failure();
    }
    sockaddr_un addr;
    if (!make_address(path, addr)) return Failure{"socket path too long: " + path};
    // Never blocking: two threads accept on it (the serving one, and the one that turns extra
    // clients away), and the one that loses a connection to the other must not wait in accept
    // for the next.
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Failure{std::string("socket: ") + std::strerror(errno)};
    std::string temporary;
    auto fail = [&](const std::string& why) -> Result<std::unique_ptr<PipeServer>> {
        ::close(fd);
        if (!temporary.empty()) ::unlink(temporary.c_str());
        return Failure{path + ": " + why};
    };
    // The name appears only once it is served: bound and listening under a name of its own in
    // the same private directory, then renamed into place, so that an ECR that connects as
    // soon as it sees the file is never refused.
    for (int attempt = 0; temporary.empty(); ++attempt) {
        std::string name = temporary_name(dir);
        sockaddr_un at;
        if (!make_address(name, at)) return fail("socket path too long");
        if (bind_private(fd, at)) {
            temporary = name;
        } else if (errno != EADDRINUSE || attempt == 8) {
            return fail(std::strerror(errno));
        }
    }
    struct stat bound {};
    if (::lstat(temporary.c_str(), &bound) != 0 || ::listen(fd, 10) != 0)
        return fail(std::strerror(errno));
    // Never over another file: a live server answers and keeps its name, a killed one left
    // its socket behind, and anything else is no socket of ours.
    {
        DirectoryTurn turn(dir);
        for (int attempt = 0;; ++attempt) {
            if (::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD, path.c_str(),
                            RENAME_NOREPLACE) == 0)
                break;
            if (errno != EEXIST || attempt == 8) return fail(std::strerror(errno));
            int probe = connect_to(path);
            if (probe >= 0) {
                ::close(probe);
                ListenerAnswer served = socket_listener(path);
                std::string by = served.listener && !served.listener->holders.seen.empty()
                                     ? " (" + holders_text(served.listener->holders.seen) + ")"
                                     : "";
                return fail("another server is listening" + by);
            }
            struct stat st {};
            if (::lstat(path.c_str(), &st) != 0) continue;  // gone meanwhile
            if (!S_ISSOCK(st.st_mode)) return fail("exists and is not a socket");
            ::unlink(path.c_str());
        }
    }
    std::unique_ptr<PipeServer> server(new PipeServer(fd, path, std::move(notice)));
    server->dev_ = bound.st_dev;
    server->ino_ = bound.st_ino;
    if (!server->start_turning_away()) return Failure{path + ": cannot start the connection guard"};
    return server;
}

bool PipeServer::start_turning_away() {
    if (::pipe2(wake_fds_, O_CLOEXEC | O_NONBLOCK) != 0) return false;
    try {
        turn_away_ = std::thread(&PipeServer::turn_away_loop, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

PipeServer::~PipeServer() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    wake();
    if (turn_away_.joinable()) turn_away_.join();
    disconnect();
    for (int fd : wake_fds_)
        if (fd >= 0) ::close(fd);
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        // Only the file this server bound: another server may have taken the name since.
        DirectoryTurn turn(path_.substr(0, path_.rfind('/')));
        struct stat st {};
        if (::lstat(path_.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_dev == dev_ &&
            st.st_ino == ino_)
            ::unlink(path_.c_str());
    }
}

void PipeServer::wake() {
    if (wake_fds_[1] < 0) return;
    char c = 1;
    [[maybe_unused]] ssize_t n = ::write(wake_fds_[1], &c, 1);
}

namespace {
// The connection is gone, or (with POLLRDHUP in `also`) its peer has stopped writing.
bool poll_says_gone(int fd, short also) {
    if (fd < 0) return true;
    pollfd p{fd, also, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & (also | POLLHUP | POLLERR | POLLNVAL)) != 0;
}
}  // namespace

bool PipeServer::client_closed() const {
    // Closed altogether: a client that only stopped writing still reads.
    return poll_says_gone(client_.load(), 0);
}

bool PipeServer::client_hung_up() const {
    return poll_says_gone(client_.load(), POLLRDHUP);
}

void PipeServer::turn_away_loop() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || (serving_ && !leave_queued_); });
            if (stopping_) return;
        }
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fds_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;  // EINTR; the state is checked again
        if (fds[1].revents != 0) {
            char drain[16];
            while (::read(wake_fds_[0], drain, sizeof drain) > 0) {
            }
            continue;
        }
        if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 ||
            (fds[0].revents & POLLIN) == 0) {
            // The listening socket was shut down: nothing more will arrive.
            std::unique_lock<std::mutex> lock(mutex_);
            changed_.wait(lock, [&] { return stopping_; });
            return;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        if (!serving_) continue;  // between clients: accept_client() takes it
        if (client_hung_up()) {
            leave_queued_ = true;  // the served client is leaving: this one is next
            continue;
        }
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);  // turned away unread: the pipe has one instance
        } else if (errno != EAGAIN && errno != EINTR && errno != ECONNABORTED) {
            // Out of descriptors, say: the connection stays queued; try again in a while
            // instead of spinning on it.
            pollfd wake{wake_fds_[0], POLLIN, 0};
            ::poll(&wake, 1, 100);
        }
    }
}

namespace {
// Conditions of the moment, not of the socket: the connection stays queued until it can be
// taken (ECONNABORTED: the client left before; the next one is taken at once).
bool passing_accept_failure(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM ||
           error == ECONNABORTED || error == EINTR;
}
}  // namespace

bool PipeServer::accept_client() {
    disconnect();
    for (;;) {
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                client_ = fd;
                serving_ = true;
                leave_queued_ = false;
            }
            changed_.notify_all();
            return true;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK) {
            // Nothing queued: wait for a connection. The shut-down wakes the poll with a hang-up.
            pollfd p{listen_fd_, POLLIN, 0};
            if (::poll(&p, 1, -1) < 0 && errno != EINTR) return false;
            if ((p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) return false;
            std::lock_guard<std::mutex> lock(mutex_);
            if (shut_down_) return false;
            continue;
        }
        if (!passing_accept_failure(error)) return false;
        if (error == EINTR || error == ECONNABORTED) continue;
        if (!told_short_ && notice_) {
            told_short_ = true;
            notice_(std::string("cannot take the ECR's connection (") + std::strerror(error) +
                    "): the process has run out of file descriptors or memory; waiting for "
                    "them to be free");
        }
        std::unique_lock<std::mutex> lock(mutex_);
        // Not spun on: the queued connection keeps the socket readable.
        if (changed_.wait_for(lock, std::chrono::milliseconds(100),
                              [&] { return shut_down_ || stopping_; }))
            return false;
    }
}

void PipeServer::disconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    serving_ = false;
    int fd = client_.exchange(no_pipe);
    if (fd >= 0) ::close(fd);
}

void PipeServer::shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        shut_down_ = true;
    }
    changed_.notify_all();
    ::shutdown(listen_fd_, SHUT_RDWR);
    int fd = client_.load();
    if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
    wake();
}

Result<std::unique_ptr<PipeClient>> PipeClient::connect(const std::string& pipe_name) {
    if (std::string why = pipe_name_problem(pipe_name); !why.empty()) return Failure{why};
    std::string dir = socket_dir();
    // A socket in a directory that someone else controls may be anybody's.
    if (Result<void> private_dir = private_socket_dir(dir, false); !private_dir)
        return private_dir.failure();
    std::string path = dir + "/" + pipe_name;
    int fd = connect_to(path);
    if (fd < 0) return Failure{path + ": " + std::strerror(errno)};
    return std::unique_ptr<PipeClient>(new PipeClient(fd));
}

PipeClient::~PipeClient() {
    ::close(fd_);
}

bool PipeClient::write_all(const void* data, size_t length) {
    return pipe_write_all(fd_, data, length);
}

PipeClient::Read PipeClient::read_byte(uint8_t& out, int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return Read::timeout;
    return pipe_read_byte(fd_, out) ? Read::byte : Read::closed;
}

}  // namespace tarvelo
