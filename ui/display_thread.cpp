#include "ui/display_thread.h"

#include <cstdio>

#include "platform/window_messages.h"

namespace tarvelo::ui {

std::string kilogram_text(int32_t grams) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%6.3f", grams / 1000.0);
    for (char* p = buf; *p; ++p)
        if (*p == '.') *p = ',';
    return buf;
}

namespace {
// The last values received are not what lies on the platform.
constexpr const char* kLostWeight = "------";
constexpr const char* kLostPrice = "-------";
}  // namespace

std::string weight_text(const weighing_snapshot& s) {
    if (s.link_lost) return kLostWeight;
    if (s.underload == 1) return "UF  ";
    if (s.overload == 1) return "OF  ";
    return kilogram_text(s.weight);
}

std::string count_text(int32_t count) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%6i", count);
    return buf;
}

void DisplayThread::post_text(uint32_t id, const std::string& text) {
    PostedMessage m;
    m.id = id;
    m.text = text;
    p_.main->post(std::move(m));
}

void DisplayThread::post_if_changed(uint32_t id, const std::string& text, std::string& posted) {
    if (text == posted) return;
    posted = text;
    post_text(id, text);
}

void DisplayThread::clear_posted() {
    posted_tare_.clear();
    posted_weight_.clear();
    posted_unit_price_.clear();
    posted_total_.clear();
}

bool DisplayThread::boot_wait(Clock& clock, int ms) {
    for (; ms > 0 && !stopping(); ms -= 100) clock.sleep_ms(ms < 100 ? ms : 100);
    return !stopping();
}

int DisplayThread::boot() {
    Clock& boot_clock = p_.boot_clock ? *p_.boot_clock : *p_.clock;
    clear_posted();
    if (!boot_wait(boot_clock, 2000)) return -1;
    p_.screens->set_flash_colour(0, 255, 169);
    if (!boot_wait(boot_clock, 2000)) return -1;
    p_.screens->set_flash_colour(135, 206, 250);
    if (!boot_wait(boot_clock, 2000)) return -1;
    // The boot windows first: the colour test stays until they cover the screens.
    p_.screens->show_boot();
    p_.screens->close_flash();
    int result = p_.scale->startup(p_.module_checksum);
    if (result < 0) {
        p_.screens->boot_failed(result == -1   ? kChecksumErrorText
                                : result == -2 ? kRemoveItemText
                                               : "ERROR");
        return -1;
    }
    if (!boot_wait(boot_clock, 2000)) return -1;
    p_.screens->close_boot();
    p_.screens->show_display_windows();
    snapshot_ = weighing_snapshot{};
    p_.display_ready->store(1);
    return 0;
}

void DisplayThread::cycle() {
    SaleState& sale = *p_.sale;
    // A mode switch, even to the mode already shown, puts placeholders in the windows: every
    // value goes out again.
    if (uint32_t switches = sale.mode_switches.load(); switches != seen_mode_switches_) {
        seen_mode_switches_ = switches;
        clear_posted();
        last_sent_weight_.clear();
    }
    if (sale.mode.load() == 1) {
        clear_posted();  // all four values go out again when weight mode returns
        return;
    }
    p_.scale->get_snapshot(&snapshot_);
    const bool lost = snapshot_.link_lost != 0;
    if (link_was_lost_ && !lost) {
        clear_posted();  // the link is back: every value again, not only the changed ones
        last_sent_weight_.clear();
    }
    link_was_lost_ = lost;
    snapshot_.unit_price = sale.unit_price.load();
    run_sale_cycle(sale, snapshot_, p_.auto_clear, p_.main,
                   [this] { p_.scale->sale_refresh(p_.main); });

    PostedMessage indicator;
    indicator.id = snapshot_.zero == 1 && !lost ? WM_ZERO_ON : WM_ZERO_OFF;
    p_.main->post(indicator);
    indicator.id = snapshot_.tare != 0 && !lost ? WM_NET_ON : WM_NET_OFF;
    p_.main->post(indicator);
    p_.saved->store(snapshot_);

    std::string weight = weight_text(snapshot_);
    std::string tare = lost ? kLostWeight : kilogram_text(snapshot_.tare);
    std::string unit_price = format_price(snapshot_.unit_price);
    snapshot_.total_price =
        display_total_price(snapshot_.unit_price, snapshot_.weight, snapshot_.overload);
    std::string total = lost ? kLostPrice : format_price(snapshot_.total_price);

    post_if_changed(WM_SHOW_TARE, tare, posted_tare_);
    post_if_changed(WM_SHOW_WEIGHT, weight, posted_weight_);
    post_if_changed(WM_SHOW_UNIT_PRICE, unit_price, posted_unit_price_);
    post_if_changed(WM_SHOW_TOTAL_PRICE, total, posted_total_);

    if (p_.scale->take_weight_text_clear()) last_sent_weight_.clear();
    if (weight != last_sent_weight_) {
        last_sent_weight_ = weight;
        post_text(WM_SHOW_WEIGHT, weight);
        if (sale.sale_active.load() == 1) {
            PostedMessage m = PostedMessage::with_record(WM_SALE_WEIGHT, snapshot_);
            m.text = weight;
            p_.main->post(std::move(m));
        }
    }

    if (p_.calibration_mode && p_.calibration_mode->load() == 1) {
        if (snapshot_.ad_count != last_ad_) {
            last_ad_ = snapshot_.ad_count;
            post_text(WM_SHOW_AD_COUNT, count_text(last_ad_));
        }
        if (snapshot_.internal_count != last_ir_) {
            last_ir_ = snapshot_.internal_count;
            post_text(WM_SHOW_IR_COUNT, count_text(last_ir_));
        }
    }
}

int DisplayThread::run(const std::atomic<bool>* stop) {
    stop_ = stop;
    if (boot() != 0) return -1;
    while (!stopping()) {
        p_.clock->sleep_ms(100);
        cycle();
    }
    return 0;
}

}  // namespace tarvelo::ui
