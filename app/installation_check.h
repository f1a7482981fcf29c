#pragma once
// tarvelo --check: the installation as the scale would find it, in a few seconds and without a
// window. One line per check, "ok" or "FAIL" with what to do about it:
//   settings      which tarvelo.ini is read, and why the places before it were passed over
//   board device  the board's device exists, is a character device, and this user may read
//                 and write it (if not: its group, whether the user is in it)
//   board open    no other program holds it; opened, locked and set as the scale opens it
//   board frames  weight frames of the configured board type arrive within 2 s (or the other
//                 type's do instead)
//   scale library checksum
//   ECR socket    where the socket would go, and whether a scale already serves it
// A board that another program holds is never opened, let alone written to; a socket is never
// connected to. To a free board the check sends what the driver of the board type sends to
// switch its weight stream on, and afterwards what that driver sends to pause it: nothing
// that zeroes, tares or otherwise changes the board.

#include <functional>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace tarvelo::app {

// Runs every check on the settings found in `settings_places`, writing each line through
// `line` as it is known. 0 when every check passed, else 1.
int check_installation(const std::vector<std::string>& settings_places,
                       const std::function<void(const std::string&)>& line,
                       Clock& clock = system_clock());

// What the board device check says about the port named `port_name` (COMn or a path): for the
// scale's own start-up, when the board did not open. Empty when it finds nothing wrong.
std::string board_open_hint(const std::string& port_name);

}  // namespace tarvelo::app
