#include "platform/device_access.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <vector>

namespace tarvelo {
namespace {

std::string user_name(uid_t uid) {
    const passwd* pw = ::getpwuid(uid);
    return pw ? pw->pw_name : "uid " + std::to_string(uid);
}

std::string group_name(gid_t gid) {
    const group* gr = ::getgrgid(gid);
    return gr ? gr->gr_name : "gid " + std::to_string(gid);
}

bool session_has(gid_t gid) {
    if (::getegid() == gid) return true;
    int n = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(n > 0 ? static_cast<size_t>(n) : 0);
    n = ::getgroups(n, groups.data());
    for (int i = 0; i < n; ++i)
        if (groups[static_cast<size_t>(i)] == gid) return true;
    return false;
}

// What the group database says now, which is what the next login will get.
bool listed_in(uid_t uid, gid_t gid) {
    const passwd* pw = ::getpwuid(uid);
    if (!pw) return false;
    if (pw->pw_gid == gid) return true;
    int n = 64;
    std::vector<gid_t> groups(static_cast<size_t>(n));
    if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<size_t>(n));
        if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0) return false;
    }
    for (int i = 0; i < n; ++i)
        if (groups[static_cast<size_t>(i)] == gid) return true;
    return false;
}

std::string mode_text(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

std::string kind_text(mode_t mode) {
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a device";
}

}  // namespace

DeviceAccess device_access(const std::string& path) {
    DeviceAccess a;
    a.path = path;
    const uid_t uid = ::geteuid();
    a.user_name = user_name(uid);
    a.user_named = ::getpwuid(uid) != nullptr;
    std::error_code error;
    std::filesystem::path target = std::filesystem::canonical(path, error);
    if (!error && target.string() != path) a.target = target.string();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        a.stat_error = errno;
        struct stat link {};
        a.link_dangles =
            a.stat_error == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode);
        if (a.link_dangles) {
            char to[4096];
            ssize_t n = ::readlink(path.c_str(), to, sizeof to - 1);
            if (n > 0) a.target.assign(to, static_cast<size_t>(n));
        }
        return a;
    }
    a.mode = st.st_mode;
    a.rdev = st.st_rdev;
    a.owner = st.st_uid;
    a.owner_name = user_name(st.st_uid);
    a.group = st.st_gid;
    a.group_name = group_name(st.st_gid);
    // The effective ids decide, as they do at open; ACLs are taken into account as well.
    a.read_write = ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) == 0;
    a.owner_is_user = st.st_uid == uid;
    a.user_listed = listed_in(uid, st.st_gid);
    a.session_has_group = session_has(st.st_gid);
    return a;
}

std::string device_access_problem(const DeviceAccess& a) {
    std::string named = a.path;
    if (!a.target.empty())
        named += std::string(a.link_dangles ? " (a link to " : " (") + a.target + ")";
    if (a.stat_error == ENOENT) {
        if (a.link_dangles)
            return named +
                   " does not exist: the adapter is unplugged or has another name now; "
                   "ls -l /dev/serial/by-id/ lists the boards that are there";
        if (a.path.rfind("/dev/ttyS", 0) == 0)
            return named +
                   " does not exist: this PC has no such serial port (COM1 is /dev/ttyS0); "
                   "ls /dev/ttyS* /dev/serial/by-id/ lists the ports";
        return named +
               " does not exist: is the board's adapter plugged in? ls -l /dev/serial/by-id/ lists "
               "the boards' stable names";
    }
    if (a.stat_error != 0) return named + ": " + std::strerror(a.stat_error);
    if (!S_ISCHR(a.mode))
        return named + " is " + kind_text(a.mode) +
               ", not a character device: serial_port must name the board's serial device";
    if (a.read_write) return {};

    std::string problem = named + ": Permission denied for user " + a.user_name + " (owner " +
                          a.owner_name + ", group " + a.group_name + ", mode " + mode_text(a.mode) +
                          ")";
    if (a.owner_is_user)
        return problem + ": the owner itself may not read and write it; chmod u+rw " + a.path;
    if ((a.mode & 060) != 060)
        return problem + ": only its owner may read and write it; a udev rule must give it to a " +
               "group such as dialout";
    if (a.session_has_group)
        return problem + ": the user is in group " + a.group_name +
               ", yet an access list refuses it (getfacl " + a.path + ")";
    if (a.user_listed)
        return problem + ": the user was added to group " + a.group_name +
               " after this session began: log in again after usermod";
    return problem + ": the user is not in group " + a.group_name + "; as root: usermod -aG " +
           a.group_name + " " + (a.user_named ? a.user_name : "USER") +
           ", then log in again after usermod";
}

}  // namespace tarvelo
