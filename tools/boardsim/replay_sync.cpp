#include "tools/boardsim/replay_sync.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace tarvelo::sim {

std::unique_ptr<ReplaySync> ReplaySync::listen(const std::string& path, std::string* error) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        *error = "--sync: the socket's path must have 1 to " +
                 std::to_string(sizeof addr.sun_path - 1) + " bytes";
        return nullptr;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = "--sync: " + path + " exists and is no socket";
            return nullptr;
        }
        ::unlink(path.c_str());
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("--sync: socket: ") + std::strerror(errno);
        return nullptr;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    mode_t old = ::umask(077);
    int bound = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::umask(old);
    if (bound != 0 || ::listen(fd, 1) != 0) {
        *error = "--sync: " + path + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<ReplaySync>(new ReplaySync(fd, path));
}

ReplaySync::~ReplaySync() {
    if (peer_ >= 0) ::close(peer_);
    ::close(listen_);
    ::unlink(path_.c_str());
}

void ReplaySync::poll() {
    if (peer_ < 0 && !gone_) {
        peer_ = ::accept4(listen_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (peer_ < 0) return;
    }
    if (peer_ < 0) return;
    char buf[256];
    for (;;) {
        ssize_t n = ::read(peer_, buf, sizeof buf);
        if (n > 0) {
            pending_.append(buf, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        ::close(peer_);
        peer_ = -1;
        gone_ = true;
        break;
    }
    size_t eol;
    while ((eol = pending_.find('\n')) != std::string::npos) {
        std::string line = pending_.substr(0, eol);
        pending_.erase(0, eol + 1);
        if (line.rfind("at ", 0) == 0) {
            char* end = nullptr;
            long long t = std::strtoll(line.c_str() + 3, &end, 10);
            if (end && *end == '\0' && t > at_) at_ = t;
        }
    }
}

void ReplaySync::go(int64_t us) {
    if (peer_ < 0) return;
    std::string line = "go " + std::to_string(us) + "\n";
    // A short line on a local socket whose reader keeps up: it goes whole or the peer is gone.
    if (::send(peer_, line.data(), line.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(line.size())) {
        ::close(peer_);
        peer_ = -1;
        gone_ = true;
    }
}

}  // namespace tarvelo::sim
