#pragma once
// Who holds a board's device or an ECR socket: asked of the kernel without opening, locking or
// connecting to either, so that a scale that is running is never disturbed by the asking.
// A process of another user is seen only by root: /proc shows a process's descriptors to its
// own user alone.

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace tarvelo {

struct Holder {
    int pid = 0;
    std::string name;  // the program's name as the kernel keeps it (/proc/PID/comm)
};

struct Holders {
    std::vector<Holder> seen;
    int hidden = 0;  // processes whose descriptors this user may not look at
};

// The other processes that have the character device `rdev` open.
Holders device_holders(dev_t rdev);

// "tarvelo (pid 812), minicom (pid 990)".
std::string holders_text(const std::vector<Holder>& holders);

// A socket file that a listening socket is bound to, and the processes that hold that socket.
struct SocketListener {
    Holders holders;
};
// The listener bound to the socket file at `path`; empty when no socket listens there (none
// was ever bound to this file, or its server has ended and left the file behind). Fails only
// when the kernel could not be asked.
struct ListenerAnswer {
    bool asked = false;  // false: the kernel's socket table could not be read
    std::optional<SocketListener> listener;
};
ListenerAnswer socket_listener(const std::string& path);

}  // namespace tarvelo
