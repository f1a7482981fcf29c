#include "ecr/record_dispatcher.h"

#include <algorithm>

#include "ecr/ecr_frames.h"
#include "platform/c_number.h"
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
    : p_(parts),
      verification_(
          *parts.log, parts.random_source ? parts.random_source : [clock = parts.clock] {
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

std::string RecordDispatcher::dispatch_frame(const ReceiveBuffer& frame, size_t length) {
    const uint8_t* f = frame.data();
    length = std::min(length, kMaxFrame);

    if (f[2] == '0' && f[3] == '8') {
        p_.log->write("receive: No. 08, scale status");
        p_.log->write("   send: No. 09, scale status: s1='%c', s0='%c'", s1_, s0_);
        std::string reply = encode_status(s1_, s0_);
        s1_ = s0_ = '0';
        return reply;
    }
    if (verification_.state() != VerifyState::verified) return verification_.step(f);

    Outcome outcome;
    switch (f[1]) {
        case DC1:
        case DC2:
            outcome = show_windows(f[1] == DC1);
            break;
        case ENQ:
            p_.log->write("receive: ENQ");
            outcome = serve_scale_data();
            break;
        case STX:
            outcome = dispatch_record(f, length);
            break;
        default:
            return {};
    }
    if (outcome.tail) tail();
    return outcome.reply;
}

RecordDispatcher::Outcome RecordDispatcher::show_windows(bool show) {
    p_.log->write(show ? "receive: DC1, show window" : "receive: DC2, hide window");
    p_.display->show_window(DisplayWindow::main, show);
    p_.display->show_window(DisplayWindow::second, show);
    return {ack(), true};
}

// A refusal of the scale data ends without the tail.
RecordDispatcher::Outcome RecordDispatcher::serve_scale_data() {
    SaleState& sale = *p_.sale;
    if (sale.mode.load() == 1) {
        int32_t total = static_cast<int32_t>(sale.quantity_total_price.load() % 1000000);
        int32_t q = sale.quantity.load(), up = sale.quantity_unit_price.load();
        p_.log->write(
            "   send: No. 32, scale data (quantity mode): quantity='%05d', unit_price='%06d', "
            "total_price='%06d'",
            field_value(q, 5), field_value(up, 6), field_value(total, 6));
        ++read_counter_;
        return {encode_scale_data("32", q, up, total), true};
    }

    weighing_snapshot s = fresh_snapshot();
    // A board that has gone quiet has no weight to give, however long we wait.
    if (s.link_lost) return {refuse('0', '1'), false};
    for (int tries = 0; s.stable != 1 && tries < 40; ++tries) {
        s = fresh_snapshot();
        if (s.stable == 1) break;
        p_.clock->sleep_ms(50);
    }
    if (s.link_lost) return {refuse('0', '1'), false};
    if (s.stable != 1) return {refuse('2', '0'), false};
    // The weight sent is this very weighing only while the settled reading still is that
    // weight: goods that moved and settled anew during the wait above are a new weighing,
    // though the display's cycle, which reopens the reading, may not have seen them yet.
    if (sale.weight_sent.load() == 1 && s.weight == sale.sent_weight.load())
        return {refuse('2', '1'), false};
    if (s.underload == 1) return {refuse('3', '1'), false};
    if (s.overload == 1) return {refuse('3', '2'), false};
    if (p_.settings.min_wgt_fg != 0 && s.weight < kMinimumWeight) return {refuse('3', '0'), false};

    int32_t up = sale.unit_price.load();
    int32_t total = compute_total_price(up, s.weight);
    sale.sent_weight = s.weight;
    sale.weight_sent = 1;
    p_.log->write(
        "   send: No. 02, scale data (weight mode): weight='%05d', unit_price='%06d', "
        "total_price='%06d'",
        field_value(s.weight, 5), field_value(up, 6), field_value(total, 6));
    ++read_counter_;
    return {encode_scale_data("02", s.weight, up, total), true};
}

// The records the scale serves, chosen by their length first and then by their number. Each
// logs its line with the raw fields it names, then its handler replies. Every record runs the
// tail after its reply, except a weight-mode unit price refused while entry is closed (its
// handler says so).
namespace {

struct Field {
    size_t offset, width;
};
constexpr Field kPrice{5, 6}, kNumber{12, 4}, kTextAfterPrice{12, 13}, kTextAfterNumber{17, 13};

}  // namespace

struct RecordDispatcher::RecordRow {
    size_t length;
    int number;
    const char* log;
    std::vector<Field> fields;
    Outcome (RecordDispatcher::*handle)(int number, const uint8_t* frame);
};

const std::vector<RecordDispatcher::RecordRow>& RecordDispatcher::records() {
    using D = RecordDispatcher;
    static const std::vector<RecordRow> rows{
        {5, 21, "receive: No. 21, request tare", {}, &D::request_tare},
        {5, 0, "receive: No. 00, set to weight mode", {}, &D::set_mode},
        {5, 30, "receive: No. 30, set to quantity mode", {}, &D::set_mode},
        {5, 6, "receive: No. 06, rezero", {}, &D::rezero},
        {5, 7, "receive: No. 07, one touch tare", {}, &D::one_touch_tare},
        {13,
         1,
         "receive: No. 01, unit price (weight mode), unit_price='%s'",
         {kPrice},
         &D::weight_mode_price},
        {13,
         31,
         "receive: No. 31, unit price (quantity mode), unit_price='%s'",
         {kPrice},
         &D::quantity_mode_price},
        {17,
         3,
         "receive: No. 03, unit price and tare (weight mode), unit_price='%s', tare='%s'",
         {kPrice, kNumber},
         &D::weight_mode_price},
        {17,
         33,
         "receive: No. 33, unit price and quantity (quantity mode), unit_price='%s', qty='%s'",
         {kPrice, kNumber},
         &D::quantity_mode_price},
        {26,
         4,
         "receive: No. 04, unit price and text (weight mode), unit_price='%s', text='%s'",
         {kPrice, kTextAfterPrice},
         &D::weight_mode_price},
        {26,
         34,
         "receive: No. 34, unit price and text (quantity mode), unit_price='%s', text='%s'",
         {kPrice, kTextAfterPrice},
         &D::quantity_mode_price},
        {31,
         5,
         "receive: No. 05, unit price, tare and text (weight mode), unit_price='%s', tare='%s', "
         "text='%s'",
         {kPrice, kNumber, kTextAfterNumber},
         &D::weight_mode_price},
        {31,
         35,
         "receive: No. 35, unit price, quantity and text (quantity mode) unit_price='%s', "
         "quantity='%s', text='%s'",
         {kPrice, kNumber, kTextAfterNumber},
         &D::quantity_mode_price},
    };
    return rows;
}

RecordDispatcher::Outcome RecordDispatcher::dispatch_record(const uint8_t* f, size_t length) {
    const bool digits = f[2] >= '0' && f[2] <= '9' && f[3] >= '0' && f[3] <= '9';
    const int number = digits ? (f[2] - '0') * 10 + (f[3] - '0') : -1;
    for (const RecordRow& row : records()) {
        if (row.length != length || row.number != number) continue;
        // Fields as they go into the log: control bytes written out, so no field forges a line.
        std::string logged[3];
        for (size_t i = 0; i < row.fields.size(); ++i)
            logged[i] = log_field(field(f, row.fields[i].offset, row.fields[i].width));
        p_.log->write(row.log, logged[0].c_str(), logged[1].c_str(), logged[2].c_str());
        return (this->*row.handle)(number, f);
    }
    return {refuse('1', '0'), true};
}

RecordDispatcher::Outcome RecordDispatcher::request_tare(int, const uint8_t*) {
    weighing_snapshot s = fresh_snapshot();
    // The tare from before a loss is no more the tare in force than the weight is.
    if (s.link_lost) return {refuse('0', '1'), true};
    p_.log->write("   send: No. 22, tare: tare='%05d'", field_value(s.tare, 5));
    return {encode_tare(s.tare), true};
}

RecordDispatcher::Outcome RecordDispatcher::set_mode(int number, const uint8_t*) {
    const int mode = number == 30 ? 1 : 0;
    SaleState& sale = *p_.sale;
    sale.mode = mode;  // the windows follow; the sale state holds the mode
    p_.display->set_quantity_mode(DisplayWindow::main, mode);
    p_.display->set_quantity_mode(DisplayWindow::second, mode);
    sale.mode_switches.fetch_add(1);
    return {ack(), true};
}

RecordDispatcher::Outcome RecordDispatcher::quantity_mode_price(int number, const uint8_t* f) {
    SaleState& sale = *p_.sale;
    sale.quantity_unit_price = c_atoi(field(f, kPrice.offset, kPrice.width));
    if (number == 33 || number == 35)
        sale.quantity = c_atoi(field(f, kNumber.offset, kNumber.width));
    if (number == 34 || number == 35) {
        const Field text = number == 34 ? kTextAfterPrice : kTextAfterNumber;
        sale.set_text(field(f, text.offset, text.width));
        post_text();
    }
    return {ack(), true};
}

RecordDispatcher::Outcome RecordDispatcher::weight_mode_price(int number, const uint8_t* f) {
    SaleState& sale = *p_.sale;
    if (sale.price_accept.load() == 0) return {refuse('2', '1'), false};  // nothing is stored
    sale.unit_price = c_atoi(field(f, kPrice.offset, kPrice.width));
    if (number == 4 || number == 5) {
        const Field text = number == 4 ? kTextAfterPrice : kTextAfterNumber;
        sale.set_text(field(f, text.offset, text.width));
        post_text();
    }
    sale.price_set = 1;

    weighing_snapshot saved = p_.saved->load();
    bool keep_tare;
    int32_t wanted = 0;
    if (number == 1 || number == 4) {
        keep_tare = saved.tare == 0 || sale.one_touch_tare.load() == 1;
    } else {
        int32_t t = c_atoi(field(f, kNumber.offset, kNumber.width));
        keep_tare = saved.tare == t || sale.one_touch_tare.load() == 1;
        // A negative tare would raise the net weight the customer pays for: refused as an
        // over-limit one is.
        if (!keep_tare && (t > kTareLimit || t < 0)) return {refuse('1', '2'), true};
        wanted = t;
    }
    // A failed board command leaves the status characters as they were.
    if (!keep_tare && p_.scale->preset_tare(wanted) != 0) return {nak(), true};
    p_.scale->sale_refresh(p_.display);
    std::string reply = ack();
    if (p_.settings.set_force_fg == 0) sale.price_accept = 0;
    return {reply, true};
}

RecordDispatcher::Outcome RecordDispatcher::rezero(int, const uint8_t*) {
    if (p_.saved->load().tare != 0) return {refuse('0', '1'), true};  // no zeroing under a tare
    bool ok = p_.scale->rezero() == 0;
    s1_ = '0';
    s0_ = ok ? '0' : '1';
    return {ok ? ack() : nak(), true};
}

RecordDispatcher::Outcome RecordDispatcher::one_touch_tare(int, const uint8_t*) {
    bool ok = p_.scale->tare() == 0;
    s1_ = '0';
    s0_ = ok ? '0' : '1';
    std::string reply = ok ? ack() : nak();
    p_.sale->one_touch_tare = p_.saved->load().zero == 0 ? 1 : 0;
    return {reply, true};
}

}  // namespace tarvelo
