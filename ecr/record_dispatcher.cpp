#include "ecr/record_dispatcher.h"

#include <cstring>

#include "config/c_number.h"
#include "ecr/ecr_frames.h"
#include "platform/window_messages.h"

namespace tarvelo {
namespace {

using namespace ecr;

// A field copied from its fixed offset into a zeroed buffer, so a NUL inside ends it.
std::string field(const uint8_t* f, size_t offset, size_t n) {
    std::string s(reinterpret_cast<const char*>(f + offset), n);
    return s.substr(0, s.find('\0'));
}

}  // namespace

RecordDispatcher::RecordDispatcher(const Parts& parts)
    : p_(parts), verification_(*parts.log, parts.random_source ? parts.random_source : [clock = parts.clock] {
          return challenge_from_seconds(clock->epoch_seconds());
      }) {}

void RecordDispatcher::start() {
    p_.sale->quantity = 0;
    p_.sale->quantity_unit_price = 0;
    p_.sale->quantity_total_price = 0;
    read_counter_ = 0;
    if (p_.settings.verify != 0) {
        p_.log->write("verify: enabled");
        verification_.set_state(VerifyState::request);
    } else {
        p_.log->write("verify: disabled");
        verification_.set_state(VerifyState::verified);
    }
}

std::string RecordDispatcher::ack() {
    p_.log->write("   send: ack");
    return std::string(1, static_cast<char>(ACK));
}

std::string RecordDispatcher::nak() {
    p_.log->write("   send: nak");
    return std::string(1, static_cast<char>(NAK));
}

std::string RecordDispatcher::refuse(char s1, char s0) {
    s1_ = s1;
    s0_ = s0;
    return nak();
}

weighing_snapshot RecordDispatcher::fresh_snapshot() {
    weighing_snapshot s;
    p_.scale->get_snapshot(&s);
    return s;
}

void RecordDispatcher::post_text() {
    PostedMessage m;
    m.id = WM_SHOW_TEXT;
    m.text = p_.sale->text();
    p_.display->post(std::move(m));
}

void RecordDispatcher::tail() {
    if (p_.sale->mode.load() == 1) refresh_quantity_display(*p_.sale, p_.display);
    if (p_.settings.verify != 0 && read_counter_ > 50) {
        p_.log->write("reached the max reading count");
        read_counter_ = 0;
        verification_.set_state(VerifyState::request);
    }
}

std::string RecordDispatcher::dispatch_frame(const uint8_t* frame, size_t length) {
    // Work on a zeroed copy of the receive buffer, as the server reads into one.
    uint8_t f[kReceiveBuffer] = {};
    length = std::min(length, kMaxFrame);
    std::memcpy(f, frame, length);

    if (f[2] == '0' && f[3] == '8') {
        p_.log->write("receive: No. 08, scale status");
        p_.log->write("   send: No. 09, scale status: s1='%c', s0='%c'", s1_, s0_);
        std::string reply = encode_status(s1_, s0_);
        s1_ = s0_ = '0';
        return reply;
    }
    if (verification_.state() != VerifyState::verified) return verification_.step(f);

    std::string reply;
    switch (f[1]) {
        case DC1:
        case DC2: {
            bool show = f[1] == DC1;
            p_.log->write(show ? "receive: DC1, show window" : "receive: DC2, hide window");
            p_.display->show_window(DisplayWindow::main, show);
            p_.display->show_window(DisplayWindow::second, show);
            reply = ack();
            break;
        }
        case ENQ:
            p_.log->write("receive: ENQ");
            return serve_scale_data();
        case STX:
            return dispatch_record(f, length);
        default:
            return reply;
    }
    tail();
    return reply;
}

std::string RecordDispatcher::serve_scale_data() {
    SaleState& sale = *p_.sale;
    if (sale.mode.load() == 1) {
        int32_t total = static_cast<int32_t>(sale.quantity_total_price.load() % 1000000);
        int32_t q = sale.quantity.load(), up = sale.quantity_unit_price.load();
        p_.log->write("   send: No. 32, scale data (quantity mode): quantity='%05d', unit_price='%06d', total_price='%06d'",
                      field_value(q, 5), field_value(up, 6), field_value(total, 6));
        std::string reply = encode_scale_data("32", q, up, total);
        ++read_counter_;
        tail();
        return reply;
    }

    weighing_snapshot s = fresh_snapshot();
    // A board that has gone quiet has no weight to give, however long we wait.
    if (s.link_lost) return refuse('0', '1');
    for (int tries = 0; s.stable != 1 && tries < 40; ++tries) {
        s = fresh_snapshot();
        if (s.stable == 1) break;
        p_.clock->sleep_ms(50);
    }
    if (s.link_lost) return refuse('0', '1');
    if (s.stable != 1) return refuse('2', '0');
    if (sale.weight_sent.load() == 1) return refuse('2', '1');
    if (s.underload == 1) return refuse('3', '1');
    if (s.overload == 1) return refuse('3', '2');
    if (p_.settings.min_wgt_fg != 0 && s.weight < kMinimumWeight) return refuse('3', '0');

    int32_t up = sale.unit_price.load();
    int32_t total = compute_total_price(up, s.weight);
    sale.sent_weight = s.weight;
    sale.weight_sent = 1;
    p_.log->write("   send: No. 02, scale data (weight mode): weight='%05d', unit_price='%06d', total_price='%06d'",
                  field_value(s.weight, 5), field_value(up, 6), field_value(total, 6));
    std::string reply = encode_scale_data("02", s.weight, up, total);
    ++read_counter_;
    tail();
    return reply;
}

std::string RecordDispatcher::dispatch_record(const uint8_t* f, size_t length) {
    int record = (f[2] - '0') * 10 + (f[3] - '0');
    bool digits = f[2] >= '0' && f[2] <= '9' && f[3] >= '0' && f[3] <= '9';
    if (!digits) record = -1;
    SaleState& sale = *p_.sale;
    std::string price = field(f, 5, 6);
    // Fields as they go into the log: control bytes written out, so no field forges a line.
    const std::string logged_price = log_field(price);
    auto logged = [&](size_t offset, size_t n) { return log_field(field(f, offset, n)); };
    std::string reply;

    if (length == 5 && record == 21) {
        p_.log->write("receive: No. 21, request tare");
        weighing_snapshot s = fresh_snapshot();
        p_.log->write("   send: No. 22, tare: tare='%05d'", field_value(s.tare, 5));
        reply = encode_tare(s.tare);
    } else if (length == 5 && (record == 0 || record == 30)) {
        int mode = record == 30 ? 1 : 0;
        p_.log->write(mode ? "receive: No. 30, set to quantity mode" : "receive: No. 00, set to weight mode");
        sale.mode = mode;  // the windows follow; the sale state holds the mode
        p_.display->set_quantity_mode(DisplayWindow::main, mode);
        p_.display->set_quantity_mode(DisplayWindow::second, mode);
        sale.mode_switches.fetch_add(1);
        reply = ack();
    } else if (length == 5 && record == 6) {
        p_.log->write("receive: No. 06, rezero");
        return rezero();
    } else if (length == 5 && record == 7) {
        p_.log->write("receive: No. 07, one touch tare");
        return one_touch_tare();
    } else if (length == 13 && record == 1) {
        p_.log->write("receive: No. 01, unit price (weight mode), unit_price='%s'", logged_price.c_str());
        return weight_mode_price(1, f);
    } else if (length == 13 && record == 31) {
        p_.log->write("receive: No. 31, unit price (quantity mode), unit_price='%s'", logged_price.c_str());
        sale.quantity_unit_price = c_atoi(price);
        reply = ack();
    } else if (length == 17 && record == 3) {
        p_.log->write("receive: No. 03, unit price and tare (weight mode), unit_price='%s', tare='%s'", logged_price.c_str(),
                      logged(12, 4).c_str());
        return weight_mode_price(3, f);
    } else if (length == 17 && record == 33) {
        std::string qty = field(f, 12, 4);
        p_.log->write("receive: No. 33, unit price and quantity (quantity mode), unit_price='%s', qty='%s'",
                      logged_price.c_str(), logged(12, 4).c_str());
        sale.quantity_unit_price = c_atoi(price);
        sale.quantity = c_atoi(qty);
        reply = ack();
    } else if (length == 26 && record == 4) {
        p_.log->write("receive: No. 04, unit price and text (weight mode), unit_price='%s', text='%s'", logged_price.c_str(),
                      logged(12, 13).c_str());
        return weight_mode_price(4, f);
    } else if (length == 26 && record == 34) {
        std::string text = field(f, 12, 13);
        p_.log->write("receive: No. 34, unit price and text (quantity mode), unit_price='%s', text='%s'", logged_price.c_str(),
                      logged(12, 13).c_str());
        sale.quantity_unit_price = c_atoi(price);
        sale.set_text(text);
        post_text();
        reply = ack();
    } else if (length == 31 && record == 5) {
        p_.log->write("receive: No. 05, unit price, tare and text (weight mode), unit_price='%s', tare='%s', text='%s'",
                      logged_price.c_str(), logged(12, 4).c_str(), logged(17, 13).c_str());
        return weight_mode_price(5, f);
    } else if (length == 31 && record == 35) {
        std::string qty = field(f, 12, 4), text = field(f, 17, 13);
        p_.log->write(
            "receive: No. 35, unit price, quantity and text (quantity mode) unit_price='%s', quantity='%s', text='%s'",
            logged_price.c_str(), logged(12, 4).c_str(), logged(17, 13).c_str());
        sale.quantity_unit_price = c_atoi(price);
        sale.quantity = c_atoi(qty);
        sale.set_text(text);
        post_text();
        reply = ack();
    } else {
        reply = refuse('1', '0');
    }
    tail();
    return reply;
}

std::string RecordDispatcher::weight_mode_price(int record, const uint8_t* f) {
    SaleState& sale = *p_.sale;
    if (sale.price_accept.load() == 0) return refuse('2', '1');
    sale.unit_price = c_atoi(field(f, 5, 6));
    if (record == 4 || record == 5) {
        sale.set_text(field(f, record == 4 ? 12 : 17, 13));
        post_text();
    }
    sale.price_set = 1;

    weighing_snapshot saved = p_.saved->load();
    bool keep_tare;
    int32_t wanted = 0;
    if (record == 1 || record == 4) {
        keep_tare = saved.tare == 0 || sale.one_touch_tare.load() == 1;
    } else {
        int32_t t = c_atoi(field(f, 12, 4));
        keep_tare = saved.tare == t || sale.one_touch_tare.load() == 1;
        // A negative tare would raise the net weight the customer pays for: refused as an
        // over-limit one is.
        if (!keep_tare && (t > kTareLimit || t < 0)) {
            std::string reply = refuse('1', '2');
            tail();
            return reply;
        }
        wanted = t;
    }
    if (!keep_tare && p_.scale->preset_tare(wanted) != 0) {
        std::string reply = nak();
        tail();
        return reply;
    }
    p_.scale->sale_refresh(p_.display);
    std::string reply = ack();
    if (p_.settings.set_force_fg == 0) sale.price_accept = 0;
    tail();
    return reply;
}

std::string RecordDispatcher::rezero() {
    std::string reply;
    if (p_.saved->load().tare != 0) {
        reply = refuse('0', '1');
    } else {
        bool ok = p_.scale->rezero() == 0;
        s1_ = '0';
        s0_ = ok ? '0' : '1';
        reply = ok ? ack() : nak();
    }
    tail();
    return reply;
}

std::string RecordDispatcher::one_touch_tare() {
    bool ok = p_.scale->tare() == 0;
    s1_ = '0';
    s0_ = ok ? '0' : '1';
    std::string reply = ok ? ack() : nak();
    p_.sale->one_touch_tare = p_.saved->load().zero == 0 ? 1 : 0;
    tail();
    return reply;
}

}  // namespace tarvelo
