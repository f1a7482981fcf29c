// Listening to a board for the installation check: a board that never answers, or a line that
// is gone, gives a bounded wait, never one that outlasts what the check promises.

#include <gtest/gtest.h>

#include "app/board_listening.h"
#include "tests/support/test_support.h"

namespace tarvelo::app {
namespace {

// Hands over its bytes, then stays silent or is gone.
class QuietLine : public SerialLine {
  public:
    QuietLine(const std::string& bytes, bool gone) : bytes_(bytes), gone_(gone) {}
    ReadStatus read_byte(uint8_t& out) override {
        if (at_ < bytes_.size()) {
            out = static_cast<uint8_t>(bytes_[at_++]);
            return ReadStatus::byte;
        }
        return gone_ ? ReadStatus::gone : ReadStatus::nothing;
    }
    bool write_all(const void*, size_t) override { return true; }

  private:
    std::string bytes_;
    size_t at_ = 0;
    bool gone_;
};

TEST(BoardListening, WaitsNoLongerThanItWasGiven) {
    struct Case {
        const char* what;
        std::string bytes;  // what the line has, before it stays silent
        bool gone;          // then it is gone
        int64_t waited_ms;  // on the clock, at least; at most one poll more
        int heard;
    };
    const Case cases[] = {
        {"silent", "", false, 2000, 0},
        {"noise, no frame", "\x01noise\x7f", false, 2000, 7},
        {"gone", "", true, 0, 0},
    };
    for (const Case& c : cases) {
        test::FakeClock clock;
        QuietLine line(c.bytes, c.gone);
        Heard heard = listen_to_board(line, 2000, "kg", clock);
        EXPECT_GE(clock.now_ms(), c.waited_ms) << c.what;
        EXPECT_LE(clock.now_ms(), c.waited_ms + 10) << c.what;
        EXPECT_EQ(heard.bytes, c.heard) << c.what;
        EXPECT_FALSE(heard.any_frames()) << c.what;
    }
}

}  // namespace
}  // namespace tarvelo::app
