#include "client/ecr_decoder.h"

#include <cctype>
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

// EOT STX nn, then for each field ESC and the field, then ETX.
std::vector<Slot> request_record(std::vector<Slot> fields) {
    std::vector<Slot> slots = {control(EOT), control(STX), number()};
    for (const Slot& f : fields) {
        slots.push_back(control(ESC));
        if (f.width > 0 || f.part == Part::key_pairs) slots.push_back(f);
    }
    slots.push_back(control(ETX));
    return slots;
}

const std::vector<Layout>& layouts() {
    using D = Direction;
    using K = ReplyKind;
    const Slot price = field(Part::unit_price, 6), tare = field(Part::tare, 4),
               quantity = field(Part::quantity, 4), text = field(Part::text, 13),
               closing = field(Part::control, 0);  // record 01 and 31 end with ESC ETX
    static const std::vector<Layout> table = {
        {D::request,
         "ENQ",
         "scale data; in the handshake, the CS/KW result",
         K::none,
         {control(EOT), control(ENQ)}},
        {D::request, "DC1", "show the display windows", K::none, {control(EOT), control(DC1)}},
        {D::request, "DC2", "hide the display windows", K::none, {control(EOT), control(DC2)}},
        {D::request, "00", "weight mode", K::none, request_record({})},
        {D::request, "30", "quantity mode", K::none, request_record({})},
        {D::request, "06", "rezero", K::none, request_record({})},
        {D::request, "07", "one-touch tare", K::none, request_record({})},
        {D::request, "08", "status request", K::none, request_record({})},
        {D::request, "21", "tare request", K::none, request_record({})},
        {D::request, "01", "unit price, weight mode", K::none, request_record({price, closing})},
        {D::request, "31", "unit price, quantity mode", K::none, request_record({price, closing})},
        {D::request, "03", "unit price and tare, weight mode", K::none,
         request_record({price, tare})},
        {D::request, "33", "unit price and quantity, quantity mode", K::none,
         request_record({price, quantity})},
        {D::request, "04", "unit price and text, weight mode", K::none,
         request_record({price, text})},
        {D::request, "34", "unit price and text, quantity mode", K::none,
         request_record({price, text})},
        {D::request, "05", "unit price, tare and text, weight mode", K::none,
         request_record({price, tare, text})},
        {D::request, "35", "unit price, quantity and text, quantity mode", K::none,
         request_record({price, quantity, text})},
        {D::request, "10", "CS/KW; outside the handshake status 1 0", K::none,
         request_record({field(Part::key_pairs, 0)})},
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
        case Part::text:
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
        } else if (s.part == Part::key_pairs) {
            out += "1 to 5 x (CS(4) KW(4))";
        } else {
            out += part_name(s.part) + "(" + std::to_string(s.width) + ")";
        }
    }
    const size_t n = layout.length();
    if (layout.slots.size() > 4 && layout.slots[4].part == Part::key_pairs)
        return out + ", " + std::to_string(n + 8) + " to " + std::to_string(n + 40) + " bytes";
    return out + ", " + std::to_string(n) + (n == 1 ? " byte" : " bytes");
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
        case Part::text:
            f.text = item.bytes;
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

bool is_end(Direction d, char c) {
    return d == Direction::reply ? ends_reply(c) : c == DC1 || c == DC2 || c == ENQ || c == ETX;
}

// What the scale makes of a request's number field: atoi's reading (blanks, a sign, digits).
int scale_reads(const std::string& field) {
    size_t i = 0;
    while (i < field.size() && std::isspace(static_cast<unsigned char>(field[i]))) ++i;
    const bool minus = i < field.size() && field[i] == '-';
    if (i < field.size() && (field[i] == '-' || field[i] == '+')) ++i;
    int v = 0;
    for (; i < field.size() && is_digit(field[i]); ++i) v = v * 10 + (field[i] - '0');
    return minus ? -v : v;
}

