#pragma once
// Whether this user may use a board's serial device, and if not, what a technician does about
// it: the facts are gathered from the file system and the user and group databases, and the
// advice is made from them alone (a pure function, tested by a table).

#include <sys/types.h>

#include <string>

namespace tarvelo {

struct DeviceAccess {
    std::string path;    // as the settings name it (after COMn is mapped)
    std::string target;  // where the links lead, when that differs from path
    int stat_error = 0;  // errno of stat(): 0 when the path leads somewhere
    bool link_dangles = false;
    mode_t mode = 0;  // type and permission bits
    dev_t rdev = 0;
    bool read_write = false;  // this process may open it for reading and writing
    uid_t owner = 0;
    std::string owner_name;
    gid_t group = 0;
    std::string group_name;
    std::string user_name;           // this process's user ("uid N" when it has no name)
    bool user_named = false;         // the user database knows the user
    bool owner_is_user = false;      // the device belongs to this process's user
    bool user_listed = false;        // the group database names the user as a member
    bool session_has_group = false;  // this process runs with the group
};

DeviceAccess device_access(const std::string& path);

// Empty when the device exists, is a character device and may be read and written; else what
// is wrong and what to do, in one sentence for a technician.
std::string device_access_problem(const DeviceAccess& access);

}  // namespace tarvelo
