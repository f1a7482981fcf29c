#include "platform/pseudo_terminal.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace tarvelo {

Result<std::unique_ptr<PseudoTerminal>> PseudoTerminal::create(const std::string& link_path) {
    auto fail = [](const std::string& why) -> Result<std::unique_ptr<PseudoTerminal>> {
        return Failure{why + ": " + std::strerror(errno)};
    };
    std::unique_ptr<PseudoTerminal> pty(new PseudoTerminal);
    pty->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty->master_ < 0) return fail("posix_openpt");
    if (grantpt(pty->master_) != 0 || unlockpt(pty->master_) != 0) return fail("unlockpt");
    char name[128];
    if (ptsname_r(pty->master_, name, sizeof name) != 0) return fail("ptsname");
    pty->slave_path_ = name;

    // Make the line raw before anyone opens it, so that nothing is echoed back to the board
    // in the moment between the driver's open and its own settings.
    int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slave < 0) return fail("open slave");
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    ::close(slave);

    if (!link_path.empty()) {
        struct stat st {};
        if (lstat(link_path.c_str(), &st) == 0) {
            if (!S_ISLNK(st.st_mode)) {
                errno = EEXIST;
                return fail(link_path + " exists and is not a symbolic link");
            }
            ::unlink(link_path.c_str());
        }
        if (::symlink(name, link_path.c_str()) != 0) return fail("symlink " + link_path);
        pty->link_path_ = link_path;
    }
    return pty;
}

PseudoTerminal::~PseudoTerminal() {
    // Only our own link: a terminal made since (a board that reappeared) may have taken the name.
    if (!link_path_.empty()) {
        char target[256];
        ssize_t n = ::readlink(link_path_.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<size_t>(n)) == slave_path_)
            ::unlink(link_path_.c_str());
    }
    if (master_ >= 0) ::close(master_);
}

ReadStatus PseudoTerminal::read_byte(uint8_t& out) {
    ssize_t n = ::read(master_, &out, 1);
    if (n == 1) return ReadStatus::byte;
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return ReadStatus::nothing;
    if (n < 0 && errno == EIO) return ReadStatus::gone;
    return n == 0 ? ReadStatus::nothing : ReadStatus::error;
}

bool PseudoTerminal::wait_readable(int timeout_ms) {
    pollfd p{master_, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

bool PseudoTerminal::write_all(const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    int stalled = 0;
    while (length > 0) {
        ssize_t n = ::write(master_, bytes, length);
        if (n > 0) {
            bytes += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return false;
        if (++stalled > 50) return false;  // nobody drains the line: give up after ~5 s
        pollfd p{master_, POLLOUT, 0};
        ::poll(&p, 1, 100);
    }
    return true;
}

}  // namespace tarvelo