// Record 10's pairs: 1 to 5 groups of 4 + 4 hexadecimal digits, either case.
bool take_pairs(const std::string& frame, size_t at, size_t width, Frame& f) {
    auto hex = [](char c) { return is_lower_hex(c) || (c >= 'A' && c <= 'F'); };
    for (size_t pos = at; pos < at + width; ++pos)
        if (!hex(frame[pos])) {
            const size_t k = pos - at;
            fail(f, pos,
                 "byte " + std::to_string(pos) + " is " + shown_byte(frame[pos]) +
                     ", not a hexadecimal digit of the " + (k % 8 < 4 ? "CS" : "KW") + " of pair " +
                     std::to_string(k / 8 + 1));
            return false;
        }
    // The scale counts whole groups: more than 5 are refused, an incomplete last one is ignored.
    if (width / 8 > 5) {
        fail(f, at + 40,
             std::to_string(width / 8) +
                 " CS/KW pairs: the scale takes 1 to 5 and "
                 "answers more with NAK");
        return false;
    }
    const std::string count = std::to_string(width) + (width == 1 ? " character" : " characters");
    if (width == 0 || width % 8 != 0) {
        fail(f, at + width / 8 * 8,
             count + " of CS/KW: the pairs come in whole groups of 8 (CS 4, KW 4)" +
                 (width < 8 ? "; without a whole one the scale answers NAK"
                            : "; the scale ignores the incomplete last group"));
        return false;
    }
    for (size_t k = 0; k < width; k += 4)
        keep(f, Item{k % 8 == 0 ? Part::cs : Part::kw, at + k, frame.substr(at + k, 4),
                     static_cast<int32_t>(k / 8 + 1)});
    return true;
}

// Holds `frame` (the bytes up to its end byte) against `layout`, byte by byte.
void walk(const Layout& layout, const std::string& frame, Frame& f) {
    f.name = layout.name;
    f.title = layout.title;
    f.kind = layout.kind;
    f.layout = layout_text(layout);
    // Record 10's run of pairs is as long as the frame makes it.
    const bool pairs = layout.slots.size() > 4 && layout.slots[4].part == Part::key_pairs;
    size_t pairs_width = 0;
    if (pairs) {
        size_t end = frame.size();
        if (end > 5 && is_end(layout.direction, frame[end - 1])) --end;
        pairs_width = end > 5 ? end - 5 : 0;
    }
    const size_t length = layout.length() + pairs_width;
    const std::string sizes =
        std::to_string(frame.size()) + " bytes, its layout has " + std::to_string(length);
    // A record the scale serves but of the wrong length is refused with 1 0; only record 08
    // is known by its number alone.
    const std::string refusal = layout.direction == Direction::reply || layout.slots.size() < 3 ? ""
                                : layout.name == std::string("08")
                                    ? " (the scale answers record 08 whatever its length)"
                                    : " (the scale answers NAK, status 1 0)";
    size_t at = 0;
    for (const Slot& slot : layout.slots) {
        if (slot.part == Part::key_pairs) {
            if (!take_pairs(frame, at, pairs_width, f)) return;
            at += pairs_width;
            continue;
        }
        for (size_t k = 0; k < slot.width; ++k) {
            const size_t pos = at + k;
            if (pos >= frame.size())
                return fail(f, pos,
                            "too short: the bytes end after " + sizes + ", ending with " +
                                shown_byte(layout.slots.back().byte) + refusal);
            const char c = frame[pos];
            // The end byte comes early, even inside a text, which may hold any other byte.
            if (pos + 1 == frame.size() && frame.size() < length && is_end(layout.direction, c))
                return fail(f, pos,
                            "too short: " + shown_byte(c) + " at byte " + std::to_string(pos) +
                                " ends it after " + sizes + refusal);
            std::string why = wanted(layout, slot, k, c);
            if (why.empty()) continue;
            if (pos + 1 == length && frame.size() > length)
                return fail(f, pos,
                            "too long: byte " + std::to_string(pos) + " is " + shown_byte(c) +
                                " where the layout ends with " + shown_byte(slot.byte) + "; " +
                                sizes + refusal);
            std::string where;
            if (is_number_part(slot.part) || slot.part == Part::random_number)
                where = " (" + bytes_range(at, slot.width) + ")";
            if (is_number_part(slot.part) && layout.direction == Direction::request)
                where += "; the scale reads the field as " +
                         std::to_string(scale_reads(frame.substr(at, slot.width)));
            return fail(
                f, pos,
                "byte " + std::to_string(pos) + " is " + shown_byte(c) + ", " + why + where);
        }
        const std::string bytes = frame.substr(at, slot.width);
        if (slot.width > 0) keep(f, Item{slot.part, at, bytes, value_of(slot.part, bytes)});
        at += slot.width;
    }
}

