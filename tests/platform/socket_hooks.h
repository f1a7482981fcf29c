#pragma once
// The test program's own listen(), accept4(), connect() and bind(), in front of the system's: a
// look at the moment a socket starts to listen or a connection attempt has had its answer, and
// accept and bind failures on demand.

#include <functional>
#include <vector>

namespace tarvelo::test {

// Runs `hook` at every listen() of this program until it is set to nothing.
void on_listen(std::function<void()> hook);

// The next accept4() calls fail, one with each of these errors in turn, before any reaches the
// system; returns how many accept4() calls there were since the last call of this.
int fail_accepts(std::vector<int> errors);

// Runs `hook` once, after the next connect() of this program has had its answer from the
// system and before its caller sees it.
void after_next_connect(std::function<void()> hook);

// The next bind() calls fail, one with each of these errors in turn.
void fail_binds(std::vector<int> errors);

// Runs `hook` with the listening socket at every accept4() that asks for a non-blocking
// connection (the turn-away thread's), before the call reaches the system, until it is set to
// nothing. The hook may take a queued connection itself with real_accept().
void on_nonblocking_accept(std::function<void(int listen_fd)> hook);
int real_accept(int listen_fd);

}  // namespace tarvelo::test
