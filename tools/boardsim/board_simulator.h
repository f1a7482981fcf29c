#pragma once
// A weighing board on a pseudo-terminal, of either type, that the drivers cannot tell from
// hardware: it streams weight frames while switched on, answers every command, keeps its
// weight, zero, tare, stability and load state consistent with what it was told, and can
// misbehave on purpose. Controlled by method calls (tests) or by text lines (the program).

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/pseudo_terminal.h"

namespace tarvelo::sim {

enum class BoardType { xon, letter };

struct Options {
    BoardType type = BoardType::xon;
    std::string link_path;  // where the slave is linked; empty = only the /dev/pts name
    int rate_hz = 10;       // weight frames per second while switched on
    std::string checksum;   // the scale library checksum the board knows; empty = any 8 hex digits
    bool verbose = false;   // print every frame received on standard output
    int corrupt_percent = 0;  // this share of weight frames goes out damaged
};

// A frame or control byte received from the PC, with the steady-clock time it completed.
struct Received {
    int64_t ms;
    std::vector<uint8_t> bytes;
};

class BoardSimulator {
  public:
    static std::unique_ptr<BoardSimulator> create(const Options& options, std::string* error);
    ~BoardSimulator();
    BoardSimulator(const BoardSimulator&) = delete;
    BoardSimulator& operator=(const BoardSimulator&) = delete;

    std::string device_name() const;

    // One control line, as typed on the program's standard input; returns the answer.
    std::string execute(const std::string& line);
    static std::string help_text();

    // The platform and the board's own state.
    void set_gross(int32_t grams);
    void set_stable(bool stable);
    void set_load(int state);  // 0 normal, 1 underload, 2 overload
    void set_span_open(bool open);
    void set_counts(int32_t ad, int32_t ir);
    void set_count_frames(bool on);  // letter board: send count frames instead of weighing frames
    void set_rate(int hz);
    // Misbehaviour.
    void set_silent(bool silent);              // no byte at all leaves the board
    void set_mute(bool mute);                  // commands get no answer
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
    void set_split_delay(int ms);       // frames leave byte by byte, this far apart
    void vanish();                      // the device disappears (unplugged adapter)
    bool reappear(std::string* error);  // and comes back under the same name

    int32_t net() const;
    int32_t tare() const;
    bool streaming() const { return streaming_.load(); }
    std::vector<Received> received() const;
    void clear_received();
    std::string status_line() const;

  private:
    explicit BoardSimulator(const Options& options) : options_(options) {}
    void loop();
    void handle_byte(uint8_t byte);
    void handle_command(const std::vector<uint8_t>& payload);
    void answer(char code, char result, const std::string& data = {});
    std::string command_result(char letter, const std::string& data);
    std::vector<uint8_t> weight_frame();
    void send(const std::vector<uint8_t>& bytes);
    void record(std::vector<uint8_t> bytes);

    Options options_;
    std::string device_name_;
    mutable std::mutex pty_mutex_;  // the pty (replaced by vanish/reappear) and its name
    std::shared_ptr<PseudoTerminal> pty_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> streaming_{false};

    mutable std::mutex mutex_;  // everything below
    int32_t gross_ = 0, zero_offset_ = 0, tare_ = 0;
    bool stable_ = true, span_open_ = false, count_frames_ = false;
    int load_ = 0;
    int32_t ad_ = 123456, ir_ = 60000;
    int rate_hz_ = 10;
    bool silent_ = false, mute_ = false, integrity_fail_ = false;
    char fail_letter_ = 0, fail_result_ = 0;
    bool fail_armed_ = false;
    bool corrupt_next_ = false, overlong_next_ = false, noise_next_ = false, garble_ = false;
    bool reply_armed_ = false;
    char reply_code_ = 0, reply_result_ = 0;
    std::string reply_data_;
    int split_ms_ = 0;
    std::vector<Received> received_;

    // Receiving state (loop thread only; a new device asks the loop to start over).
    std::atomic<bool> rx_restart_{false};
    enum class Rx { idle, frame, check } rx_ = Rx::idle;
    std::vector<uint8_t> rx_frame_;
};

}  // namespace tarvelo::sim
