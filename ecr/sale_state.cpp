#include "ecr/sale_state.h"

#include <cctype>
#include <cstdio>
#include <limits>

#include "platform/window_messages.h"

namespace tarvelo {

void SaleState::set_text(std::string_view field) {
    field = field.substr(0, std::min(field.size(), kTextLimit));
    field = field.substr(0, field.find('\0'));
    while (!field.empty() && std::isspace(static_cast<unsigned char>(field.back())))
        field.remove_suffix(1);
    std::lock_guard<std::mutex> lock(text_mutex_);
    text_.assign(field);
}

void SaleState::clear_text() {
    std::lock_guard<std::mutex> lock(text_mutex_);
    text_.clear();
}

std::string SaleState::text() const {
    std::lock_guard<std::mutex> lock(text_mutex_);
    return text_;
}

void SaleState::reset() {
    mode = 0;
    unit_price = 0;
    price_set = 0;
    price_accept = 1;
    weight_sent = 0;
    sent_weight = 0;
    sale_active = 0;
    sale_armed = 0;
    one_touch_tare = 0;
    quantity = 0;
    quantity_unit_price = 0;
    quantity_total_price = 0;
    clear_text();
}

int64_t price_product(int32_t unit_price, int32_t weight) {
    return int64_t{unit_price} * weight;
}

int32_t compute_total_price(int32_t unit_price, int32_t weight) {
    int64_t raw = price_product(unit_price, weight);
    if ((raw / 100) % 10 >= 5) raw += 1000;
    int64_t total = raw / 1000;
    constexpr int64_t hi = std::numeric_limits<int32_t>::max(),
                      lo = std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(total > hi ? hi : total < lo ? lo : total);
}

int32_t display_total_price(int32_t unit_price, int32_t weight, int32_t overload) {
    if (weight < 0 || overload != 0) return 0;
    return compute_total_price(unit_price, weight);
}

std::string format_price(int64_t hundredths) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%7.2f", static_cast<double>(hundredths) / 100.0);
    for (char* p = buf; *p; ++p)
        if (*p == '.') *p = ',';
    return buf;
}

void run_sale_cycle(SaleState& sale, const weighing_snapshot& fresh, bool auto_clear,
                    MessageSink* owner, const std::function<void()>& sale_refresh) {
    if (sale.sale_active.load() == 1 && fresh.weight > 5 * kScaleInterval &&
        fresh.weight + fresh.tare > 21 * kScaleInterval)
        sale.sale_armed = 1;
    // A change of weight opens the next reading, but not a "change" to the very weight already
    // sent: the ECR may have read a new weight before this cycle saw it change, and the same
    // weighing must not be reported twice. Only a settled reading from a live board counts: a
    // damaged frame (an over-long one reads as an all-zero, unstable status) or a swing of the
    // platform must not reopen goods already sold.
    if (fresh.stable == 1 && fresh.link_lost == 0 && fresh.weight != sale.sent_weight.load())
        sale.weight_sent = 0;
    if (sale.sale_armed.load() == 1 && fresh.zero == 1) {
        sale.sale_armed = 0;
        sale.price_accept = 1;
        if (auto_clear) {
            sale.unit_price = 0;
            sale.clear_text();
            if (owner) {
                PostedMessage m;
                m.id = WM_SHOW_TEXT;
                owner->post(std::move(m));
            }
            sale.price_set = 0;
            if (sale_refresh) sale_refresh();
        }
    }
}

void refresh_quantity_display(SaleState& sale, MessageSink* owner) {
    int64_t total = int64_t{sale.quantity.load()} * sale.quantity_unit_price.load();
    sale.quantity_total_price = total;
    if (owner == nullptr) return;
    auto post = [owner](uint32_t id, std::string text) {
        PostedMessage m;
        m.id = id;
        m.text = std::move(text);
        owner->post(std::move(m));
    };
    post(WM_SHOW_WEIGHT, std::to_string(sale.quantity.load()));
    post(WM_SHOW_UNIT_PRICE, format_price(sale.quantity_unit_price.load()));
    post(WM_SHOW_TOTAL_PRICE, format_price(total));
}

}  // namespace tarvelo
