#include "tests/client/client_fakes.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "client/ecrctl_session.h"
#include "client/kestrin_protocol.h"

namespace kestrin::test {

ScriptedScale::ScriptedScale(const std::string& name, std::vector<Step> steps, bool one_at_a_time)
    : path_(pipe_path(name)),
      steps_(std::move(steps)),
      done_(steps_.size(), false),
      one_at_a_time_(one_at_a_time) {
    ::unlink(path_.c_str());
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
    listen_fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 8) != 0 || ::pipe(wake_) != 0)
        std::abort();
    acceptor_ = std::thread([this] { accept_loop(); });
}

ScriptedScale::~ScriptedScale() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
    }
    changed_.notify_all();
    char b = 0;
    if (::write(wake_[1], &b, 1) != 1) std::abort();
    acceptor_.join();
    for (std::thread& t : threads_) t.join();
    for (int fd : fds_) ::close(fd);
    ::close(listen_fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
    ::unlink(path_.c_str());
}

std::vector<std::string> ScriptedScale::requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

int ScriptedScale::connections() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(fds_.size());
}

int ScriptedScale::turned_away() {
    std::lock_guard<std::mutex> lock(mutex_);
    return turned_away_;
}

int ScriptedScale::half_closes() {
    std::lock_guard<std::mutex> lock(mutex_);
    return half_closes_;
}

void ScriptedScale::release() {
    std::unique_lock<std::mutex> lock(mutex_);
    released_ = true;
    changed_.notify_all();
    changed_.wait_for(lock, std::chrono::seconds(5), [&] {
        for (size_t i = 0; i < next_; ++i)
            if (steps_[i].held && !done_[i]) return false;
        return true;
    });
}

void ScriptedScale::accept_loop() {
    for (;;) {
        pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 || p[1].revents) return;
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        ++knocks_;
        changed_.notify_all();
        if (one_at_a_time_ && serving_) {
            ++turned_away_;
            ::close(fd);
            continue;
        }
        serving_ = true;
        if (stopping_) ::shutdown(fd, SHUT_RDWR);
        fds_.push_back(fd);
        threads_.emplace_back([this, fd] { serve(fd); });
    }
}

void ScriptedScale::serve(int fd) {
    for (;;) {
        std::string request;
        char b;
        while (::recv(fd, &b, 1, 0) == 1) {
            request.push_back(b);
            if (b == 0x03 || b == 0x05 || b == 0x11 || b == 0x12) break;
        }
        if (request.empty()) {
            // The client has gone; a half close leaves its side open (no hang-up yet).
            pollfd p{fd, POLLIN, 0};
            bool half = ::poll(&p, 1, 0) >= 0 && (p.revents & POLLHUP) == 0;
            std::lock_guard<std::mutex> lock(mutex_);
            if (half) ++half_closes_;
            break;
        }
        std::unique_lock<std::mutex> lock(mutex_);
        requests_.push_back(request);
        if (next_ >= steps_.size()) continue;
        const size_t index = next_++;
        const Step step = steps_[index];
        if (step.held) changed_.wait(lock, [&] { return released_ || stopping_; });
        if (step.busy_ms > 0) {
            const int knocks = knocks_;
            changed_.wait_for(lock, std::chrono::milliseconds(step.busy_ms),
                              [&] { return knocks_ > knocks || stopping_; });
        }
        lock.unlock();
        if (!step.reply.empty()) ::send(fd, step.reply.data(), step.reply.size(), MSG_NOSIGNAL);
        lock.lock();
        done_[index] = true;
        changed_.notify_all();
        if (step.close) break;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        serving_ = false;  // before the client can see the close and knock again
    }
    ::shutdown(fd, SHUT_RDWR);  // closed in the destructor, so that the number is not reused
}

FakeLink::FakeLink(std::vector<FakeReply> replies, FakeReply otherwise)
    : replies_(replies.begin(), replies.end()), otherwise_(std::move(otherwise)) {}

bool FakeLink::write(const std::string& bytes) {
    sent += bytes;
    FakeReply r = otherwise_;
    if (!replies_.empty()) {
        r = replies_.front();
        replies_.pop_front();
    }
    pending_ = r.bytes;
    closes_ = r.closes;
    return true;
}

Link::Read FakeLink::read_byte(char& out, int timeout_ms) {
    if (pending_.empty()) {
        if (closes_) return Read::failed;
        clock_ms += timeout_ms;
        return Read::timeout;
    }
    if (ms_per_byte > timeout_ms) {
        clock_ms += timeout_ms;
        return Read::timeout;
    }
    clock_ms += ms_per_byte;
    out = pending_[0];
    pending_.erase(0, 1);
    return Read::byte;
}

EcrctlRun run_ecrctl(const std::vector<std::string>& args, std::vector<FakeReply> replies,
                     const std::string& script, int ms_per_byte) {
    EcrctlRun run;
    FakeLink link(std::move(replies));
    link.ms_per_byte = ms_per_byte;
    EcrctlEnv env;
    env.connect = [&](const std::string& pipe, std::string*) -> std::unique_ptr<Link> {
        ++run.connects;
        run.pipe = pipe;
        return std::make_unique<BorrowedLink>(link);
    };
    env.now = [&] { return link.now(); };
    env.sleep = [](int) {};
    std::istringstream in(script);
    std::ostringstream out, err;
    run.exit_code = ecrctl_main(args, in, out, err, env);
    run.sent = link.sent;
    run.drops = link.drops;
    run.out = out.str();
    run.err = err.str();
    return run;
}

}  // namespace kestrin::test
