#include "platform/pipe_endpoint.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <thread>

#include "tests/platform/socket_hooks.h"
#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

class PipeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        saved_ = old ? old : "";
        had_ = old != nullptr;
        setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        if (had_)
            setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }
    test::TempDir dir_;
    std::string saved_;
    bool had_ = false;
};

TEST_F(PipeTest, PathFollowsTheRuntimeDirectoryElseAPrivateOneUnderTmp) {
    EXPECT_EQ(pipe_socket_path("kv2170"), dir_.file("kv2170"));
    const std::string fallback = "/tmp/tarvelo-" + std::to_string(geteuid()) + "/kv2170";
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(pipe_socket_path("kv2170"), fallback);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(pipe_socket_path("kv2170"), fallback);
}

TEST_F(PipeTest, TheFallbackDirectoryIsMadePrivateAndTheSocketLeavesWithTheServer) {
    unsetenv("XDG_RUNTIME_DIR");
    const std::string name = "pipe-test-" + std::to_string(getpid());
    const std::string path = pipe_socket_path(name);
    {
        auto created = PipeServer::create(name);
        ASSERT_TRUE(created) << created.error();
        struct stat st {};
        ASSERT_EQ(lstat(path.substr(0, path.rfind('/')).c_str(), &st), 0);
        EXPECT_TRUE(S_ISDIR(st.st_mode));
        EXPECT_EQ(st.st_mode & 0777, 0700u);
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        auto client = PipeClient::connect(name);
        EXPECT_TRUE(client) << client.error();
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

// Where any user could have made the directory first, it is used only when it is ours alone.
TEST_F(PipeTest, OnlyAPrivateDirectoryIsUsedForTheSocket) {
    const std::string made = dir_.file("made");
    EXPECT_FALSE(private_socket_dir(made, false));
    Result<void> made_private = private_socket_dir(made, true);
    ASSERT_TRUE(made_private) << made_private.error();
    struct stat st {};
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(private_socket_dir(made, true));  // already there: fine

    struct Case {
        const char* name;
        std::function<void(const std::string&)> make;
        const char* why;
    } cases[] = {
        {"link", [&](const std::string& p) { symlink(made.c_str(), p.c_str()); }, "is a link"},
        {"file", [](const std::string& p) { test::write_file(p, "x"); }, "not a directory"},
        {"open", [](const std::string& p) { mkdir(p.c_str(), 0700), chmod(p.c_str(), 0755); },
         "group or others"},
        {"group", [](const std::string& p) { mkdir(p.c_str(), 0700), chmod(p.c_str(), 0710); },
         "group or others"},
        {"others", [](const std::string& p) { mkdir(p.c_str(), 0700), chmod(p.c_str(), 0703); },
         "group or others"},
        {"foreign",
         [](const std::string& p) {
             mkdir(p.c_str(), 0700);
             if (chown(p.c_str(), 65534, 65534) != 0)
                 chmod(p.c_str(), 0777);  // not root: fail on mode
         },
         geteuid() == 0 ? "belongs to user 65534" : "group or others"},
    };
    for (const Case& c : cases) {
        std::string p = dir_.file(c.name);
        c.make(p);
        Result<void> used = private_socket_dir(p, true);
        EXPECT_FALSE(used) << c.name;
        EXPECT_NE(used.error().find(c.why), std::string::npos) << c.name << ": " << used.error();
    }
}

// The private directory under /tmp is anybody's to make first: one that another user made, or a
// link, is refused by the scale and by the ECR's side, even with an impostor listening in it.
// (As a throw-away user of its own, in a child process: /tmp/tarvelo-UID is per user.)
TEST_F(PipeTest, APrivateDirectoryUnderTmpMadeByAnotherIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to be another user";
    const uid_t user = 100000 + static_cast<uid_t>(getpid());
    const std::string fallback = "/tmp/tarvelo-" + std::to_string(user);
    const std::string target = dir_.file("target");
    int impostor = -1;
    ASSERT_EQ(mkdir(target.c_str(), 0700), 0);
    ASSERT_EQ(chown(target.c_str(), user, user), 0);
    struct Case {
        const char* name;
        std::function<void()> make;
        const char* why;
    } cases[] = {
        {"link", [&] { symlink(target.c_str(), fallback.c_str()); }, "is a link"},
        {"root's, open to all, an impostor in it",
         [&] {
             mkdir(fallback.c_str(), 0777);
             chmod(fallback.c_str(), 0777);
             impostor = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
             sockaddr_un addr{};
             addr.sun_family = AF_UNIX;
             std::strcpy(addr.sun_path, (fallback + "/ecr").c_str());
             bind(impostor, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
             chmod(addr.sun_path, 0777);
             listen(impostor, 1);
         },
         "belongs to user 0"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(fallback);
        c.make();
        pid_t child = fork();
        if (child == 0) {
            unsetenv("XDG_RUNTIME_DIR");
            if (setgroups(0, nullptr) != 0 || setresgid(user, user, user) != 0 ||
                setresuid(user, user, user) != 0)
                _exit(9);
            auto created = PipeServer::create("ecr");
            if (created) _exit(1);
            if (created.error().find(c.why) == std::string::npos) _exit(2);
            _exit(PipeClient::connect("ecr") ? 3 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status)) << c.name;
        const char* outcome[] = {"refused", "the scale used it", "refused for another reason",
                                 "the ECR's side used it"};
        const int code = WEXITSTATUS(status);
        EXPECT_EQ(code, 0) << c.name << ": "
                           << (code < 4 ? outcome[code] : "could not be the user");
    }
    close(impostor);
    std::filesystem::remove_all(fallback);
}

// A runtime directory that fails the same rule is passed over, with a word, for the private
// one under /tmp; the ECR's side looks there by the same rule. Nothing goes into the other.
TEST_F(PipeTest, ARuntimeDirectoryThatIsNotPrivateIsPassedOver) {
    const std::string name = "pipe-test-" + std::to_string(getpid());
    const std::string fallback = "/tmp/tarvelo-" + std::to_string(geteuid()) + "/" + name;
    struct Case {
        const char* dir;
        mode_t mode;
        const char* why;
    } cases[] = {{"everyone", 0777, "(mode 0777)"},
                 {"others", 0703, "(mode 0703)"},
                 {"group", 0770, "(mode 0770)"}};
    for (const Case& c : cases) {
        const std::string runtime = dir_.file(c.dir);
        ASSERT_EQ(mkdir(runtime.c_str(), 0700), 0);
        ASSERT_EQ(chmod(runtime.c_str(), c.mode), 0);
        test::ScopedEnv env("XDG_RUNTIME_DIR", runtime);
        EXPECT_EQ(pipe_socket_path(name), fallback) << c.dir;
        std::vector<std::string> notices;
        auto created =
            PipeServer::create(name, [&](const std::string& t) { notices.push_back(t); });
        ASSERT_TRUE(created) << c.dir << ": " << created.error();
        EXPECT_EQ((*created)->path(), fallback);
        ASSERT_EQ(notices.size(), 1u) << c.dir;
        EXPECT_NE(notices[0].find("XDG_RUNTIME_DIR passed over, " + runtime + ": "),
                  std::string::npos)
            << notices[0];
        EXPECT_NE(notices[0].find(c.why), std::string::npos) << notices[0];
        EXPECT_TRUE(PipeClient::connect(name)) << c.dir;
        EXPECT_TRUE(std::filesystem::is_empty(runtime)) << c.dir;
    }
}

TEST_F(PipeTest, NamesThatAreNotPlainFileNamesAreRefused) {
    ASSERT_EQ(mkdir(dir_.file("sub").c_str(), 0700), 0);
    // A NUL would make the socket under the name before it ("ecr").
    const std::vector<std::string> names{"sub/ecr", ".", "..", "sub/", "/ecr", {"ecr\0x", 5}};
    for (const std::string& name : names) {
        auto created = PipeServer::create(name);
        EXPECT_FALSE(created) << name;
        EXPECT_NE(created.error().find("invalid pipe name"), std::string::npos)
            << name << ": " << created.error();
        auto client = PipeClient::connect(name);
        EXPECT_FALSE(client) << name;
        EXPECT_NE(client.error().find("invalid pipe name"), std::string::npos)
            << name << ": " << client.error();
    }
    EXPECT_FALSE(std::filesystem::exists(dir_.file("sub/ecr")));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("ecr")));
}

// Even with a umask that would open it to all, the socket is never seen with another mode:
// no change of attributes is ever reported for any name it has had.
TEST_F(PipeTest, SocketIsBornPrivate) {
    int inotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(inotify, 0);
    ASSERT_GE(inotify_add_watch(inotify, dir_.path().c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB),
              0);
    mode_t old = umask(0);
    auto created = PipeServer::create("born");
    umask(old);
    ASSERT_TRUE(created) << created.error();
    struct stat st {};
    ASSERT_EQ(stat(dir_.file("born").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    alignas(inotify_event) char events[4096];
    ssize_t n = read(inotify, events, sizeof events);
    bool appeared = false;
    for (ssize_t at = 0; at < n;) {
        auto* e = reinterpret_cast<inotify_event*>(events + at);
        appeared = appeared || (std::string(e->name) == "born" && (e->mask & IN_MOVED_TO));
        EXPECT_FALSE(e->mask & IN_ATTRIB) << e->name << ": a mode changed after it appeared";
        at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
    EXPECT_TRUE(appeared);
    close(inotify);
}

// The moment the name appears an ECR may connect; it must find the server listening. Listening
// is caught as it happens (socket_hooks.cpp): the name must not be there yet.
TEST_F(PipeTest, TheNameAppearsOnlyOnceTheSocketListens) {
    bool named_before_listening = true;
    test::on_listen([&] { named_before_listening = std::filesystem::exists(dir_.file("ecr")); });
    test::fail_binds({EADDRINUSE});  // a temporary name that is taken is passed over for another
    auto created = PipeServer::create("ecr");
    test::on_listen(nullptr);
    ASSERT_TRUE(created) << created.error();
    EXPECT_FALSE(named_before_listening);
    EXPECT_TRUE(PipeClient::connect("ecr"));
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
        names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"ecr"}) << "the temporary name is left";
}

// A server that ends removes its own socket file, never one that another server bound since.
TEST_F(PipeTest, OnlyTheServersOwnSocketFileIsRemoved) {
    auto first = PipeServer::create("ecr");
    ASSERT_TRUE(first);
    ASSERT_EQ(unlink(dir_.file("ecr").c_str()), 0);
    auto second = PipeServer::create("ecr");
    ASSERT_TRUE(second) << second.error();
    first->reset();
    auto client = PipeClient::connect("ecr");
    EXPECT_TRUE(client) << client.error();
    second->reset();
    EXPECT_FALSE(std::filesystem::exists(dir_.file("ecr")));
}

TEST_F(PipeTest, SocketIsPrivateAndASecondServerIsRefused) {
    auto first = PipeServer::create("scale");
    ASSERT_TRUE(first) << first.error();
    struct stat st {};
    ASSERT_EQ(stat(dir_.file("scale").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    auto second = PipeServer::create("scale");
    EXPECT_FALSE(second);
    EXPECT_NE(second.error().find("another server"), std::string::npos) << second.error();
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir_.path()))
        names.push_back(e.path().filename());
    EXPECT_EQ(names, std::vector<std::string>{"scale"}) << "the refused one left its own name";
}

TEST_F(PipeTest, StaleSocketIsReplacedButOtherFilesAreNot) {
    // A socket file that nobody listens on, as a killed server leaves it.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = dir_.file("stale");
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    auto created = PipeServer::create("stale");
    EXPECT_TRUE(created) << created.error();

    test::write_file(dir_.file("plain"), "data");
    EXPECT_FALSE(PipeServer::create("plain"));
    EXPECT_EQ(test::read_file(dir_.file("plain")), "data");

    EXPECT_FALSE(PipeServer::create(std::string(200, 'n')));  // path too long
    EXPECT_FALSE(PipeServer::create(""));
}

// Two servers that find the same stale socket at once: the one that puts its socket there first
// keeps the name, and the other finds it listening. It never removes that socket as if it were
// the stale one, which would leave a scale that says it is ready with no name an ECR can reach.
TEST_F(PipeTest, ServersThatFindAStaleSocketAtOnceNeverRemoveEachOther) {
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, dir_.file("ecr").c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);

    Result<std::unique_ptr<PipeServer>> other = Failure{"not made"};
    std::atomic<int> tid{0};
    std::atomic<bool> done{false};
    std::thread racer;
    // The first server's probe of the stale socket has been refused: the other one comes now,
    // and goes as far as it can (through, or waiting for its turn).
    test::after_next_connect([&] {
        racer = std::thread([&] {
            tid = test::this_thread_tid();
            other = PipeServer::create("ecr");
            done = true;
        });
        test::wait_until([&] {
            return done.load() || (tid.load() != 0 && test::thread_blocked_in(tid, SYS_flock));
        });
    });
    auto first = PipeServer::create("ecr");
    racer.join();
    ASSERT_NE(static_cast<bool>(first), static_cast<bool>(other))
        << (first ? "both servers made the name" : first.error() + " / " + other.error());
    EXPECT_NE((first ? other : first).error().find("another server"), std::string::npos);
    EXPECT_TRUE(PipeClient::connect("ecr")) << "the server that holds the name lost its socket";
}

TEST_F(PipeTest, ServesClientsOneAfterAnother) {
    auto created = PipeServer::create("ecr");
    ASSERT_TRUE(created);
    PipeServer& server = **created;

    for (int round = 0; round < 3; ++round) {
        auto connected = PipeClient::connect("ecr");
        ASSERT_TRUE(connected) << connected.error();
        std::unique_ptr<PipeClient> client = connected.take();
        ASSERT_TRUE(server.accept_client());
        ASSERT_TRUE(client->write_all("\x04\x05", 2));
        uint8_t b = 0;
        ASSERT_TRUE(pipe_read_byte(server.client(), b));
        EXPECT_EQ(b, 0x04);
        ASSERT_TRUE(pipe_read_byte(server.client(), b));
        EXPECT_EQ(b, 0x05);
        ASSERT_TRUE(pipe_write_all(server.client(), "\x15", 1));
        ASSERT_EQ(client->read_byte(b, 1000), PipeClient::Read::byte);
        EXPECT_EQ(b, 0x15);
        EXPECT_EQ(client->read_byte(b, 10), PipeClient::Read::timeout);

        client.reset();  // the client leaves: the next read fails, writes do not kill us
        EXPECT_FALSE(pipe_read_byte(server.client(), b));
        pipe_write_all(server.client(), "\x06", 1);
        server.disconnect();
    }
}

TEST_F(PipeTest, ShutdownWakesABlockedAccept) {
    auto created = PipeServer::create("quiet");
    ASSERT_TRUE(created);
    std::atomic<int> tid{0};
    std::thread waiter([&] {
        tid = test::this_thread_tid();
        EXPECT_FALSE((*created)->accept_client());
    });
    // Woken only once it really waits for a connection: a shutdown that came first proves
    // nothing.
    const bool waiting = test::wait_until([&] {
        return test::thread_blocked_in(tid.load(), SYS_poll) ||
               test::thread_blocked_in(tid.load(), SYS_ppoll);
    });
    (*created)->shutdown();
    waiter.join();
    EXPECT_TRUE(waiting);
}

// A lack of descriptors or memory is a condition of the moment: the ECR's connection waits in
// the queue and is taken once it can be. The server says so once, never gives up its socket for
// it, and a shut-down still ends the wait.
TEST_F(PipeTest, AcceptWaitsOutALackOfDescriptors) {
    std::vector<std::string> notices;
    auto created = PipeServer::create("ecr", [&](const std::string& t) { notices.push_back(t); });
    ASSERT_TRUE(created) << created.error();
    PipeServer& server = **created;
    auto client = PipeClient::connect("ecr");
    ASSERT_TRUE(client) << client.error();
    test::fail_accepts({EMFILE, ENFILE, ENOBUFS, ENOMEM, ECONNABORTED, EINTR, EMFILE});
    EXPECT_TRUE(server.accept_client());
    EXPECT_EQ(test::fail_accepts({}), 8) << "each failure tried again, the last one served";
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_NE(notices[0].find(std::strerror(EMFILE)), std::string::npos) << notices[0];
    EXPECT_NE(notices[0].find("out of file descriptors"), std::string::npos) << notices[0];
    ASSERT_TRUE((*client)->write_all("\x05", 1));
    uint8_t b = 0;
    EXPECT_TRUE(pipe_read_byte(server.client(), b));
    EXPECT_EQ(b, 0x05);

    std::atomic<bool> waiting{false};
    auto second = PipeServer::create("other", [&](const std::string&) { waiting = true; });
    ASSERT_TRUE(second) << second.error();
    auto queued = PipeClient::connect("other");
    test::fail_accepts(std::vector<int>(100000, EMFILE));
    std::thread accepting([&] { EXPECT_FALSE((*second)->accept_client()); });
    ASSERT_TRUE(test::wait_until([&] { return waiting.load(); }));
    // Tried again now and then, not spun on (a busy machine only makes the tries fewer).
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_LE(test::fail_accepts(std::vector<int>(100000, EMFILE)), 6);
    (*second)->shutdown();
    accepting.join();
    test::fail_accepts({});
    EXPECT_TRUE(std::filesystem::exists(dir_.file("other")));
}

// The thread that turns extra clients away and the serving thread's accept may wake for one
// and the same connection. When the serving thread takes it first, the turn-away thread must not
// wait in its own accept for the next one: it would hold the server's lock there, so that the
// served client could not be let go, and then turn the next client away, an ECR that only
// reconnected after a reply.
TEST_F(PipeTest, TheTurnAwayThreadNeverWaitsForAConnection) {
    auto created = PipeServer::create("ecr");
    ASSERT_TRUE(created) << created.error();
    PipeServer& server = **created;
    auto first = PipeClient::connect("ecr");
    ASSERT_TRUE(first) << first.error();
    ASSERT_TRUE(server.accept_client());

    // The serving thread takes the next connection just before the turn-away thread's accept.
    std::atomic<int> taken{-1};
    test::on_nonblocking_accept([&](int listen_fd) {
        test::on_nonblocking_accept({});
        taken = test::real_accept(listen_fd);
    });
    auto second = PipeClient::connect("ecr");
    ASSERT_TRUE(second) << second.error();
    ASSERT_TRUE(test::wait_until([&] { return taken.load() >= 0; }));

    std::atomic<bool> let_go{false};
    std::thread serving([&] {
        server.disconnect();
        let_go = true;
    });
    EXPECT_TRUE(test::wait_until([&] { return let_go.load(); }, 2000))
        << "the served client could not be let go";
    std::unique_ptr<PipeClient> release;
    if (!let_go) release = PipeClient::connect("ecr").value_or(nullptr);  // ends the wait
    serving.join();
    ::close(taken);
}

TEST_F(PipeTest, ConnectingToNoServerFails) {
    auto client = PipeClient::connect("nobody");
    EXPECT_FALSE(client);
    EXPECT_NE(client.error().find("nobody"), std::string::npos);
}

}  // namespace
}  // namespace tarvelo
