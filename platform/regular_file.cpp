#include "platform/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstring>

namespace tarvelo {
namespace {

// Why a file of this mode is not read, in the words of whoever named it.
std::string not_regular(const std::string& path, mode_t mode) {
    const char* kind = S_ISDIR(mode)    ? "a directory"
                       : S_ISFIFO(mode) ? "a FIFO"
                       : S_ISCHR(mode)  ? "a character device"
                       : S_ISBLK(mode)  ? "a block device"
                       : S_ISSOCK(mode) ? "a socket"
                                        : "of another kind";
    return path + ": is " + kind + ", not a regular file";
}

}  // namespace

Result<int> open_regular_file(const std::string& path) {
    // Looked at before it is opened (opening a device has effects of its own), and again
    // after, in case the name was swapped in between.
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Failure{path + ": " + std::strerror(errno)};
    if (!S_ISREG(st.st_mode)) return Failure{not_regular(path, st.st_mode), true};
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Failure{path + ": " + std::strerror(errno)};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Failure{not_regular(path, st.st_mode), true};
    }
    return fd;
}

Result<std::string> read_regular_file(const std::string& path, size_t max_bytes) {
    Result<int> opened = open_regular_file(path);
    if (!opened) return opened.failure();
    const int fd = *opened;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || static_cast<unsigned long long>(st.st_size) > max_bytes) {
        ::close(fd);
        return Failure{path + ": larger than " + std::to_string(max_bytes) + " bytes", true};
    }
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
        if (content.size() + static_cast<size_t>(n) > max_bytes) {  // it grew while we read
            ::close(fd);
            return Failure{path + ": larger than " + std::to_string(max_bytes) + " bytes", true};
        }
        content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return content;
}

Result<FileStamp> regular_file_stamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return Failure{path + ": " + std::strerror(errno)};
    if (!S_ISREG(st.st_mode)) return Failure{not_regular(path, st.st_mode), true};
    return FileStamp{static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
                     static_cast<int64_t>(st.st_size),
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

}  // namespace tarvelo
