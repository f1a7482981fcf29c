#include "scale/link_watch.h"

#include <gtest/gtest.h>

namespace tarvelo {
namespace {

constexpr int kTimeout = 2000;

TEST(LinkWatch, SilenceCountsOnlyWhileTheStreamShouldFlow) {
    LinkWatch w;
    EXPECT_FALSE(w.lost(100000, kTimeout));  // never switched on: nothing expected yet
    w.start(0);
    EXPECT_FALSE(w.lost(2000, kTimeout));
    EXPECT_TRUE(w.lost(2001, kTimeout));
    w.frame(2500);
    EXPECT_FALSE(w.lost(4000, kTimeout));
    // A command pauses the stream: its time does not count, nor does it start the count anew.
    w.pause(4000);  // 1500 ms quiet so far
    EXPECT_FALSE(w.lost(60000, kTimeout));
    w.pause(5000);  // a second command queued behind the first
    w.resume(9000);
    EXPECT_FALSE(w.lost(60000, kTimeout));
    w.resume(10000);
    EXPECT_FALSE(w.lost(10500, kTimeout));  // 1500 + 500
    EXPECT_TRUE(w.lost(10501, kTimeout));
    EXPECT_EQ(w.quiet_ms(10501), 2001);
}

TEST(LinkWatch, ALossLastsUntilTheNextGoodFrame) {
    LinkWatch w;
    w.start(0);
    w.frame(10);
    w.lose();  // a read error or the device gone
    EXPECT_TRUE(w.lost(11, kTimeout));
    w.start(20);  // a reopen switches the stream on again
    w.pause(30);
    w.resume(40);
    EXPECT_TRUE(w.lost(50, kTimeout));
    w.frame(60);
    EXPECT_FALSE(w.lost(61, kTimeout));
}

}  // namespace
}  // namespace tarvelo
