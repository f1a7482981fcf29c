// The scale on a host that is not a developer's root shell: a shop's user, a runtime directory
// others could write to, descriptors that run out, names with control bytes.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>

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

}  // namespace
}  // namespace tarvelo::test
