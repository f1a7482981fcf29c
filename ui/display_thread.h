#pragma once
// The display thread: the boot sequence (colour test of the screens, the scale's start-up,
// boot windows), then every 100 ms a snapshot, the sale rules, the indicator messages and
// every changed value text posted to the main window. It knows the windows only through the
// interfaces below, so it runs the same against the real windows and against test fakes.

#include <atomic>
#include <cstdint>
#include <string>

#include "ecr/sale_state.h"
#include "platform/clock.h"
#include "platform/message_sink.h"
#include "scale/scale.h"
#include "scale/weighing_snapshot.h"

namespace tarvelo::ui {

inline constexpr const char* kChecksumErrorText = "Scale driver checksum error!";
inline constexpr const char* kRemoveItemText = "Please remove item from the scale platform!";

// The start-up windows, driven directly by the display thread.
class BootScreens {
  public:
    virtual ~BootScreens() = default;
    virtual void set_flash_colour(int r, int g, int b) = 0;
    virtual void show_boot() = 0;
    // Once the boot windows are on the screen.
    virtual void close_flash() = 0;
    // The failure text on both boot windows and the Exit key on the first.
    virtual void boot_failed(const std::string& text) = 0;
    virtual void close_boot() = 0;
    // The main and the second window, each unless its hide_fg is set.
    virtual void show_display_windows() = 0;
};

// Display texts, 16-byte buffers in spirit: weight and tare "%6.3f" in kilograms, prices
// "%7.2f", decimal comma; "OF  " and "UF  " for over- and underload (underload wins);
// dashes for weight, tare and total while the board link is lost.
std::string weight_text(const weighing_snapshot& s);
std::string kilogram_text(int32_t grams);
std::string count_text(int32_t count);

class DisplayThread {
  public:
    struct Parts {
        Scale* scale = nullptr;
        std::string module_checksum;  // what the board must confirm at start-up
        SaleState* sale = nullptr;
        SavedSnapshot* saved = nullptr;
        MessageSink* main = nullptr;
        BootScreens* screens = nullptr;
        Clock* clock = nullptr;
        Clock* boot_clock = nullptr;  // the boot screens' waits; null = `clock`
        std::atomic<int32_t>* display_ready = nullptr;
        std::atomic<int32_t>* calibration_mode = nullptr;
        bool auto_clear = true;
    };
    explicit DisplayThread(const Parts& parts) : p_(parts) {}

    // 0 when the scale started; -1 (and the failure on the boot screens) when it did not.
    int boot();
    // One 100 ms cycle, without its wait.
    void cycle();
    // boot(), then cycles until `stop` is set; -1 when the boot failed. A stop during the boot
    // cuts its waits short and ends it without a word on the boot screens.
    int run(const std::atomic<bool>* stop = nullptr);

  private:
    bool stopping() const { return stop_ && stop_->load(); }
    // A wait of the boot screens, in steps that notice a stop; false once stopped.
    bool boot_wait(Clock& clock, int ms);

    void post_text(uint32_t id, const std::string& text);
    void post_if_changed(uint32_t id, const std::string& text, std::string& posted);
    void clear_posted();

    Parts p_;
    const std::atomic<bool>* stop_ = nullptr;
    weighing_snapshot snapshot_;
    uint32_t seen_mode_switches_ = 0;
    bool link_was_lost_ = false;
    std::string posted_tare_, posted_weight_, posted_unit_price_, posted_total_;
    std::string last_sent_weight_;
    int32_t last_ad_ = 0, last_ir_ = 0;
};

}  // namespace tarvelo::ui
