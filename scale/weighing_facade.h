#pragma once
// The one way the rest of the program reaches the weighing board (as the Scale of scale.h): it
// picks the driver by ad_type, presents either board as a weighing_snapshot, runs the start-up
// sequence, and dispatches zero, tare and preset tare. It also holds the zero and tare keys'
// handlers and the sale refresh that clears the board's preset tare when a sale ends.
//
// A board that has gone quiet (no good weight frame for link_timeout_ms while the stream should
// flow), failed a read or gone away is reported as a lost link until its next good weight
// frame: snapshots are then not stable and carry the link_lost mark, so that nobody takes the
// last weight received for the weight on the platform, and zero, tare and preset tare fail at
// once without touching the line.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/clock.h"
#include "platform/message_box.h"
#include "platform/message_sink.h"
#include "scale/letter_board.h"
#include "scale/scale.h"
#include "scale/weighing_snapshot.h"
#include "scale/xon_board.h"

namespace tarvelo {

inline constexpr const char* kRezeroFailedText = "Rezero Failed!";
inline constexpr const char* kTareFailedText = "Tare Failed!";

class WeighingFacade : public Scale {
  public:
    struct Parts {
        int32_t ad_type = 0;
        XonBoard* xon = nullptr;
        LetterBoard* letter = nullptr;
        SaleFlags* sale = nullptr;
        SavedSnapshot* saved = nullptr;  // the display thread's last saved snapshot
        Clock* clock = nullptr;
        MessageBox* boxes = nullptr;  // null: the process-wide message box at the time
        int link_timeout_ms = 2000;
    };
    explicit WeighingFacade(const Parts& parts);

    int32_t ad_type() const { return p_.ad_type; }

    // 0; -1 the port was not opened; -2 the letter board's reader did not start.
    int open(MessageSink* owner, const char* port_name);
    // Scale.
    void get_snapshot(weighing_snapshot* out) override;
    int startup(const std::string& module_checksum) override;
    int rezero() override;
    int tare() override;
    int preset_tare(int32_t tare) override;
    void on_zero_button() override;
    void on_tare_button() override;
    void sale_refresh(MessageSink* owner) override;
    // Raised by the sale refresh; the display thread clears its last-sent weight text when it
    // takes the request.
    bool take_weight_text_clear() override { return weight_text_clear_.exchange(false); }
    int calibrate_zero() override;
    int calibrate_span() override;
    int init_rezero() override;

    // The start-up wait for an empty platform: up to 100 readings 100 ms apart, done after
    // three stable readings in a row. Returns how many readings it took, or -1.
    static int wait_for_settled(const std::function<bool()>& stable_reading, Clock& clock);

  private:
    bool link_lost() const;
    MessageBox& boxes() { return p_.boxes ? *p_.boxes : message_box(); }

    Parts p_;
    // The board opened for ad_type: the xon/xoff board for 0, the letter board for any other
    // value. Only types 0 and 1 have a driver that serves the operations; for another type
    // the letter board is opened and started, and nothing else reaches it.
    WeighingBoard* opened_ = nullptr;
    WeighingBoard* board_ = nullptr;
    std::atomic<bool> weight_text_clear_{false};
};

}  // namespace tarvelo
