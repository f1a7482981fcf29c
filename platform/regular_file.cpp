#include "platform/regular_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tarvelo {

Result<int> open_regular_file(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Failure{path + ": " + std::strerror(errno)};
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Failure{path + ": not a regular file", true};
    }
    return fd;
}

Result<std::string> read_regular_file(const std::string& path) {
    Result<int> opened = open_regular_file(path);
    if (!opened) return opened.failure();
    const int fd = *opened;
    std::string content;
    char buffer[8192];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            Failure failed{path + ": " + std::strerror(errno), true};
            ::close(fd);
            return failed;
        }
        if (n == 0) break;
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return content;
}

}  // namespace tarvelo
