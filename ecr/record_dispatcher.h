#pragma once
// The record dispatcher: decides what a request means, acts on it and returns exactly one
// reply (or none, for a frame that is not a request at all). It keeps the status characters
// s1 s0 that explain the last refusal, the count of scale-data records that drives the
// periodic re-verification, and the handshake in front of everything but record 08.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ecr/ecr_display.h"
#include "ecr/ecr_frames.h"
#include "ecr/sale_state.h"
#include "ecr/verification.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "scale/scale.h"
#include "scale/weighing_snapshot.h"

namespace tarvelo {

struct EcrSettings {
    uint8_t verify = 0;
    uint8_t min_wgt_fg = 1;
    int32_t set_force_fg = 0;
};

class RecordDispatcher {
  public:
    struct Parts {
        Scale* scale = nullptr;
        SaleState* sale = nullptr;
        SavedSnapshot* saved = nullptr;  // the display thread's copy: current tare, zero flag
        EcrDisplay* display = nullptr;
        EventLog* log = nullptr;
        Clock* clock = nullptr;
        EcrSettings settings;
        std::function<uint8_t()> random_source;  // the challenge byte; default from the clock
    };
    explicit RecordDispatcher(const Parts& parts);

    // The pipe server thread's start: quantity values and read counter to 0, verification
    // from the settings (logged).
    void start();
    // One request of `length` bytes in its receive buffer, whose first two bytes passed the
    // framing check; the reply to write. The fields are read in place at their fixed offsets.
    std::string dispatch_frame(const ecr::ReceiveBuffer& frame, size_t length);

    char s1() const { return s1_; }
    char s0() const { return s0_; }
    int read_counter() const { return read_counter_; }
    ecr::VerifyState verify_state() const { return verification_.state(); }
    uint8_t random_number() const { return verification_.random_number(); }

  private:
    // A reply, and whether the tail runs after it.
    struct Outcome {
        std::string reply;
        bool tail = true;
    };
    struct RecordRow;
    static const std::vector<RecordRow>& records();

    Outcome dispatch_record(const uint8_t* f, size_t length);
    Outcome show_windows(bool show);
    Outcome serve_scale_data();
    Outcome request_tare(int number, const uint8_t* f);
    Outcome set_mode(int number, const uint8_t* f);
    Outcome quantity_mode_price(int number, const uint8_t* f);
    Outcome weight_mode_price(int number, const uint8_t* f);
    Outcome rezero(int number, const uint8_t* f);
    Outcome one_touch_tare(int number, const uint8_t* f);
    std::string ack();
    std::string nak();
    std::string refuse(char s1, char s0);
    void tail();
    void post_text();
    weighing_snapshot fresh_snapshot();

    Parts p_;
    ecr::Verification verification_;
    char s1_ = '0', s0_ = '0';
    int read_counter_ = 0;
};

}  // namespace tarvelo
