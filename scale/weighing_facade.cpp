#include "scale/weighing_facade.h"

#include "platform/window_messages.h"

namespace tarvelo {

WeighingFacade::WeighingFacade(const Parts& parts) : p_(parts) {
    opened_ = p_.ad_type == 0 ? static_cast<WeighingBoard*>(p_.xon) : p_.letter;
    board_ = p_.ad_type == 0 || p_.ad_type == 1 ? opened_ : nullptr;
}

int WeighingFacade::open(MessageSink* owner, const char* port_name) {
    return opened_->start(owner, port_name ? port_name : XonBoard::kDefaultPort);
}

bool WeighingFacade::link_lost() const {
    return board_ && board_->link_lost(p_.link_timeout_ms);
}

void WeighingFacade::get_snapshot(weighing_snapshot* out) {
    if (out == nullptr) return;
    // A board that has gone quiet (or never spoke) is never reported as a good weight.
    const bool lost = link_lost();
    if (board_) board_->snapshot(*out);
    out->link_lost = lost ? 1 : 0;
    if (lost) out->stable = 0;
}

int WeighingFacade::startup(const std::string& module_checksum) {
    if (board_ && board_->check_integrity(module_checksum) != 0) return -1;

    weighing_snapshot snapshot;
    auto stable = [&] {
        get_snapshot(&snapshot);
        return snapshot.stable == 1;
    };
    if (wait_for_settled(stable, *p_.clock) < 0) return -2;
    if (!board_ || board_->init_rezero() != 0) return -2;
    board_->rezero();
    return 0;
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
    if (!board_) return 0;
    return link_lost() ? -1 : board_->rezero();
}

int WeighingFacade::tare() {
    if (!board_) return 0;
    return link_lost() ? -1 : board_->tare();
}

int WeighingFacade::preset_tare(int32_t value) {
    if (!board_) return 0;
    return link_lost() ? -1 : board_->preset_tare(value);
}

void WeighingFacade::on_zero_button() {
    // No zeroing while a tare is in force.
    if (p_.saved->load().tare != 0) {
        boxes().error(kRezeroFailedText);
        return;
    }
    if (!board_) return;
    if (rezero() != 0) boxes().error(kRezeroFailedText);
}

void WeighingFacade::on_tare_button() {
    if (board_ && tare() != 0) boxes().error(kTareFailedText);
    // A tare taken with goods on the platform survives the next unit price.
    p_.sale->one_touch_tare = p_.saved->load().zero == 0 ? 1 : 0;
}

void WeighingFacade::sale_refresh(MessageSink* owner) {
    PostedMessage message;
    if (!p_.sale->sale_open()) {
        p_.sale->sale_active = 0;
        if (p_.sale->one_touch_tare.load() == 0 && board_) preset_tare(0);
        message.id = WM_SALE_CLEARED;
    } else {
        weight_text_clear_ = true;
        p_.sale->sale_active = 1;
        message.id = WM_SALE_ARMED;
    }
    if (owner) owner->post(std::move(message));
}

// Calibration exists on the xon/xoff board only, whatever ad_type says.
int WeighingFacade::calibrate_zero() {
    return p_.xon->calibrate_zero();
}
int WeighingFacade::calibrate_span() {
    return p_.xon->calibrate_span();
}
int WeighingFacade::init_rezero() {
    return p_.xon->init_rezero();
}

}  // namespace tarvelo