const Layout* find_layout(Direction direction, const std::string& name) {
    for (const Layout& l : layouts())
        if (l.direction == direction && name == l.name) return &l;
    return nullptr;
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

// Bytes after the frame's end belong to the next frame: this one is malformed with them.
void refuse_trailing(Frame& f, const std::string& bytes, const char* next) {
    if (bytes.size() <= f.length) return;
    const size_t more = bytes.size() - f.length;
    if (!f.well_formed()) {
        f.problem += "; " + std::to_string(more) +
                     (more == 1 ? " more byte follows, which " : " more bytes follow, which ") +
                     next;
        return;
    }
    if (f.direction == Direction::reply) f.kind = ReplyKind::malformed;
    fail(f, f.length,
         "trailing bytes: the frame ends at byte " + std::to_string(f.length - 1) + " (" +
             shown_byte(bytes[f.length - 1]) + ") and " + std::to_string(more) +
             (more == 1 ? " more byte follows" : " more bytes follow") + ", which " + next);
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
        case Part::text:
            return "text";
        case Part::cs:
            return "CS";
        case Part::kw:
            return "KW";
        case Part::key_pairs:
            return "CS/KW pairs";
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
        walk(*find_layout(Direction::reply, first == ACK ? "ACK" : "NAK"), frame, f);
    } else if (first != STX) {
        fail(f, 0, "byte 0 is " + shown_byte(first) + ": a reply is ACK, NAK or a record (STX)");
    } else if (end < bytes.size() && frame.back() != ETX) {
        fail(f, end,
             "byte " + std::to_string(end) + " is " + shown_byte(frame.back()) +
                 " inside a record, which ends with ETX");
    } else if (frame.size() < 3 || !is_digit(frame[1]) || !is_digit(frame[2])) {
        fail(f, frame.size() > 1 && is_digit(frame[1]) ? 2 : 1,
             "no record number: STX is followed by two digits");
    } else if (const Layout* layout = reply_layout(frame); layout == nullptr) {
        f.kind = ReplyKind::unknown_record;
        f.name = frame.substr(1, 2);
        fail(f, 1, "record " + f.name + " is not a reply the scale sends");
    } else {
        walk(*layout, frame, f);
        if (!f.well_formed()) f.kind = ReplyKind::malformed;
    }
    refuse_trailing(f, bytes, "a client reads as the next reply");
    return f;
}

size_t request_end(const std::string& bytes, size_t from) {
    size_t i = from;
    while (i < bytes.size() && i - from < kMaxRequest) {
        const char c = bytes[i++];
        if (c == DC1 || c == DC2 || c == ENQ || c == ETX) break;
    }
    return i;
}

Frame decode_request(const std::string& bytes) {
    Frame f;
    f.direction = Direction::request;
    if (bytes.empty()) {
        f.problem = "no bytes";
        return f;
    }
    f.length = request_end(bytes);
    const std::string frame = bytes.substr(0, f.length);
    const std::string second = frame.size() > 1 ? std::string(1, frame[1]) : "";
    if (frame[0] != EOT) {
        fail(f, 0,
             "byte 0 is " + shown_byte(frame[0]) +
                 ": a request begins with EOT, and the scale answers nothing else");
    } else if (frame.size() < 2) {
        fail(f, 1, "the bytes end after EOT");
    } else if (frame[1] == ENQ || frame[1] == DC1 || frame[1] == DC2) {
        walk(*find_layout(Direction::request, shown_byte(frame[1])), frame, f);
    } else if (frame[1] != STX) {
        fail(f, 1,
             "byte 1 is " + shown_byte(frame[1]) +
                 ": after EOT comes STX, ENQ, DC1 or DC2, and the scale answers nothing else");
    } else if (frame.size() < 4 || !is_digit(frame[2]) || !is_digit(frame[3])) {
        fail(f, frame.size() > 2 && is_digit(frame[2]) ? 3 : 2,
             "no record number: STX is followed by two digits (the scale answers NAK, status 1 "
             "0)");
    } else if (const Layout* layout = find_layout(Direction::request, frame.substr(2, 2));
               layout == nullptr) {
        f.name = frame.substr(2, 2);
        fail(
            f, 2,
            "record " + f.name + " is not a request the scale serves (it answers NAK, status 1 0)");
    } else {
        walk(*layout, frame, f);
    }
    refuse_trailing(f, bytes, "the scale reads as its next request");
    return f;
}

Frame decode_frame(const std::string& bytes) {
    return !bytes.empty() && bytes[0] == EOT ? decode_request(bytes) : decode_reply(bytes);
}

}  // namespace kestrin
