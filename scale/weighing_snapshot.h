#pragma once
// One reading of the weighing board, as every user of the scale sees it, whichever board
// type is fitted. Weights in thousandths of the weight unit (grams with kg), prices in
// hundredths of the currency unit.

#include <cstdint>
#include <mutex>

namespace tarvelo {

struct weighing_snapshot {
    int32_t weight = 0;       // net; 0 while over- or underloaded (letter board)
    int32_t tare = 0;         // tare in force; 0 = none
    int32_t unit_price = 0;   // filled by the display thread in its own copy
    int32_t total_price = 0;  // filled by the display thread in its own copy
    int32_t stable = 0;
    int32_t zero = 0;         // at the centre of zero
    int32_t span_switch = 0;  // calibration switch open
    int32_t overload = 0;
    int32_t underload = 0;
    int32_t internal_count = 0;
    int32_t ad_count = 0;
    // Set when the board has sent no weight frame for a while although it should have: the
    // values above are then the last ones received and must not be trusted (stable is 0).
    int32_t link_lost = 0;
};

// The copy of the snapshot that the display thread saves every weight-mode cycle and that
// the zero and tare keys, the label clicks, the dispatcher and the sale rules read.
class SavedSnapshot {
  public:
    void store(const weighing_snapshot& s) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_ = s;
    }
    weighing_snapshot load() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }

  private:
    mutable std::mutex mutex_;
    weighing_snapshot value_;
};

}  // namespace tarvelo
