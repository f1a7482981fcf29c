#include "client/pipe_link.h"

#include <poll.h>
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

#include "client/kestrin_protocol.h"

namespace kestrin {

namespace {

// A directory's name as a line on standard error may show it: it comes from the environment,
// and a control byte in it must neither end the line and forge the next one nor drive the
// terminal.
std::string shown(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string private_dir_problem(const std::string& path) {
    const std::string dir = shown(path);
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return dir + ": " + std::strerror(errno);
    if (S_ISLNK(st.st_mode)) return dir + ": is a link, not a private directory";
    if (!S_ISDIR(st.st_mode)) return dir + ": is not a directory";
    if (st.st_uid != ::geteuid())
        return dir + ": belongs to user " + std::to_string(st.st_uid) + ", not to this user";
    if ((st.st_mode & 077) != 0) return dir + ": is open to group or others; it must be 0700";
    return {};
}

std::string pipe_dir(std::string* passed_over) {
    const std::string fallback = "/tmp/tarvelo-" + std::to_string(::geteuid());
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!(runtime && runtime[0] == '/')) return fallback;
    std::string dir = runtime;
    if (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (std::string why = private_dir_problem(dir); !why.empty()) {
        if (passed_over) *passed_over = why;
        return fallback;
    }
    return dir;
}

std::string pipe_place_problem(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return "invalid pipe name '" + name +
               "': it must be a plain file name (no '/', not '.' or '..')";
    std::string passed_over;
    std::string dir = pipe_dir(&passed_over);
    static std::atomic<bool> told{false};
    if (!passed_over.empty() && !told.exchange(true))
        std::fprintf(stderr, "%s: XDG_RUNTIME_DIR passed over, %s; the pipe is looked for in %s\n",
                     program_invocation_short_name, passed_over.c_str(), shown(dir).c_str());
    return private_dir_problem(dir);
}

namespace {

int connect_to(const std::string& name, std::string* error) {
    if (std::string why = pipe_place_problem(name); !why.empty()) {
        if (error) *error = why;
        return -1;
    }
    std::string path = pipe_path(name);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        if (error) *error = "name too long";
        return -1;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (error) *error = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

// Reads and throws away whatever still arrives on a half-closed connection until the scale
// closes it, or until the wait runs out.
void await_release(int fd, int wait_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(wait_ms);
    char sink[256];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return;
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return;
        ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
    }
}

}  // namespace

std::unique_ptr<PipeLink> PipeLink::open(const std::string& name, std::string* error) {
    int fd = connect_to(name, error);
    if (fd < 0) return nullptr;
    return std::unique_ptr<PipeLink>(new PipeLink(name, fd));
}

PipeLink::~PipeLink() {
    if (fd_ >= 0) ::close(fd_);
    if (released_ >= 0) ::close(released_);
}

void PipeLink::drop() {
    if (fd_ < 0) return;
    // Half close: the scale reads that we left and closes its side once it is done with the
    // old request; only then is it ready for the next connection.
    ::shutdown(fd_, SHUT_WR);
    if (released_ >= 0) ::close(released_);
    released_ = fd_;
    fd_ = -1;
}

bool PipeLink::reconnect() {
    if (released_ >= 0) {
        await_release(released_, kReleaseWaitMs);
        ::close(released_);
        released_ = -1;
    }
    fd_ = connect_to(name_, &error_);
    return fd_ >= 0;
}

bool PipeLink::write(const std::string& bytes) {
    if (fd_ < 0 && !reconnect()) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? std::strerror(errno) : "nothing sent";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

Link::Read PipeLink::read_byte(char& out, int timeout_ms) {
    if (fd_ < 0) return Read::failed;
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return Read::timeout;
    if (r < 0) return Read::failed;
    ssize_t n;
    do {
        n = ::recv(fd_, &out, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? Read::byte : Read::failed;
}

}  // namespace kestrin
