// The advice for a board device the scale cannot use, made from the facts alone; and the
// kernel's answer to whether a socket file is served, asked without connecting to it.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

#include "platform/device_access.h"
#include "platform/holders.h"
#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

DeviceAccess serial_device(mode_t permissions) {
    DeviceAccess a;
    a.path = "/dev/ttyUSB0";
    a.mode = S_IFCHR | permissions;
    a.rdev = makedev(188, 0);
    a.owner_name = "root";
    a.group = 20;
    a.group_name = "dialout";
    a.user_name = "shop";
    a.user_named = true;
    return a;
}

TEST(DeviceAccessProblem, SaysWhatIsWrongAndWhatToDo) {
    struct Case {
        const char* what;
        DeviceAccess access;
        std::string says;  // empty: nothing wrong
    };
    DeviceAccess usable = serial_device(0660), missing, dangling, no_com, directory,
                 not_in_group = serial_device(0660), added_later = serial_device(0660),
                 owner_only = serial_device(0600), refused_by_acl = serial_device(0660),
                 nameless = serial_device(0660);
    usable.read_write = true;
    missing.path = "/dev/serial/by-id/usb-board";
    missing.stat_error = ENOENT;
    dangling = missing;
    dangling.link_dangles = true;
    dangling.target = "../../ttyUSB3";
    no_com.path = "/dev/ttyS3";
    no_com.stat_error = ENOENT;
    directory.path = "/dev/serial";
    directory.mode = S_IFDIR | 0755;
    added_later.user_listed = true;
    refused_by_acl.session_has_group = true;
    nameless.user_name = "uid 64918";
    nameless.user_named = false;
    const std::string denied =
        "/dev/ttyUSB0: Permission denied for user shop (owner root, group dialout, mode 0660): ";
    const Case cases[] = {
        {"usable", usable, ""},
        {"missing", missing,
         "/dev/serial/by-id/usb-board does not exist: is the board's adapter plugged in? ls -l "
         "/dev/serial/by-id/ lists the boards' stable names"},
        {"dangling link", dangling,
         "/dev/serial/by-id/usb-board (a link to ../../ttyUSB3) does not exist: the adapter is "
         "unplugged or has another name now; ls -l /dev/serial/by-id/ lists the boards that are "
         "there"},
        {"no such COM port", no_com,
         "/dev/ttyS3 does not exist: this PC has no such serial port (COM1 is /dev/ttyS0); ls "
         "/dev/ttyS* /dev/serial/by-id/ lists the ports"},
        {"directory", directory,
         "/dev/serial is a directory, not a character device: serial_port must name the board's "
         "serial device"},
        {"not in the group", not_in_group,
         denied + "the user is not in group dialout; as root: usermod -aG dialout shop, then log "
                  "in again after usermod"},
        {"added after login", added_later,
         denied + "the user was added to group dialout after this session began: log in again "
                  "after usermod"},
        {"owner only", owner_only,
         "/dev/ttyUSB0: Permission denied for user shop (owner root, group dialout, mode 0600): "
         "only its owner may read and write it; a udev rule must give it to a group such as "
         "dialout"},
        {"access list", refused_by_acl,
         denied + "the user is in group dialout, yet an access list refuses it (getfacl "
                  "/dev/ttyUSB0)"},
        {"user without a name", nameless,
         "/dev/ttyUSB0: Permission denied for user uid 64918 (owner root, group dialout, mode "
         "0660): the user is not in group dialout; as root: usermod -aG dialout USER, then log "
         "in again after usermod"},
    };
    for (const Case& c : cases) EXPECT_EQ(device_access_problem(c.access), c.says) << c.what;
}

// The scale binds its socket under a name of its own and renames it into place: the kernel's
// table still knows which file it listens on. A socket file whose server has gone, and a file
// that is no socket, are not served.
TEST(SocketListener, FindsTheServerOfARenamedSocketFile) {
    test::TempDir dir;
    const std::string bound = dir.file(".bound"), path = dir.file("ecr");
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, bound.c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 1), 0);
    ASSERT_EQ(::rename(bound.c_str(), path.c_str()), 0);

    ListenerAnswer served = socket_listener(path);
    if (!served.asked) GTEST_SKIP() << "the kernel's socket table cannot be read here";
    EXPECT_TRUE(served.listener.has_value());
    ::close(fd);
    EXPECT_FALSE(socket_listener(path).listener.has_value());
    std::ofstream(dir.file("plain")) << "x";
    EXPECT_FALSE(socket_listener(dir.file("plain")).listener.has_value());
    EXPECT_FALSE(socket_listener(dir.file("none")).listener.has_value());
}

}  // namespace
}  // namespace tarvelo
