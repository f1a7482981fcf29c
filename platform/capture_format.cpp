#include "platform/capture_format.h"

#include <cinttypes>
#include <cstdio>

namespace tarvelo::capture {
namespace {

struct KindName {
    Kind kind;
    std::string_view name;
};
constexpr KindName kKinds[] = {
    {Kind::board_open, "board-open"},
    {Kind::board_gone, "board-gone"},
    {Kind::pc_to_board, "pc>board"},
    {Kind::board_to_pc, "board>pc"},
    {Kind::ecr_connect, "ecr-connect"},
    {Kind::ecr_to_scale, "ecr>scale"},
    {Kind::scale_to_ecr, "scale>ecr"},
    {Kind::ecr_disconnect, "ecr-disconnect"},
    {Kind::lost, "lost"},
    {Kind::end, "end"},
};

constexpr std::string_view kMagic = "tarvelo-capture";

// Texts from outside (a device name, a settings line) keep every byte, but none of them may
// end the line, hide in a blank or drive the terminal that shows the file.
std::string escaped(std::string_view text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7F || c == '\\' || c == ' ') {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool unescaped(std::string_view text, std::string& out) {
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 3 >= text.size() || text[i + 1] != 'x') return false;
        int hi = hex_digit(text[i + 2]), lo = hex_digit(text[i + 3]);
        if (hi < 0 || lo < 0) return false;
        out += static_cast<char>(hi * 16 + lo);
        i += 3;
    }
    return true;
}

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

bool whole_number(std::string_view text, uint64_t max, uint64_t& out) {
    if (text.empty() || text.size() > 19) return false;
    out = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        out = out * 10 + static_cast<uint64_t>(c - '0');
    }
    return out <= max;
}

Failure at_line(int line, const std::string& why) {
    return Failure{"line " + std::to_string(line) + ": " + why};
}

Result<Header> parse_header(std::string_view line) {
    std::vector<std::string_view> w = words(line);
    if (w.size() < 2 || w[0] != kMagic)
        return Failure{"line 1: not a capture (it must begin with \"tarvelo-capture\")"};
    uint64_t format = 0;
    if (!whole_number(w[1], 1000, format) || format != kFormat)
        return Failure{"line 1: capture format " + std::string(w[1]) + " is not " +
                       std::to_string(kFormat) + ", the one this program reads"};
    Header h;
    std::map<std::string, std::string*> fields{
        {"version", &h.version}, {"board", &h.board}, {"checksum", &h.checksum},
        {"start", &h.start},     {"pipe", &h.pipe},   {"settings", &h.settings}};
    for (size_t i = 2; i < w.size(); ++i) {
        size_t eq = w[i].find('=');
        if (eq == std::string_view::npos) return Failure{"line 1: a field without '='"};
        std::string key(w[i].substr(0, eq)), value;
        if (!unescaped(w[i].substr(eq + 1), value))
            return Failure{"line 1: a broken \\x escape in " + key};
        if (key == "divisor") {
            uint64_t n = 0;
            if (!whole_number(value, 1000000, n)) return Failure{"line 1: divisor is no number"};
            h.divisor = static_cast<int>(n);
        } else if (auto f = fields.find(key); f != fields.end()) {
            *f->second = value;
        }  // a field of a later program: read past, as it changes nothing replayed
    }
    if (h.board != "xon" && h.board != "letter")
        return Failure{"line 1: board must be xon or letter"};
    if (h.start != "program" && h.start != "running")
        return Failure{"line 1: start must be program or running"};
    return h;
}

Result<Record> parse_record(std::string_view line, int number) {
    std::vector<std::string_view> w = words(line);
    uint64_t us = 0;
    if (w.size() < 2 || !whole_number(w[0], UINT64_C(1) << 62, us))
        return at_line(number, "a record begins with its time in microseconds and its kind");
    if (us > static_cast<uint64_t>(kLatestUs))
        return at_line(number, "its time is later than any capture's (more than 31 years)");
    Record r;
    r.us = static_cast<int64_t>(us);
    r.line = number;
    const KindName* kind = nullptr;
    for (const KindName& k : kKinds)
        if (k.name == w[1]) kind = &k;
    if (!kind) return at_line(number, "unknown kind '" + std::string(w[1]) + "'");
    r.kind = kind->kind;
    if (carries_bytes(r.kind)) {
        if (w.size() < 3) return at_line(number, std::string(w[1]) + " without bytes");
        for (size_t i = 2; i < w.size(); ++i) {
            int hi = w[i].size() == 2 ? hex_digit(w[i][0]) : -1;
            int lo = w[i].size() == 2 ? hex_digit(w[i][1]) : -1;
            if (hi < 0 || lo < 0)
                return at_line(number, "'" + std::string(w[i]) + "' is not one byte in hex");
            r.bytes.push_back(static_cast<uint8_t>(hi * 16 + lo));
        }
        return r;
    }
    if (r.kind == Kind::lost) {
        if (w.size() != 3 || !whole_number(w[2], UINT64_C(1) << 62, r.count))
            return at_line(number, "lost takes the number of records lost");
        return r;
    }
    if (r.kind == Kind::board_open || r.kind == Kind::end) {
        if (w.size() > 3) return at_line(number, std::string(w[1]) + " takes one word at most");
        if (w.size() == 3 && !unescaped(w[2], r.text))
            return at_line(number, "a broken \\x escape");
        return r;
    }
    if (w.size() != 2) return at_line(number, std::string(w[1]) + " takes nothing after it");
    return r;
}

}  // namespace

