#pragma once
// The board's end of a capture, played back: the bytes the board sent go out at their
// recorded times (or `speed` times faster), nothing is answered, and every byte the scale
// sends is held against the bytes the capture has the scale sending, in order.
//
// One clock runs the replay. It stops where the capture shows the scale acting: at a byte the
// scale wrote, until the scale here has written as many; and, with ecrctl --replay on the
// sync line (replay_sync.h), at each ECR request until ecrctl has sent it and at each reply
// until ecrctl has it. So a slow machine stretches the replay and never reorders it: a board
// answer never comes before the command it answers, nor a weight before the request it must
// follow. Before an ECR request is let go, the scale must also have read every board byte
// played so far, and have had as much real time since the board's last change as the capture
// gave it (up to 300 ms, however fast the replay runs).
//
// While the clock waits, a board that was streaming at that point of the capture goes on
// streaming its last good weight frame at its recorded pace, as a real board would: a slow scale
// or ECR here must not pass for a board that fell silent (the scale's link time-out). One that
// was silent, paused by the scale, or sending damaged frames stays as it was.
//
// What is allowed to differ: the scale library's checksum in the start-up integrity request
// (another build of the library has another one; the recorded answer is played all the same).

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/capture_format.h"
#include "tools/boardsim/board_model.h"
#include "tools/boardsim/board_state.h"
#include "tools/boardsim/pty_line.h"
#include "tools/boardsim/replay_sync.h"

namespace tarvelo::sim {

struct ReplayOptions {
    std::string link_path;
    double speed = 1.0;
    std::string sync_path;  // empty: no ECR replayer to keep in step with
    // The longest wait for the scale's own byte, or for ecrctl, before the replay goes on
    // without it (and says so).
    int wait_ms = 20000;
};

class BoardReplay : private LinePeer {
  public:
    static std::unique_ptr<BoardReplay> create(capture::Capture capture,
                                               const ReplayOptions& options, std::string* error);
    ~BoardReplay() override;
    BoardReplay(const BoardReplay&) = delete;
    BoardReplay& operator=(const BoardReplay&) = delete;

    std::string device_name() const { return line_->device_name(); }
    bool finished() const { return finished_.load(); }
    int differences() const { return differences_.load(); }

  private:
    struct Step {
        int64_t us = 0;
        capture::Kind kind = capture::Kind::end;
        std::vector<uint8_t> bytes;
        size_t expect_end = 0;  // pc>board: where its last byte lies in all the scale sends
        int line = 0;
        bool streaming = false;  // the board streamed through this point of the capture
    };
    BoardReplay(capture::Capture capture, const ReplayOptions& options);

    void on_received(const std::vector<uint8_t>& unit) override;
    void on_byte(uint8_t byte) override;
    void on_hangup() override {}
    int64_t on_tick(int64_t now_ms) override;

    // The loop thread's own, below.
    int64_t clock_us(int64_t now_us) const;
    void hold(int64_t at_us, int64_t now_us);
    bool waited_too_long(int64_t now_us) const;
    // One step at its time; false while it holds the clock.
    bool play(const Step& step, int64_t now_us);
    bool play_ecr(const Step& step, int64_t now_us);
    void compare(const Step& step);
    void keep_streaming(const Step& step, int64_t now_us);
    bool good_weight_frame(const std::vector<uint8_t>& bytes) const;
    void finish();
    int unread_by_scale();
    void open_slave();
    void report(const std::string& line) const;
    void differ(const std::string& line);

    capture::Capture capture_;
    const ReplayOptions options_;
    std::vector<Step> steps_;
    size_t next_ = 0;
    size_t quiet_noted_ = SIZE_MAX;  // the step whose long wait has been said
    size_t expected_total_ = 0;
    std::vector<uint8_t> received_;
    int64_t base_v_ = 0, base_real_ = 0;  // the replay clock: capture time at a real time
    int64_t held_since_ = -1;             // real time the current step began to hold
    bool go_sent_ = false;
    bool out_of_step_ = false;  // the scale's bytes are no longer waited for
    bool first_open_seen_ = false;
    // The stream the board keeps up while the clock waits.
    int64_t period_us_ = 100000;
    std::vector<uint8_t> last_frame_;  // the last board record, when one good weight frame
    bool stream_on_ = false;           // switched on by the scale (DC1), not paused since
    int64_t next_filler_us_ = 0;
    // The last change in what the board sends: its capture time and when it was played here.
    std::vector<uint8_t> last_sent_;
    int64_t changed_v_us_ = 0, changed_real_us_ = -1;
    int slave_ = -1;
    std::unique_ptr<ReplaySync> sync_;
    bool sync_dropped_ = false;

    // A capture begun while the scale ran has no start-up in it: until the scale here has
    // zeroed and switched the stream on, an ordinary board answers it.
    std::unique_ptr<BoardModel> model_;
    BoardState preamble_state_;
    bool preamble_ = false, preamble_streaming_ = false;
    int preamble_zeroed_ = 0;  // 1 after the initial zero, 2 after the zero that follows it
    int64_t preamble_next_frame_ = 0;

    std::atomic<bool> finished_{false};
    std::atomic<int> differences_{0};
    std::unique_ptr<PtyLine> line_;  // last: its thread calls back into the members above
};

// The settings the capture carries, with serial_port naming this replay's board.
std::string replay_settings(const std::string& settings_text, const std::string& link_path);

}  // namespace tarvelo::sim
