#include "platform/serial_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace tarvelo {
namespace {

speed_t speed_for(int baud) {
    switch (baud) {
        case 1200:
            return B1200;
        case 2400:
            return B2400;
        case 4800:
            return B4800;
        case 9600:
            return B9600;
        case 19200:
            return B19200;
        case 38400:
            return B38400;
        case 57600:
            return B57600;
        case 115200:
            return B115200;
        default:
            return B0;
    }
}

tcflag_t size_flag(int bits) {
    switch (bits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

bool parity_flags(char parity, tcflag_t& flags) {
    switch (std::toupper(static_cast<unsigned char>(parity))) {
        case 'N':
            flags = 0;
            return true;
        case 'O':
            flags = PARENB | PARODD;
            return true;
        case 'E':
            flags = PARENB;
            return true;
        case 'M':
            flags = PARENB | PARODD | CMSPAR;
            return true;
        case 'S':
            flags = PARENB | CMSPAR;
            return true;
        default:
            return false;
    }
}

// Pseudo-terminal slaves live on majors 136..143 on Linux.
bool is_pty(int fd) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
    unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;
}

// The descriptors whose device flag this process set, for a process that ends without closing
// its ports (the board threads run to the very end): slots of plain atomics, so that the end
// may walk them from anywhere.
constexpr int kExclusiveSlots = 8;
std::atomic<int> g_exclusive[kExclusiveSlots] = {-1, -1, -1, -1, -1, -1, -1, -1};

void remember_exclusive(int fd) {
    for (auto& slot : g_exclusive) {
        int free = -1;
        if (slot.compare_exchange_strong(free, fd)) return;
    }
}

void forget_exclusive(int fd) {
    for (auto& slot : g_exclusive) {
        int mine = fd;
        if (slot.compare_exchange_strong(mine, -1)) return;
    }
}

}  // namespace

void release_serial_ports() {
    for (auto& slot : g_exclusive) {
        int fd = slot.exchange(-1);
        if (fd >= 0) ::ioctl(fd, TIOCNXCL);
    }
}

std::string serial_device_path(const std::string& name) {
    if (name.size() > 3 && (name[0] == 'C' || name[0] == 'c') &&
        (name[1] == 'O' || name[1] == 'o') && (name[2] == 'M' || name[2] == 'm')) {
        bool digits = true;
        for (size_t i = 3; i < name.size(); ++i)
            digits = digits && std::isdigit(static_cast<unsigned char>(name[i]));
        if (digits && name.size() <= 6) {
            int n = std::stoi(name.substr(3));
            if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
        }
    }
    return name;
}

Result<std::unique_ptr<SerialPort>> SerialPort::open(const std::string& name,
                                                     const LineSettings& settings) {
    std::string path = serial_device_path(name);
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Failure{path + ": " + std::strerror(errno)};
    // Not shared: later openers of the same device are refused, as the board owns the line.
    // TIOCEXCL does not stop root, the lock does: a second copy of the program never gets to
    // send its start-up commands to a board that another one is weighing with. The lock comes
    // first, so that a copy that is refused never touches the flag of the one that holds it.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        std::string why =
            errno == EWOULDBLOCK ? "device busy (held by another program)" : std::strerror(errno);
        ::close(fd);
        return Failure{path + ": " + why};
    }
    // The flag belongs to the device, not to this descriptor: on a pseudo-terminal whose other
    // end stays open it outlives our close, and would refuse the next start by a normal user.
    // Whoever set it clears it (~SerialPort); a flag that was there already is not ours.
    int already = 0;
    if (::ioctl(fd, TIOCGEXCL, &already) != 0) already = 0;
    const bool ours = already == 0 && ::ioctl(fd, TIOCEXCL) == 0;
    if (ours) remember_exclusive(fd);
    std::unique_ptr<SerialPort> port(new SerialPort(fd, path, ours));
    if (Result<void> applied = port->apply(settings); !applied)
        return Failure{path + ": " + applied.error(), true};
    return port;
}

LineOpener serial_port_opener() {
    return [](const std::string& name,
              const LineSettings& settings) -> Result<std::unique_ptr<SerialLine>> {
        Result<std::unique_ptr<SerialPort>> opened = SerialPort::open(name, settings);
        if (!opened) return opened.failure();
        return std::unique_ptr<SerialLine>(opened.take());
    };
}

SerialPort::~SerialPort() {
    if (fd_ < 0) return;
    if (exclusive_) {
        forget_exclusive(fd_);
        ::ioctl(fd_, TIOCNXCL);
    }
    ::close(fd_);
}

Result<void> SerialPort::apply(const LineSettings& settings) {
    speed_t speed = speed_for(settings.baud);
    tcflag_t parity = 0;
    auto fail = [](const std::string& why) -> Result<void> { return Failure{why}; };
    if (speed == B0) return fail("unsupported baud rate " + std::to_string(settings.baud));
    if (settings.data_bits < 5 || settings.data_bits > 8)
        return fail("unsupported data bits " + std::to_string(settings.data_bits));
    if (!parity_flags(settings.parity, parity))
        return fail(std::string("unsupported parity '") + settings.parity + "'");

    termios tio{};
    if (tcgetattr(fd_, &tio) != 0)
        return fail(std::string("not a serial device: ") + std::strerror(errno));
    // Raw bytes: every input and output translation and all flow control off, so that DC1,
    // DC2 and DC3 pass through as data and a DC3 from the board never blocks our writes.
    cfmakeraw(&tio);
    tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | ICRNL | ISTRIP | PARMRK | INPCK);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD | size_flag(settings.data_bits) | parity;
    if (settings.stop_bits == 2 || settings.stop_bits == 15) tio.c_cflag |= CSTOPB;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tcsetattr(fd_, TCSANOW, &tio);

    termios back{};
    if (tcgetattr(fd_, &back) != 0)
        return fail(std::string("cannot read line settings back: ") + std::strerror(errno));
    // A pty keeps eight data bits and no parity whatever it is told.
    tcflag_t mask = CSTOPB | CRTSCTS;
    if (!is_pty(fd_)) mask |= CSIZE | PARENB | PARODD | CMSPAR;
    if ((back.c_cflag & mask) != (tio.c_cflag & mask) || cfgetospeed(&back) != speed ||
        (back.c_iflag & (IXON | IXOFF)) != 0)
        return fail("the device did not take the line settings");
    return {};
}

ReadStatus SerialPort::read_byte(uint8_t& out) {
    ssize_t n = ::read(fd_, &out, 1);
    if (n == 1) return ReadStatus::byte;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
        if (errno == EIO || errno == ENODEV || errno == ENXIO || errno == EBADF)
            return ReadStatus::gone;
        return ReadStatus::error;
    }
    // An empty read is also what a hung-up line gives; only poll tells the two apart.
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)))
        return ReadStatus::gone;
    return ReadStatus::nothing;
}

void SerialPort::wait_for_input(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    ::poll(&p, 1, timeout_ms);  // an interruption only ends the wait early
}

bool SerialPort::write_all(const void* data, size_t length) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    int stalled_ms = 0;
    while (length > 0) {
        ssize_t n = ::write(fd_, bytes, length);
        if (n > 0) {
            bytes += n;
            length -= static_cast<size_t>(n);
            stalled_ms = 0;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (stalled_ms >= 5000) return false;
        pollfd p{fd_, POLLOUT, 0};
        ::poll(&p, 1, 100);
        stalled_ms += 100;
    }
    return true;
}

}  // namespace tarvelo
