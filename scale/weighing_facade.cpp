#include "scale/weighing_facade.h"

#include <cstring>

#include "config/settings.h"
#include "platform/window_messages.h"

namespace tarvelo {

WeighingFacade::WeighingFacade(const Parts& parts) : p_(parts) {}

int WeighingFacade::open(MessageSink* owner, const char* port_name) {
    const char* name = port_name ? port_name : XonBoard::kDefaultPort;
    if (p_.ad_type == 0) return p_.xon->start(name) == 0 ? 0 : -1;
    lcmd::lcmd_port_config config;
    std::strncpy(config.port_name, name, 255);
    config.baud = 19200;
    config.byte_size = 8;
    config.stop_bits = 1;
    config.parity = 'E';
    if (p_.letter->open(&config) != 0) return -1;
    return p_.letter->start(owner) == 0 ? 0 : -2;
}

bool WeighingFacade::link_lost() const {
    if (p_.ad_type == 0) return p_.xon->link_lost(p_.link_timeout_ms);
    if (p_.ad_type == 1) return p_.letter->link_lost(p_.link_timeout_ms);
    return false;
}

void WeighingFacade::get_snapshot(weighing_snapshot* out) {
    if (out == nullptr) return;
    bool lost = link_lost();
    if (lost) {
        // A board that has gone quiet (or never spoke) is never reported as a good weight.
        out->link_lost = 1;
        out->stable = 0;
    } else {
        out->link_lost = 0;
    }
    if (p_.ad_type == 0) {
        xo::StatusBlock block;
        if (p_.xon->get_status(block) != 0) return;
        out->weight = block[xo::weight];
        out->tare = block[xo::tare];
        out->unit_price = block[xo::unit_price];
        out->total_price = block[xo::total_price];
        out->stable = block[xo::stable];
        out->zero = block[xo::zero];
        out->span_switch = block[xo::span_switch];
        out->overload = block[xo::overload];
        out->underload = block[xo::underload];
        out->internal_count = block[xo::internal_count];
        out->ad_count = block[xo::ad_count];
    } else if (p_.ad_type == 1) {
        lcmd::lcmd_status s;
        p_.letter->get_status(&s);
        out->weight = s.weight;
        out->tare = s.tare;
        out->stable = s.stable;
        out->zero = s.zero;
        out->span_switch = s.span_switch;
        out->internal_count = s.internal_count;
        out->ad_count = s.ad_count;
        out->underload = s.load_state == 1 ? 1 : 0;
        out->overload = s.load_state == 2 ? 1 : 0;
    } else {
        return;
    }
    if (lost) out->stable = 0;
}

int WeighingFacade::startup(const std::string& module_checksum) {
    if (p_.ad_type == 0 && p_.xon->check_integrity(module_checksum) != 0) return -1;
    if (p_.ad_type == 1 && p_.letter->check_integrity(module_checksum) != 0) return -1;

    weighing_snapshot snapshot;
    auto stable = [&] {
        get_snapshot(&snapshot);
        return snapshot.stable == 1;
    };
    if (wait_for_settled(stable, *p_.clock) < 0) return -2;

    if (p_.ad_type == 0) {
        if (p_.xon->init_rezero() != 0) return -2;
        p_.xon->rezero();
        return 0;
    }
    if (p_.ad_type == 1) {
        if (p_.letter->init_rezero() != 0) return -2;
        p_.letter->rezero();
        return 0;
    }
    return -2;
}

int WeighingFacade::wait_for_settled(const std::function<bool()>& stable_reading, Clock& clock) {
    int in_a_row = 0;
    for (int pass = 1; pass <= 100; ++pass) {
        in_a_row = stable_reading() ? in_a_row + 1 : 0;
        if (in_a_row >= 3) return pass;
        clock.sleep_ms(100);
    }
    return -1;
}

// A board that is not heard from cannot be trusted to have zeroed or tared: the command fails
// at once and nothing is written to the line.
int WeighingFacade::rezero() {
    if (link_lost()) return -1;
    if (p_.ad_type == 0) return p_.xon->rezero();
    if (p_.ad_type == 1) return p_.letter->rezero();
    return 0;
}

int WeighingFacade::tare() {
    if (link_lost()) return -1;
    if (p_.ad_type == 0) return p_.xon->tare();
    if (p_.ad_type == 1) return p_.letter->tare();
    return 0;
}

int WeighingFacade::preset_tare(int32_t value) {
    if (link_lost()) return -1;
    if (p_.ad_type == 0) return p_.xon->preset_tare(value);
    if (p_.ad_type == 1) return p_.letter->preset_tare(value);
    return 0;
}

void WeighingFacade::on_zero_button() {
    // No zeroing while a tare is in force.
    if (p_.saved->load().tare != 0) {
        boxes().error(kRezeroFailedText);
        return;
    }
    if (p_.ad_type != 0 && p_.ad_type != 1) return;
    if (rezero() != 0) boxes().error(kRezeroFailedText);
}

void WeighingFacade::on_tare_button() {
    if ((p_.ad_type == 0 || p_.ad_type == 1) && tare() != 0) boxes().error(kTareFailedText);
    // A tare taken with goods on the platform survives the next unit price.
    p_.sale->one_touch_tare = p_.saved->load().zero == 0 ? 1 : 0;
}

void WeighingFacade::sale_refresh(MessageSink* owner) {
    PostedMessage message;
    if (p_.sale->price_set.load() == 0 && p_.sale->text().empty()) {
        p_.sale->sale_active = 0;
        if (p_.sale->one_touch_tare.load() == 0 && (p_.ad_type == 0 || p_.ad_type == 1)) preset_tare(0);
        message.id = WM_SALE_CLEARED;
    } else {
        weight_text_clear_ = true;
        p_.sale->sale_active = 1;
        message.id = WM_SALE_ARMED;
    }
    if (owner) owner->post(std::move(message));
}

// Calibration exists on the xon/xoff board only, whatever ad_type says.
int WeighingFacade::calibrate_zero() { return p_.xon->calibrate_zero(); }
int WeighingFacade::calibrate_span() { return p_.xon->calibrate_span(); }
int WeighingFacade::init_rezero() { return p_.xon->init_rezero(); }

SavedSnapshot& saved_snapshot() {
    static SavedSnapshot* saved = new SavedSnapshot;
    return *saved;
}

WeighingFacade& weighing_facade() {
    static WeighingFacade* facade = [] {
        WeighingFacade::Parts parts;
        parts.ad_type = configuration().scale.ad_type;
        parts.xon = &xon_board();
        parts.letter = &letter_board();
        parts.sale = &sale_state();
        parts.saved = &saved_snapshot();
        parts.clock = &system_clock();
        return new WeighingFacade(parts);
    }();
    return *facade;
}

int scale_open(MessageSink* owner, const char* port_name) { return weighing_facade().open(owner, port_name); }
void scale_get_snapshot(weighing_snapshot* out) { weighing_facade().get_snapshot(out); }
int scale_startup(const std::string& module_checksum) { return weighing_facade().startup(module_checksum); }
int scale_rezero() { return weighing_facade().rezero(); }
int scale_tare() { return weighing_facade().tare(); }
int scale_preset_tare(int32_t tare) { return weighing_facade().preset_tare(tare); }
void on_zero_button() { weighing_facade().on_zero_button(); }
void on_tare_button() { weighing_facade().on_tare_button(); }
void scale_sale_refresh(MessageSink* owner) { weighing_facade().sale_refresh(owner); }
int scale_calibrate_zero() { return weighing_facade().calibrate_zero(); }
int scale_calibrate_span() { return weighing_facade().calibrate_span(); }
int scale_init_rezero() { return weighing_facade().init_rezero(); }

}  // namespace tarvelo
