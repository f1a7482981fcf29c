#include "scale/link_watch.h"

#include <gtest/gtest.h>

namespace tarvelo {
namespace {

constexpr int kTimeout = 2000;

TEST(LinkWatch, SilencePastTheTimeOutIsALossUntilTheNextFrame) {
    LinkWatch w;
    EXPECT_FALSE(w.lost(100000, kTimeout));  // never switched on: nothing expected yet
    w.start(0);
    EXPECT_FALSE(w.lost(2000, kTimeout));
    EXPECT_TRUE(w.lost(2001, kTimeout));
    w.start(2500);  // switching the stream on again (after a reopen) is no sign of life
    EXPECT_TRUE(w.lost(2600, kTimeout));
    w.frame(3000);
    EXPECT_FALSE(w.lost(4000, kTimeout));
    EXPECT_EQ(w.quiet_ms(4000), 1000);
    // A command pausing the stream (DC2 ... DC1) changes nothing: a status older than the
    // time-out is stale whatever held the frames back.
    EXPECT_TRUE(w.lost(5001, kTimeout));
}

TEST(LinkWatch, ALossLastsUntilTheNextGoodFrame) {
    LinkWatch w;
    w.start(0);
    w.frame(10);
    w.lose();  // a read error or the device gone
    EXPECT_TRUE(w.lost(11, kTimeout));
    w.start(20);  // a reopen switches the stream on again
    EXPECT_TRUE(w.lost(50, kTimeout));
    w.frame(60);
    EXPECT_FALSE(w.lost(61, kTimeout));
}

}  // namespace
}  // namespace tarvelo
