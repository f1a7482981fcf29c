#pragma once
// The weighing scale as the rest of the program uses it, whichever board is fitted: the ECR
// link, the display thread and the windows reach the board through this one interface, which
// the weighing facade implements and tests fake. It speaks in snapshots only, so nothing above
// the scale sees a board driver.
//
// The sale flags go the other way: the zero and tare keys and the sale refresh read and write a
// few words of the sale, whose state belongs to the ECR link above this module. They are
// declared here and the sale state carries them.

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/message_sink.h"
#include "scale/weighing_snapshot.h"

namespace tarvelo {

class Scale {
  public:
    virtual ~Scale() = default;

    // Leaves *out as it was where the board has nothing to report (no frame yet on the
    // xon/xoff board, a board type that no driver serves), but for the lost-link mark.
    virtual void get_snapshot(weighing_snapshot* out) = 0;
    // The start-up sequence: 0; -1 the board did not confirm the scale library's checksum;
    // -2 no stable platform or the initial zero failed.
    virtual int startup(const std::string& module_checksum) = 0;
    // 0 done, anything else failed.
    virtual int rezero() = 0;
    virtual int tare() = 0;
    virtual int preset_tare(int32_t tare) = 0;
    // The main window's zero and tare keys, message boxes included.
    virtual void on_zero_button() = 0;
    virtual void on_tare_button() = 0;
    // After the ECR set a price and after an automatic clear: arms or clears the sale and tells
    // `owner`; a cleared sale also clears the board's preset tare.
    virtual void sale_refresh(MessageSink* owner) = 0;
    // True once after a sale refresh asked for the weight to be sent again.
    virtual bool take_weight_text_clear() = 0;
    // The calibration wizard's steps, on the xon/xoff board whatever ad_type says; 0 done.
    virtual int calibrate_zero() = 0;
    virtual int calibrate_span() = 0;
    virtual int init_rezero() = 0;
};

// The words of the sale that the keys and the sale refresh read and write.
class SaleFlags {
  public:
    virtual ~SaleFlags() = default;
    // A weight-mode unit price or an item text is set.
    virtual bool sale_open() const = 0;

    std::atomic<int32_t> sale_active{0};
    std::atomic<int32_t> one_touch_tare{0};  // the last tare key was pressed with goods on
};

}  // namespace tarvelo
