#include "client/ecr_decoder.h"

#include <cstdio>

#include "client/kestrin_protocol.h"

namespace kestrin {
namespace {

// One run of bytes of a layout: a fixed byte, the record number or a field of fixed width.
struct Slot {
    Part part;
    size_t width;
    char byte;  // control and constant: the byte itself
};

struct Layout {
    Direction direction;
    const char* name;
    const char* title;
    ReplyKind kind;
    std::vector<Slot> slots;

    size_t length() const {
        size_t n = 0;
        for (const Slot& s : slots) n += s.width;
        return n;
    }
};

Slot control(char c) {
    return {Part::control, 1, c};
}
Slot number() {
    return {Part::record_number, 2, 0};
}
Slot constant(char c) {
    return {Part::constant, 1, c};
}
Slot field(Part part, size_t width) {
    return {part, width, 0};
}

std::vector<Slot> data_record(Part value) {
    return {control(STX), number(),
            control(ESC), constant('3'),
            control(ESC), field(value, 5),
            control(ESC), field(Part::unit_price, 6),
            control(ESC), field(Part::total_price, 6),
            control(ETX)};
}

const std::vector<Layout>& layouts() {
    using D = Direction;
    using K = ReplyKind;
    static const std::vector<Layout> table = {
        {D::reply, "ACK", "positive reply", K::ack, {control(ACK)}},
        {D::reply, "NAK", "refused; record 08 tells why", K::nak, {control(NAK)}},
        {D::reply, "02", "scale data, weight mode", K::scale_data, data_record(Part::weight)},
        {D::reply, "32", "scale data, quantity mode", K::quantity_data,
         data_record(Part::quantity)},
        {D::reply,
         "22",
         "tare",
         K::tare,
         {control(STX), number(), control(ESC), constant('3'), control(ESC), field(Part::tare, 5),
          control(ETX)}},
        {D::reply,
         "09",
         "status",
         K::status,
         {control(STX), number(), control(ESC), field(Part::s1, 1), field(Part::s0, 1),
          control(ETX)}},
        {D::reply,
         "11",
         "CS/KW request",
         K::cs_kw_request,
         {control(STX), number(), control(ESC), constant('2'), field(Part::random_number, 2),
          control(ETX)}},
        {D::reply,
         "11",
         "CS/KW result",
         K::cs_kw_result,
         {control(STX), number(), control(ESC), field(Part::result, 1), control(ETX)}},
    };
    return table;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_lower_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f');
}
bool is_number_part(Part p) {
    return p == Part::weight || p == Part::quantity || p == Part::tare || p == Part::unit_price ||
           p == Part::total_price;
}

std::string shown_byte(char c) {
    switch (c) {
        case STX:
            return "STX";
        case ETX:
            return "ETX";
        case EOT:
            return "EOT";
        case ENQ:
            return "ENQ";
        case ACK:
            return "ACK";
        case DC1:
            return "DC1";
        case DC2:
            return "DC2";
        case NAK:
            return "NAK";
        case ESC:
            return "ESC";
    }
    const auto u = static_cast<unsigned char>(c);
    char buf[16];
    std::snprintf(buf, sizeof buf, u >= 0x20 && u < 0x7F ? "'%c'" : "0x%02X", u);
    return buf;
}

std::string bytes_range(size_t from, size_t width) {
    return width == 1 ? "byte " + std::to_string(from)
                      : "bytes " + std::to_string(from) + "-" + std::to_string(from + width - 1);
}

// What the byte at `k` of a slot must be, for a person; empty when `c` may stand there.
std::string wanted(const Layout& layout, const Slot& slot, size_t k, char c) {
    switch (slot.part) {
        case Part::control:
            return c == slot.byte ? "" : "where the layout has " + shown_byte(slot.byte);
        case Part::record_number:
            return c == layout.name[k] ? "" : "in the record number";
        case Part::constant:
            return c == slot.byte ? "" : std::string("where the layout has \"") + slot.byte + "\"";
        case Part::random_number:
            return is_lower_hex(c) ? "" : "not a lower-case hexadecimal digit of the random number";
        case Part::s1:
        case Part::s0:
        case Part::result:
            return "";
        default:
            break;
    }
    // A number: zero-filled digits, a minus sign only in the first place of a reply's field.
    if (is_digit(c) || (c == '-' && k == 0 && layout.direction == Direction::reply)) return "";
    return "not a digit of the " + part_name(slot.part);
}

int32_t value_of(Part part, const std::string& s) {
    if (part == Part::random_number) return static_cast<int32_t>(hex_value(s));
    if (!is_number_part(part)) return 0;
    int32_t v = 0;
    for (char c : s)
        if (c != '-') v = v * 10 + (c - '0');
    return s[0] == '-' ? -v : v;
}

std::string layout_text(const Layout& layout) {
    std::string out;
    for (const Slot& s : layout.slots) {
        if (!out.empty()) out += ' ';
        if (s.part == Part::control) {
            out += shown_byte(s.byte);
        } else if (s.part == Part::record_number) {
            out += std::string("\"") + layout.name + "\"";
        } else if (s.part == Part::constant) {
            out += std::string("\"") + s.byte + "\"";
        } else {
            out += part_name(s.part) + "(" + std::to_string(s.width) + ")";
        }
    }
    return out + ", " + std::to_string(layout.length()) +
           (layout.length() == 1 ? " byte" : " bytes");
}

void keep(Frame& f, const Item& item) {
    f.items.push_back(item);
    const int32_t v = item.value;
    switch (item.part) {
        case Part::weight:
            f.weight = v;
            break;
        case Part::quantity:
            f.quantity = v;
            break;
        case Part::tare:
            f.tare = v;
            break;
        case Part::unit_price:
            f.unit_price = v;
            break;
        case Part::total_price:
            f.total_price = v;
            break;
        case Part::random_number:
            f.random_number = static_cast<uint8_t>(v);
            break;
        case Part::s1:
            f.s1 = item.bytes[0];
            break;
        case Part::s0:
            f.s0 = item.bytes[0];
            break;
        case Part::result:
            f.result = item.bytes[0];
            break;
        default:
            break;
    }
}

void fail(Frame& f, size_t at, std::string problem) {
    f.problem = std::move(problem);
    f.problem_at = at;
    f.items.clear();
}

// Holds `frame` (the bytes up to its end byte) against `layout`, byte by byte.
void walk(const Layout& layout, const std::string& frame, Frame& f) {
    f.name = layout.name;
    f.title = layout.title;
    f.kind = layout.kind;
    f.layout = layout_text(layout);
    const size_t length = layout.length();
    const std::string sizes =
        std::to_string(frame.size()) + " bytes, its layout has " + std::to_string(length);
    size_t at = 0;
    for (const Slot& slot : layout.slots) {
        for (size_t k = 0; k < slot.width; ++k) {
            const size_t pos = at + k;
            if (pos >= frame.size())
                return fail(f, pos,
                            "too short: the bytes end after " + sizes + ", ending with ETX");
            const char c = frame[pos];
            std::string why = wanted(layout, slot, k, c);
            if (why.empty()) continue;
            if (pos + 1 == frame.size() && frame.size() < length && ends_reply(c))
                return fail(f, pos,
                            "too short: " + shown_byte(c) + " at byte " + std::to_string(pos) +
                                " ends it after " + sizes);
            if (pos + 1 == length && frame.size() > length)
                return fail(f, pos,
                            "too long: byte " + std::to_string(pos) + " is " + shown_byte(c) +
                                " where the layout ends with " + shown_byte(slot.byte) + "; " +
                                sizes);
            return fail(f, pos,
                        "byte " + std::to_string(pos) + " is " + shown_byte(c) + ", " + why +
                            (is_number_part(slot.part) || slot.part == Part::random_number
                                 ? " (" + bytes_range(at, slot.width) + ")"
                                 : ""));
        }
        const std::string bytes = frame.substr(at, slot.width);
        keep(f, Item{slot.part, at, bytes, value_of(slot.part, bytes)});
        at += slot.width;
    }
}

// The record 11 layouts share their number: the length tells them apart, else the "2".
const Layout* reply_layout(const std::string& frame) {
    std::vector<const Layout*> candidates;
    for (const Layout& l : layouts())
        if (l.direction == Direction::reply && frame.compare(1, 2, l.name) == 0)
            candidates.push_back(&l);
    if (candidates.empty()) return nullptr;
    for (const Layout* l : candidates)
        if (l->length() == frame.size()) return l;
    for (const Layout* l : candidates)
        for (size_t i = 0, at = 0; i < l->slots.size(); at += l->slots[i++].width)
            if (l->slots[i].part == Part::constant && at < frame.size() &&
                frame[at] == l->slots[i].byte)
                return l;
    return candidates.back();
}

}  // namespace

std::string part_name(Part part, char byte) {
    switch (part) {
        case Part::control:
            return shown_byte(byte);
        case Part::record_number:
            return "record number";
        case Part::constant:
            return "constant";
        case Part::weight:
            return "weight";
        case Part::quantity:
            return "quantity";
        case Part::tare:
            return "tare";
        case Part::unit_price:
            return "unit price";
        case Part::total_price:
            return "total price";
        case Part::random_number:
            return "random number";
        case Part::s1:
            return "s1";
        case Part::s0:
            return "s0";
        case Part::result:
            return "result";
    }
    return "?";
}

Frame decode_reply(const std::string& bytes) {
    Frame f;
    if (bytes.empty()) {
        f.problem = "no bytes";
        return f;
    }
    size_t end = 0;
    while (end < bytes.size() && !ends_reply(bytes[end])) ++end;
    f.length = end < bytes.size() ? end + 1 : bytes.size();
    const std::string frame = bytes.substr(0, f.length);
    f.kind = ReplyKind::unknown;
    const char first = frame[0];
    if (first == ACK || first == NAK) {
        walk(layouts()[first == ACK ? 0 : 1], frame, f);
    } else if (first != STX) {
        fail(f, 0, "byte 0 is " + shown_byte(first) + ": a reply is ACK, NAK or a record (STX)");
    } else if (end < bytes.size() && frame.back() != ETX) {
        fail(f, end,
             "byte " + std::to_string(end) + " is " + shown_byte(frame.back()) +
                 " inside a record, which ends with ETX");
    } else if (frame.size() < 3 || !is_digit(frame[1]) || !is_digit(frame[2])) {
        fail(f, frame.size() < 2 || is_digit(frame[1]) ? 2 : 1,
             "no record number: STX is followed by two digits");
    } else if (const Layout* layout = reply_layout(frame); layout == nullptr) {
        f.kind = ReplyKind::unknown_record;
        f.name = frame.substr(1, 2);
        fail(f, 1, "record " + f.name + " is not a reply the scale sends");
    } else {
        walk(*layout, frame, f);
        if (!f.well_formed()) f.kind = ReplyKind::malformed;
    }
    if (f.well_formed() && bytes.size() > f.length) {
        f.kind = ReplyKind::malformed;
        const size_t more = bytes.size() - f.length;
        fail(f, f.length,
             "trailing bytes: the reply ends at byte " + std::to_string(f.length - 1) + " (" +
                 shown_byte(frame.back()) + ") and " + std::to_string(more) +
                 (more == 1 ? " more byte follows" : " more bytes follow"));
    }
    return f;
}

}  // namespace kestrin
