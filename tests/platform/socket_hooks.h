#pragma once
// The test program's own listen() and accept4(), in front of the system's: a look at the
// moment a socket starts to listen, and accept failures on demand.

#include <functional>
#include <vector>

namespace tarvelo::test {

// Runs `hook` at every listen() of this program until it is set to nothing.
void on_listen(std::function<void()> hook);

// The next accept4() calls fail, one with each of these errors in turn, before any reaches the
// system; returns how many accept4() calls there were since the last call of this.
int fail_accepts(std::vector<int> errors);

// Runs `hook` with the listening socket at every accept4() that asks for a non-blocking
// connection (the turn-away thread's), before the call reaches the system, until it is set to
// nothing. The hook may take a queued connection itself with real_accept().
void on_nonblocking_accept(std::function<void(int listen_fd)> hook);
int real_accept(int listen_fd);

}  // namespace tarvelo::test
