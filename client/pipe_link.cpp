#include "client/pipe_link.h"

#include <cerrno>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "client/kestrin_protocol.h"

namespace kestrin {

std::unique_ptr<PipeLink> PipeLink::open(const std::string& name, std::string* error) {
    std::string path = pipe_path(name);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        if (error) *error = "name too long";
        return nullptr;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (error) *error = std::strerror(errno);
        if (fd >= 0) ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<PipeLink>(new PipeLink(fd));
}

PipeLink::~PipeLink() { ::close(fd_); }

bool PipeLink::write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

Link::Read PipeLink::read_byte(char& out, int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, timeout_ms);
    } while (r < 0 && errno == EINTR);
    if (r == 0) return Read::timeout;
    ssize_t n;
    do {
        n = ::recv(fd_, &out, 1, 0);
    } while (n < 0 && errno == EINTR);
    return n == 1 ? Read::byte : Read::failed;
}

}  // namespace kestrin
