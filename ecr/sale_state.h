#pragma once
// The sale the ECR runs on the scale: weight or quantity mode, unit price, item text, and the
// flags that tie the sale to the weighing (when a new unit price is accepted, when a weight
// may be sent again, when the sale is cleared after the goods have gone). Shared by the pipe
// server thread, the display thread and the tare key: every field is one atomic word, the
// text is copied under a short lock.

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/message_sink.h"
#include "scale/scale.h"
#include "scale/weighing_snapshot.h"

namespace tarvelo {

// Fixed by the scale's approval; they do not follow the display labels.
constexpr int32_t kScaleInterval = 2;                          // e, grams
constexpr int32_t kMaxCapacity = 6000;                         // Max, grams
constexpr int32_t kMinimumWeight = 40;                         // grams
constexpr int32_t kTareLimit = kMaxCapacity - kScaleInterval;  // 5998 g

// The sale flags that the weighing facade reads and writes (sale_active, one_touch_tare) are
// part of it, declared by the scale (scale.h).
class SaleState : public SaleFlags {
  public:
    static constexpr size_t kTextLimit = 13;

    std::atomic<int32_t> mode{0};  // 0 weight mode, 1 quantity mode
    // Counts the mode switches (records 00 and 30) once they are on their way to the windows,
    // which then show placeholders: the display thread posts every value again.
    std::atomic<uint32_t> mode_switches{0};
    std::atomic<int32_t> unit_price{0};  // weight mode, hundredths per kilogram
    std::atomic<int32_t> price_set{0};
    std::atomic<int32_t> price_accept{1};
    std::atomic<int32_t> weight_sent{0};
    std::atomic<int32_t> sent_weight{0};  // the weight of the last record 02
    std::atomic<int32_t> sale_armed{0};

    // Quantity mode, owned by the pipe server thread.
    std::atomic<int32_t> quantity{0};
    std::atomic<int32_t> quantity_unit_price{0};   // hundredths per piece
    std::atomic<int64_t> quantity_total_price{0};  // quantity x unit price, never overflowing

    // Stores a text field as it arrives: up to 13 bytes (a NUL ends it early), trailing white
    // space removed, leading blanks kept.
    void set_text(std::string_view field);
    void clear_text();
    std::string text() const;
    // A weight-mode unit price or an item text is set.
    bool sale_open() const override { return price_set.load() != 0 || !text().empty(); }

    // Back to the state of a fresh start.
    void reset();

  private:
    mutable std::mutex text_mutex_;
    std::string text_;
};

// The unit price times the weight, in 64 bits (999999 per kg times 6000 g does not fit 32).
int64_t price_product(int32_t unit_price, int32_t weight);
// Record 02's total: rounded half up to whole hundredths for non-negative products,
// truncated towards zero for negative ones.
int32_t compute_total_price(int32_t unit_price, int32_t weight);
// The display's total: 0 for a negative weight or an overload, else the record 02 value.
int32_t display_total_price(int32_t unit_price, int32_t weight, int32_t overload);

// "%7.2f" of hundredths with the decimal comma: 150 -> "   1,50".
std::string format_price(int64_t hundredths);

// The sale rules of one weight-mode display cycle, in order: arming, weight change (a settled
// weight other than the one last sent opens the next reading), auto clear. The auto clear posts
// the empty item text to `owner` and calls `sale_refresh`.
void run_sale_cycle(SaleState& sale, const weighing_snapshot& fresh, bool auto_clear,
                    MessageSink* owner, const std::function<void()>& sale_refresh);

// Quantity mode: recomputes the total and posts the quantity, unit price and total texts.
void refresh_quantity_display(SaleState& sale, MessageSink* owner);

}  // namespace tarvelo
