#include "platform/holders.h"

#include <dirent.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>

namespace tarvelo {
namespace {

std::string program_name(int pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "?" : name;
}

// Every other process with a descriptor for which `matches` holds (stat follows the
// descriptor's link to what it has open: the device node, or the socket itself).
Holders processes_holding(const std::function<bool(const struct stat&)>& matches) {
    Holders result;
    DIR* proc = ::opendir("/proc");
    if (!proc) return result;
    const int self = static_cast<int>(::getpid());
    while (dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == self) continue;
        const std::string fds = "/proc/" + std::to_string(pid) + "/fd";
        DIR* dir = ::opendir(fds.c_str());
        if (!dir) {
            if (errno == EACCES) ++result.hidden;
            continue;
        }
        while (dirent* fd = ::readdir(dir)) {
            if (fd->d_name[0] == '.') continue;
            struct stat st {};
            if (::stat((fds + "/" + fd->d_name).c_str(), &st) == 0 && matches(st)) {
                result.seen.push_back({static_cast<int>(pid), program_name(static_cast<int>(pid))});
                break;
            }
        }
        ::closedir(dir);
    }
    ::closedir(proc);
    return result;
}

// The kernel's table of listening Unix sockets: for each, the socket's own inode and the
// device and inode of the file it was bound to (a rename keeps them).
struct BoundListener {
    uint32_t socket_ino;
    uint32_t file_dev, file_ino;
};

bool listening_unix_sockets(std::vector<BoundListener>& out) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return false;
    struct {
        nlmsghdr header;
        unix_diag_req request;
    } ask{};
    ask.header.nlmsg_len = sizeof ask;
    ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.request.sdiag_family = AF_UNIX;
    ask.request.udiag_states = 1u << TCP_LISTEN;
    ask.request.udiag_show = UDIAG_SHOW_VFS;
    bool done = false, ok = ::send(fd, &ask, sizeof ask, 0) == static_cast<ssize_t>(sizeof ask);
    alignas(nlmsghdr) char buffer[16384];
    while (ok && !done) {
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            ok = false;
            break;
        }
        // Walked by hand: the kernel's macros mix signed and unsigned lengths.
        const size_t size = static_cast<size_t>(n);
        for (size_t at = 0; at + sizeof(nlmsghdr) <= size;) {
            const auto* h = reinterpret_cast<const nlmsghdr*>(buffer + at);
            if (h->nlmsg_len < sizeof(nlmsghdr) || at + h->nlmsg_len > size) break;
            at += NLMSG_ALIGN(h->nlmsg_len);
            if (h->nlmsg_type == NLMSG_DONE) {
                done = true;
                break;
            }
            if (h->nlmsg_type == NLMSG_ERROR) {
                ok = false;
                break;
            }
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(unix_diag_msg))) continue;
            const auto* message = static_cast<const unix_diag_msg*>(NLMSG_DATA(h));
            const char* attributes = reinterpret_cast<const char*>(message + 1);
            const char* end = reinterpret_cast<const char*>(h) + h->nlmsg_len;
            while (attributes + sizeof(rtattr) <= end) {
                const auto* a = reinterpret_cast<const rtattr*>(attributes);
                if (a->rta_len < sizeof(rtattr) || attributes + a->rta_len > end) break;
                if (a->rta_type == UNIX_DIAG_VFS &&
                    a->rta_len >= RTA_LENGTH(sizeof(unix_diag_vfs))) {
                    unix_diag_vfs file;
                    std::memcpy(&file, RTA_DATA(a), sizeof file);
                    out.push_back({message->udiag_ino, file.udiag_vfs_dev, file.udiag_vfs_ino});
                }
                attributes += RTA_ALIGN(a->rta_len);
            }
        }
    }
    ::close(fd);
    return ok && done;
}

}  // namespace

Holders device_holders(dev_t rdev) {
    return processes_holding(
        [rdev](const struct stat& st) { return S_ISCHR(st.st_mode) && st.st_rdev == rdev; });
}

std::string holders_text(const std::vector<Holder>& holders) {
    std::string text;
    for (const Holder& h : holders)
        text += (text.empty() ? "" : ", ") + h.name + " (pid " + std::to_string(h.pid) + ")";
    return text;
}

ListenerAnswer socket_listener(const std::string& path) {
    ListenerAnswer answer;
    struct stat file {};
    std::vector<BoundListener> listeners;
    if (!listening_unix_sockets(listeners)) return answer;
    answer.asked = true;
    if (::lstat(path.c_str(), &file) != 0 || !S_ISSOCK(file.st_mode)) return answer;
    // The table's device field is documented in no particular encoding: it is compared in the
    // one stat uses and in the kernel's internal one (major << 20 | minor).
    const uint32_t kernel_dev = (major(file.st_dev) << 20) | minor(file.st_dev);
    for (const BoundListener& l : listeners) {
        if (l.file_ino != file.st_ino || (l.file_dev != file.st_dev && l.file_dev != kernel_dev))
            continue;
        const uint32_t socket_ino = l.socket_ino;
        answer.listener = SocketListener{processes_holding([socket_ino](const struct stat& st) {
            return S_ISSOCK(st.st_mode) && st.st_ino == socket_ino;
        })};
        break;
    }
    return answer;
}

}  // namespace tarvelo
