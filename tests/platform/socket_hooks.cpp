#include "tests/platform/socket_hooks.h"

#include <dlfcn.h>
#include <sys/socket.h>

#include <cerrno>
#include <deque>
#include <mutex>

namespace tarvelo::test {
namespace {
std::mutex g_mutex;
std::function<void()> g_listen_hook;
std::deque<int> g_accept_errors;
int g_accepts = 0;
std::function<void()> g_connect_hook;
std::deque<int> g_bind_errors;
std::function<void(int)> g_nonblocking_accept_hook;

using Accept4 = int (*)(int, sockaddr*, socklen_t*, int);
Accept4 system_accept4() {
    static Accept4 real = reinterpret_cast<Accept4>(::dlsym(RTLD_NEXT, "accept4"));
    return real;
}
}  // namespace

void on_nonblocking_accept(std::function<void(int listen_fd)> hook) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_nonblocking_accept_hook = std::move(hook);
}

int real_accept(int listen_fd) {
    return system_accept4()(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
}

void on_listen(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_listen_hook = std::move(hook);
}

int fail_accepts(std::vector<int> errors) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_accept_errors.assign(errors.begin(), errors.end());
    int calls = g_accepts;
    g_accepts = 0;
    return calls;
}

void after_next_connect(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_connect_hook = std::move(hook);
}

void fail_binds(std::vector<int> errors) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_bind_errors.assign(errors.begin(), errors.end());
}

}  // namespace tarvelo::test

namespace hooks = tarvelo::test;

// Found before the C library's by every caller in this program.
extern "C" int listen(int fd, int backlog) {
    {
        std::lock_guard<std::mutex> lock(hooks::g_mutex);
        if (hooks::g_listen_hook) hooks::g_listen_hook();
    }
    using Listen = int (*)(int, int);
    static Listen real = reinterpret_cast<Listen>(::dlsym(RTLD_NEXT, "listen"));
    return real(fd, backlog);
}

extern "C" int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    std::function<void(int)> hook;
    {
        std::lock_guard<std::mutex> lock(hooks::g_mutex);
        ++hooks::g_accepts;
        if (!hooks::g_accept_errors.empty()) {
            errno = hooks::g_accept_errors.front();
            hooks::g_accept_errors.pop_front();
            return -1;
        }
        if ((flags & SOCK_NONBLOCK) != 0) hook = hooks::g_nonblocking_accept_hook;
    }
    if (hook) hook(fd);
    return hooks::system_accept4()(fd, address, length, flags);
}

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    using Connect = int (*)(int, const sockaddr*, socklen_t);
    static Connect real = reinterpret_cast<Connect>(::dlsym(RTLD_NEXT, "connect"));
    int result = real(fd, address, length);
    int saved = errno;
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(hooks::g_mutex);
        hook = std::move(hooks::g_connect_hook);
        hooks::g_connect_hook = nullptr;
    }
    if (hook) hook();  // unlocked: the hook may connect too
    errno = saved;
    return result;
}

extern "C" int bind(int fd, const sockaddr* address, socklen_t length) {
    {
        std::lock_guard<std::mutex> lock(hooks::g_mutex);
        if (!hooks::g_bind_errors.empty()) {
            errno = hooks::g_bind_errors.front();
            hooks::g_bind_errors.pop_front();
            return -1;
        }
    }
    using Bind = int (*)(int, const sockaddr*, socklen_t);
    static Bind real = reinterpret_cast<Bind>(::dlsym(RTLD_NEXT, "bind"));
    return real(fd, address, length);
}
