// The scale on a host that is not a developer's root shell: a shop's user, a runtime directory
// others could write to, descriptors that run out, names with control bytes.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <set>

#include "tests/e2e/scale_run.h"

namespace tarvelo::test {
namespace {

// A user that no one on this machine is: the scale gets no privilege from the test's root.
constexpr uid_t kShopUser = 64917;

// A shop's user starts, stops and starts the scale again on a board whose other end stays open
// (a simulator, a serial relay): the line must not stay locked to the run that has ended.
TEST(HostAsAUser, TheScaleStartsAgainOnTheSameBoard) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make a throw-away user";
    Scale first({.user = kShopUser});
    ASSERT_TRUE(first.ready()) << first.tarvelo->out() << first.tarvelo->err();
    first.tarvelo->stop();
    ASSERT_EQ(first.tarvelo->wait_exit(0), 0) << first.tarvelo->err();
    Scale again({.start_board = false, .serial_port = first.dir.file("board"), .user = kShopUser});
    EXPECT_TRUE(again.ready()) << again.tarvelo->out() << again.tarvelo->err();
}

// A runtime directory that anyone may write to is no place for the socket (another user could
// remove it or plant an impostor): the scale says so and uses its private directory under /tmp,
// where ecrctl, by the same rule, finds it.
TEST(SocketPlace, AnOpenRuntimeDirectoryIsPassedOver) {
    TempDir open;
    ASSERT_EQ(chmod(open.path().c_str(), 0777), 0);
    const std::string name = "e2e-open-" + std::to_string(getpid());
    const std::string fallback = "/tmp/tarvelo-" + std::to_string(geteuid()) + "/" + name;
    Scale s({.pipe_name = name, .env = {{"XDG_RUNTIME_DIR", open.path()}}});
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    EXPECT_NE(s.tarvelo->err().find("tarvelo: ECR pipe: XDG_RUNTIME_DIR passed over, " +
                                    open.path().string() + ": is open to group or others"),
              std::string::npos)
        << s.tarvelo->err();
    EXPECT_TRUE(std::filesystem::is_empty(open.path()));
    Process ecrctl(BIN_DIR "/ecrctl", {"--pipe", name, "status"}, s.dir.path(),
                   {{"XDG_RUNTIME_DIR", open.path()}}, s.dir.file("ecrctl"));
    EXPECT_EQ(ecrctl.wait_exit(5000), 0) << ecrctl.out() << ecrctl.err();
    EXPECT_NE(ecrctl.err().find("ecrctl: XDG_RUNTIME_DIR passed over"), std::string::npos)
        << ecrctl.err();
    s.tarvelo->stop();
    EXPECT_EQ(s.tarvelo->wait_exit(0), 0);
    EXPECT_FALSE(std::filesystem::exists(fallback));
}

// The lowest descriptor number that the process does not use.
int lowest_free_descriptor(pid_t pid) {
    std::set<int> used;
    for (const auto& e :
         std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        used.insert(std::stoi(e.path().filename()));
    int fd = 0;
    while (used.count(fd)) ++fd;
    return fd;
}

// Descriptors run out while the scale serves: the next ECR's connection waits until one is
// free, the scale says so once on standard error, and its ECR link lives on.
TEST(DescriptorsRunOut, TheEcrLinkWaitsAndLivesOn) {
    Scale s;
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    const pid_t pid = s.tarvelo->pid();
    // The first ECR is served on the lowest free number; with the limit there, no descriptor
    // is left once it has gone. (A blocked accept holds its number already: the limit must
    // come before the accept that is to fail.)
    const int lowest = lowest_free_descriptor(pid);
    setenv("XDG_RUNTIME_DIR", s.dir.path().c_str(), 1);
    ASSERT_EQ(s.exchange(STATUS), status_reply("00"));
    rlimit before{};
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, nullptr, &before), 0);
    rlimit none = before;
    none.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &none, nullptr), 0);
    s.client.reset();
    auto next = PipeClient::connect("ecr");
    ASSERT_TRUE(next) << next.error();
    ASSERT_TRUE((*next)->write_all(STATUS.data(), STATUS.size()));
    EXPECT_TRUE(s.tarvelo->wait_output("out of file descriptors", 10000, true)) << s.tarvelo->err();
    EXPECT_TRUE(std::filesystem::exists(s.dir.file("ecr")));
    ASSERT_EQ(prlimit(pid, RLIMIT_NOFILE, &before, nullptr), 0);
    std::string reply;
    uint8_t b;
    while (reply.size() < 7 && (*next)->read_byte(b, 5000) == PipeClient::Read::byte)
        reply.push_back(static_cast<char>(b));
    EXPECT_EQ(reply, status_reply("00"));
    const std::string err = s.tarvelo->err();
    EXPECT_EQ(err.find("out of file descriptors"), err.rfind("out of file descriptors"))
        << "said more than once:\n"
        << err;
}

// Too few descriptors to start at all: the scale says so and ends as a failed start-up before
// the toolkit, the board or the socket is touched (the toolkit would abort, or the scale start
// in part: without its checksum, without its ECR link).
TEST(DescriptorsRunOut, TooFewToStartIsAFailedStartUp) {
    Scale s({.wrap = "ulimit -n 12; exec \"$0\""});
    EXPECT_EQ(s.tarvelo->wait_exit(10000), 1) << s.tarvelo->err();
    EXPECT_NE(s.tarvelo->err().find("tarvelo: too few file descriptors left"), std::string::npos)
        << s.tarvelo->err();
    EXPECT_FALSE(std::filesystem::exists(s.dir.file("ecr")));
    EXPECT_EQ(s.board->out().find("rx:"), std::string::npos) << s.board->out();
}

}  // namespace
}  // namespace tarvelo::test
