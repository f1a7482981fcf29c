#pragma once
// A weighing board on a pseudo-terminal, of either type, that the drivers cannot tell from
// hardware: it streams weight frames while switched on, answers every command, keeps its
// weight, zero, tare, stability and load state consistent with what it was told, and can
// misbehave on purpose. The line (pty_line.h) carries the bytes; the board model of its type
// (board_model.h) makes them; this class holds the board's state between the two and is
// controlled by method calls (tests) or by control lines (control_commands.h).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tools/boardsim/board_model.h"
#include "tools/boardsim/board_state.h"
#include "tools/boardsim/pty_line.h"

namespace tarvelo::sim {

struct Options {
    BoardType type = BoardType::xon;
    std::string link_path;  // where the slave is linked; empty = only the /dev/pts name
    int rate_hz = 10;       // weight frames per second while switched on
    std::string checksum;   // the scale library checksum the board knows; empty = any 8 hex digits
    bool verbose = false;   // print every frame received on standard output
    int corrupt_percent = 0;  // this share of weight frames goes out damaged
};

class BoardSimulator : private LinePeer {
  public:
    static std::unique_ptr<BoardSimulator> create(const Options& options, std::string* error);
    ~BoardSimulator() override;
    BoardSimulator(const BoardSimulator&) = delete;
    BoardSimulator& operator=(const BoardSimulator&) = delete;

    std::string device_name() const { return line_->device_name(); }

    // The platform and the board's own state.
    void set_gross(int32_t grams);
    void set_stable(bool stable);
    void set_load(int state);  // 0 normal, 1 underload, 2 overload
    void set_span_open(bool open);
    void set_counts(int32_t ad, int32_t ir);
    void set_count_frames(bool on);  // letter board: send count frames instead of weighing frames
    void set_rate(int hz);
    // Misbehaviour.
    void set_silent(bool silent) { line_->set_silent(silent); }  // no byte leaves the board
    void set_mute(bool mute);                                    // commands get no answer
    void fail_next(char letter, char result);  // letter 0 = whatever command comes next
    void set_integrity_fail(bool fail);
    void send_corrupt();
    void send_overlong();
    void send_noise();  // stray bytes between two frames
    // Every weight frame damaged until turned off (xon/xoff: the weight loses its point;
    // letter-command: frames of no known kind under a good check byte).
    void set_garble(bool on);
    // The next command is answered with this reply code, result character and data instead
    // of the board's own answer (any code, e.g. 'E' '0'; or 'R' '0' with other 'C'/'D'/'F' data).
    void reply_next(char code, char result, const std::string& data);
    void set_split_delay(int ms) { line_->set_split_delay(ms); }  // frames leave byte by byte
    void vanish();                                                // the device disappears
    bool reappear(std::string* error) { return line_->reappear(error); }  // under the same name

    int32_t net() const;
    int32_t tare() const;
    bool streaming() const { return streaming_.load(); }
    std::vector<Received> received() const { return line_->received(); }
    void clear_received() { line_->clear_received(); }
    std::string status_line() const;

  private:
    explicit BoardSimulator(const Options& options);
    void on_received(const std::vector<uint8_t>& unit) override;
    void on_hangup() override { streaming_ = false; }
    int64_t on_tick(int64_t now_ms) override;
    template <typename Change>
    void change(Change&& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        f(state_);
    }

    const Options options_;
    const std::unique_ptr<BoardModel> model_;
    std::atomic<bool> streaming_{false};

    mutable std::mutex mutex_;  // everything below
    BoardState state_;
    int rate_hz_ = 10;

    // The loop thread's own.
    std::minstd_rand noise_{12345};
    int64_t next_frame_ = -1;

    std::unique_ptr<PtyLine> line_;  // last: its thread calls back into the members above
};

}  // namespace tarvelo::sim