std::string_view kind_name(Kind kind) {
    for (const KindName& k : kKinds)
        if (k.kind == kind) return k.name;
    return "?";
}

bool carries_bytes(Kind kind) {
    return kind == Kind::pc_to_board || kind == Kind::board_to_pc || kind == Kind::ecr_to_scale ||
           kind == Kind::scale_to_ecr;
}

std::string hex_text(const uint8_t* bytes, size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(length * 3);
    for (size_t i = 0; i < length; ++i) {
        if (i) out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string seconds_text(int64_t us) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRId64 ".%06" PRId64 " s", us / 1000000, us % 1000000);
    return buf;
}

std::string header_lines(const Header& h) {
    std::string out = std::string(kMagic) + " " + std::to_string(kFormat) +
                      " version=" + escaped(h.version) + " board=" + escaped(h.board) +
                      " checksum=" + escaped(h.checksum) + " start=" + escaped(h.start) +
                      " pipe=" + escaped(h.pipe);
    if (h.divisor > 0) out += " divisor=" + std::to_string(h.divisor);
    out += " settings=" + escaped(h.settings) + "\n";
    std::string_view rest = h.settings_text;
    while (!rest.empty()) {
        size_t eol = rest.find('\n');
        std::string_view line = rest.substr(0, eol);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        out += line.empty() ? "ini" : "ini ";
        // A settings line keeps its blanks: only the bytes that could break the line are escaped.
        for (unsigned char c : line) {
            if (c < 0x20 || c == 0x7F || c == '\\') {
                char buf[5];
                std::snprintf(buf, sizeof buf, "\\x%02X", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
        out += "\n";
        if (eol == std::string_view::npos) break;
        rest.remove_prefix(eol + 1);
    }
    return out;
}

std::string record_line(int64_t us, Kind kind, const uint8_t* bytes, size_t length) {
    char head[48];
    std::snprintf(head, sizeof head, "%010" PRId64 " ", us);
    std::string out = head + std::string(kind_name(kind));
    if (length > 0) out += " " + hex_text(bytes, length);
    return out + "\n";
}

std::string text_record_line(int64_t us, Kind kind, std::string_view text) {
    std::string out = record_line(us, kind, nullptr, 0);
    if (!text.empty()) out.insert(out.size() - 1, " " + escaped(text));
    return out;
}

std::string count_record_line(int64_t us, Kind kind, uint64_t count) {
    return text_record_line(us, kind, std::to_string(count));
}

Result<Capture> parse(std::string_view text) {
    Capture c;
    bool header_seen = false, records_begun = false;
    int64_t last_us = 0;
    int number = 0;
    while (!text.empty()) {
        ++number;
        size_t eol = text.find('\n');
        std::string_view line = text.substr(0, eol);
        text.remove_prefix(eol == std::string_view::npos ? text.size() : eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (!header_seen) {
            auto h = parse_header(line);
            if (!h) return h.failure();
            c.header = h.take();
            header_seen = true;
            continue;
        }
        if (line.rfind("ini", 0) == 0 && (line.size() == 3 || line[3] == ' ')) {
            if (records_begun) return at_line(number, "a settings line after the first record");
            std::string value;
            if (!unescaped(line.substr(std::min<size_t>(line.size(), 4)), value))
                return at_line(number, "a broken \\x escape");
            c.header.settings_text += value + "\n";
            continue;
        }
        size_t first = line.find_first_not_of(" \t");
        if (first == std::string_view::npos || line[first] == '#') continue;
        auto r = parse_record(line, number);
        if (!r) return r.failure();
        // The writer ends every line: a record without its end is all a crash or a full disk
        // left of it, and its bytes may stop anywhere.
        if (eol == std::string_view::npos)
            return at_line(number, "the file ends inside this record (no line end): cut short");
        if (r->us < last_us) return at_line(number, "its time is earlier than the line before");
        last_us = r->us;
        records_begun = true;
        c.records.push_back(r.take());
    }
    if (!header_seen) return Failure{"the file is empty"};
    return c;
}

}  // namespace tarvelo::capture
