#include "client/ecrctl_commands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "client/ecr_requests.h"
#include "client/kestrin_protocol.h"

namespace kestrin {

const char* const kEcrctlUsage =
    "Usage: ecrctl [OPTIONS] COMMAND [ARGS]\n"
    "       ecrctl [OPTIONS] -      (commands from standard input, one per line)\n"
    "       ecrctl [--pipe NAME] [--timeout MS] --replay FILE [--speed X | --sync SOCKET]\n"
    "\n"
    "Connects to the scale's ECR pipe ($XDG_RUNTIME_DIR/NAME when that is the user's private\n"
    "directory, else /tmp/tarvelo-UID/NAME; NAME defaults to kv2170), sends one request per\n"
    "command and prints the request and the reply as hex and decoded. decode and cskw work\n"
    "offline and never open the pipe.\n"
    "\n"
    "Options:\n"
    "  --pipe NAME        the pipe's name\n"
    "  --timeout MS       the longest wait for a whole reply, in milliseconds, 1 to 600000\n"
    "                     (default 8000: the scale's slowest reply, to a zero, tare or preset\n"
    "                     tare that the board leaves unanswered while it settles, takes\n"
    "                     about 6.1 s; a board command the operator started first adds its\n"
    "                     own)\n"
    "  --stop-on-error    in a script, end at the first command that is not positive\n"
    "  --dry-run          print the requests each command would send, as hex and decoded, and\n"
    "                     open no pipe\n"
    "  --version          print the version and exit\n"
    "  --help, -h         print this help and exit\n"
    "  -                  read the commands from standard input, one per line (Scripts below)\n"
    "  --replay FILE      play the ECR's side of a capture (tarvelo --capture FILE): each\n"
    "                     request at its recorded time, each reply held against the recorded\n"
    "                     one and every one that differs shown decoded. The CS/KW challenge's\n"
    "                     random number may differ: record 10 is then sent with the pairs for\n"
    "                     this scale's number. Exit code 0 when every reply was as captured,\n"
    "                     1 when any differed, 2 for an unreadable capture, 3 without a pipe\n"
    "  --speed X          with --replay: X times faster than captured (0.1 to 100)\n"
    "  --sync SOCKET      with --replay: follow the clock of boardsim --replay FILE --sync\n"
    "                     SOCKET, so that requests keep their place among the board's bytes\n"
    "\n"
    "Commands:\n"
    "  enq                       request scale data (EOT ENQ)\n"
    "  show | hide               show or hide the display windows (EOT DC1 / EOT DC2)\n"
    "  status                    record 08: the reason of the last refusal (record 09)\n"
    "  weight-mode | quantity-mode   records 00 and 30\n"
    "  zero | tare | get-tare    records 06, 07 and 21 (get-tare: record 22 with the tare)\n"
    "  price UNIT [tare GRAMS] [text TEXT]\n"
    "                            weight-mode unit price: record 01, with tare 03, with text 04,\n"
    "                            with both 05\n"
    "  qprice UNIT [qty N] [text TEXT]\n"
    "                            quantity-mode unit price: records 31, 33, 34, 35 likewise\n"
    "  record NN [FIELD...]      any record: EOT STX NN, ESC before each field, ETX (records 01\n"
    "                            and 31 end with an empty field: record 01 000150 \"\")\n"
    "  raw HEX                   raw bytes in one write, e.g. raw 04 05. The scale ends a request\n"
    "                            at its first DC1, DC2, ENQ or ETX, or after 255 bytes, and\n"
    "                            answers only one that begins EOT and then STX, ENQ, DC1 or DC2.\n"
    "                            Bytes that hold several requests go out as they are, and a\n"
    "                            reply is read for each one answered; bytes after the last end\n"
    "                            are an unfinished request, whose reply is awaited until the\n"
    "                            time-out\n"
    "  handshake CS              the CS/KW handshake: ENQ; when the scale answers with a CS/KW\n"
    "                            request, record 10 with the CS and KW for it, then ENQ for the\n"
    "                            result\n"
    "  read CS                   what kestrin's Read does: ENQ, the handshake when the scale asks\n"
    "                            for it and then ENQ for the scale data; after a NAK (or a\n"
    "                            refused record 10) record 08 to show why\n"
    "  sleep MS                  wait (in scripts)\n"
    "  decode [--request | --reply] HEX...\n"
    "                            offline: one request or reply, each field with its offset, its\n"
    "                            meaning and its unit (grams, pieces, the smallest currency unit\n"
    "                            per kg or per piece), each status with what sets it. EOT first\n"
    "                            is a request, anything else a reply, unless stated. A malformed\n"
    "                            frame is told with the first byte that breaks its layout\n"
    "  cskw CS RANDOM            offline: the CS/KW pair for the CS and the random number of the\n"
    "                            scale's CS/KW request, every step of the rule shown, and the\n"
    "                            record 10 that carries it\n"
    "\n"
    "Values (anything else is refused before the pipe is opened, with exit code 2):\n"
    "  UNIT   unit price in the currency's smallest unit, 0 to 999999 (150 is 1.50), or with a\n"
    "         decimal point and exactly two decimals, 0.00 to 9999.99 (1.99 is 199)\n"
    "  GRAMS  preset tare in whole grams, 0 to 9999\n"
    "  N      quantity in whole pieces, 0 to 9999\n"
    "  TEXT   article text of 0 to 13 bytes (a letter beyond ASCII takes 2 or more in UTF-8),\n"
    "         no control bytes; padded with blanks to 13. In a script quote it: text \"RED "
    "APPLE\"\n"
    "  NN     record number, two digits 00 to 99; each FIELD printable, no control bytes\n"
    "  HEX    bytes as pairs of hex digits, blanks allowed\n"
    "  CS     at least 4 characters; the first 4 are read as hexadecimal digits (any other\n"
    "         character makes the value 0, as in kestrin)\n"
    "  MS     whole milliseconds, 0 to 600000\n"
    "  RANDOM the random number of the scale's CS/KW request (bytes 5-6 of its record 11): two\n"
    "         hexadecimal digits, e.g. 4d\n"
    "After the unit price, 'tare'/'qty' and 'text' may come in either order, each once.\n"
    "\n"
    "Scripts (-): one command per line; a # outside double quotes starts a comment. Every\n"
    "command runs and the exit code is the highest of all; --stop-on-error ends at the first\n"
    "command whose code is not 0. After a reply that did not arrive whole (time-out, connection\n"
    "closed, over-long) the connection is closed and the next command opens a new one, so a\n"
    "late reply is never read as the answer to a later request. Bytes that wait on the\n"
    "connection when a request is due (more than a whole reply, or a reply nobody waited for) are\n"
    "shown as left over from the previous request and count as an unrecognised reply; the\n"
    "request then goes out on a new connection.\n"
    "\n"
    "Exit code: 0 positive reply (ACK, scale data, tare, a valid CS/KW result, status 00);\n"
    "1 negative or unrecognised reply (NAK, another status, an invalid result, a CS/KW\n"
    "request, bytes left over); 2 refused command, or the pipe cannot be opened or written;\n"
    "3 no complete reply (none within the time-out, the connection closed, or over-long).\n"
    "decode: 0 well-formed, 1 malformed, 2 not hex. cskw and --dry-run: 0, or 2 when refused.\n";

namespace {

const char* const kUnitRule =
    "give the currency's smallest unit, 0 to 999999 (150 is 1.50), or two decimals, 0.00 to "
    "9999.99";
const char* const kTareRule = "give whole grams, 0 to 9999";
const char* const kQuantityRule = "give whole pieces, 0 to 9999";
const char* const kTextRule =
    "give 0 to 13 bytes without control bytes (DC1, DC2, ENQ and ETX would end the record early)";

std::string quoted(const std::string& s) {
    std::string out = "'";
    for (unsigned char c : s) {
        if (c >= 0x20 && c != 0x7F) {
            out.push_back(static_cast<char>(c));
        } else {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out + "'";
}

ParsedCommand refuse(std::string why) {
    return {std::nullopt, std::move(why)};
}
ParsedCommand sends(std::string bytes, size_t replies = 1) {
    Command c;
    c.bytes = std::move(bytes);
    c.replies = replies;
    return {c, {}};
}

// price UNIT [tare GRAMS] [text TEXT] and qprice UNIT [qty N] [text TEXT].
ParsedCommand parse_price(const std::vector<std::string>& w) {
    const bool weight_mode = w[0] == "price";
    const std::string own = weight_mode ? "tare" : "qty";
    const std::string other = weight_mode ? "qty" : "tare";
    const std::string takes = w[0] + " takes 'UNIT', then '" + own +
                              (weight_mode ? " GRAMS" : " N") + "' and 'text TEXT'";
    if (w.size() < 2) return refuse(w[0] + ": the unit price is missing: " + kUnitRule);
    auto unit = parse_unit_price(w[1]);
    if (!unit) return refuse(w[0] + ": unit price " + quoted(w[1]) + " does not fit: " + kUnitRule);
    std::optional<int> second;
    std::optional<std::string> text;
    for (size_t i = 2; i < w.size(); i += 2) {
        const std::string& key = w[i];
        if (key == other)
            return refuse(w[0] + ": '" + other + "' belongs to " +
                          (weight_mode ? "qprice" : "price") + "; " + takes);
        if (key != own && key != "text")
            return refuse(w[0] + ": unknown word " + quoted(key) + "; " + takes);
        const bool is_text = key == "text";
        if (is_text ? text.has_value() : second.has_value())
            return refuse(w[0] + ": '" + key + "' is given twice");
        const char* rule = is_text ? kTextRule : weight_mode ? kTareRule : kQuantityRule;
        if (i + 1 >= w.size()) return refuse(w[0] + ": '" + key + "' needs its value: " + rule);
        const std::string& value = w[i + 1];
        if (is_text) {
            if (!text_fits(value))
                return refuse(w[0] + ": text " + quoted(value) + " (" +
                              std::to_string(value.size()) + " bytes) does not fit: " + rule);
            text = value;
        } else {
            second = parse_whole(value, weight_mode ? kMaxTare : kMaxQuantity);
            if (!second)
                return refuse(w[0] + ": " + (weight_mode ? "tare " : "quantity ") + quoted(value) +
                              " does not fit: " + rule);
        }
    }
    return sends(weight_mode ? price_record(*unit, second, text)
                             : quantity_price_record(*unit, second, text));
}

// The CS of handshake, read and cskw (w[1]): at least 4 characters, the first 4 used, as
// kestrin takes it. The refusal, or empty.
std::string take_cs(const std::vector<std::string>& w, Command& c) {
    if (w.size() < 2) return w[0] + ": the CS is missing: at least 4 characters";
    const size_t n = text_characters(w[1]);
    if (n < kCsCharacters)
        return w[0] + ": CS " + quoted(w[1]) + " has " + std::to_string(n) +
               " characters: give at least 4 (the first 4 are read as hexadecimal digits)";
    c.cs = first_characters(w[1], kCsCharacters);
    return "";
}

}  // namespace

const std::vector<std::string>& ecrctl_commands() {
    static const std::vector<std::string> names = {
        "enq",  "show",      "hide",     "status", "weight-mode", "quantity-mode",
        "zero", "tare",      "get-tare", "price",  "qprice",      "record",
        "raw",  "handshake", "read",     "sleep",  "decode",      "cskw"};
    return names;
}

const std::vector<std::string>& ecrctl_options() {
    static const std::vector<std::string> names = {
        "--pipe", "--timeout", "--stop-on-error", "--dry-run", "--version", "--help", "-h",
        "-",      "--request", "--reply",         "--replay",  "--speed",   "--sync"};
    return names;
}

ParsedCommand parse_command(const std::vector<std::string>& w) {
    if (w.empty()) return refuse("no command (see --help)");
    const std::string& cmd = w[0];
    struct Simple {
        const char* name;
        std::string bytes;
    };
    const Simple simple[] = {
        {"enq", enq_request()},
        {"show", {EOT, DC1}},
        {"hide", {EOT, DC2}},
        {"status", status_request()},
        {"weight-mode", record("00", {})},
        {"quantity-mode", record("30", {})},
        {"zero", record("06", {})},
        {"tare", record("07", {})},
        {"get-tare", record("21", {})},
    };
    for (const Simple& s : simple) {
        if (cmd != s.name) continue;
        if (w.size() > 1)
            return refuse(cmd + " takes no value; " + quoted(w[1]) + " is one word too many");
        return sends(s.bytes);
    }
    if (cmd == "price" || cmd == "qprice") return parse_price(w);
    if (cmd == "record") {
        if (w.size() < 2 || w[1].size() != 2 ||
            !std::isdigit(static_cast<unsigned char>(w[1][0])) ||
            !std::isdigit(static_cast<unsigned char>(w[1][1])))
            return refuse("record: the record number is two digits, 00 to 99");
        std::vector<std::string> fields(w.begin() + 2, w.end());
        for (size_t i = 0; i < fields.size(); ++i)
            if (has_control_byte(fields[i]))
                return refuse("record: field " + std::to_string(i + 1) + " " + quoted(fields[i]) +
                              " holds a control byte, which would break the frame; send such bytes "
                              "with raw HEX");
        return sends(record(w[1], fields));
    }
    if (cmd == "raw") {
        std::string joined;
        for (size_t i = 1; i < w.size(); ++i) joined += w[i];
        auto bytes = parse_hex(joined);
        if (!bytes)
            return refuse("raw: " + quoted(joined) +
                          " is not bytes: give pairs of hex digits, blanks allowed");
        // One reply for each request the scale answers; bytes after the last end wait for a
        // reply that does not come, which the time-out then reports (and the connection goes).
        RequestsSent sent = requests_in(*bytes);
        return sends(*bytes, std::max<size_t>(1, sent.answered + (sent.unfinished ? 1 : 0)));
    }
    if (cmd == "handshake" || cmd == "read") {
        if (w.size() > 2) return refuse(cmd + ": " + quoted(w[2]) + " is one word too many");
        Command c;
        c.kind = cmd == "read" ? Command::Kind::read : Command::Kind::handshake;
        if (std::string why = take_cs(w, c); !why.empty()) return refuse(why);
        return {c, {}};
    }
    if (cmd == "cskw") {
        Command c;
        c.kind = Command::Kind::cskw;
        if (std::string why = take_cs(w, c); !why.empty()) return refuse(why);
        if (w.size() != 3 || w[2].size() != 2 ||
            !std::isxdigit(static_cast<unsigned char>(w[2][0])) ||
            !std::isxdigit(static_cast<unsigned char>(w[2][1])))
            return refuse(
                "cskw: give the CS and the random number of the scale's CS/KW request, "
                "two hexadecimal digits as the scale sends them (bytes 5-6 of its "
                "record 11), e.g. cskw 1A2B 4d");
        c.random_number = static_cast<uint8_t>(hex_value(w[2]));
        return {c, {}};
    }
    if (cmd == "decode") {
        Command c;
        c.kind = Command::Kind::decode;
        size_t first = 1;
        if (w.size() > 1 && (w[1] == "--request" || w[1] == "--reply")) {
            c.direction = w[1] == "--request" ? Direction::request : Direction::reply;
            first = 2;
        }
        std::string joined;
        for (size_t i = first; i < w.size(); ++i) joined += w[i];
        auto bytes = parse_hex(joined);
        if (!bytes)
            return refuse("decode: " + quoted(joined) +
                          " is not bytes: give pairs of hex digits, blanks allowed, after "
                          "--request or --reply if the direction is not to be told by the first "
                          "byte");
        c.bytes = *bytes;
        return {c, {}};
    }
    if (cmd == "sleep") {
        std::optional<int> ms = w.size() == 2 ? parse_whole(w[1], kMaxSleepMs) : std::nullopt;
        if (!ms) return refuse("sleep: give one wait in whole milliseconds, 0 to 600000");
        Command c;
        c.kind = Command::Kind::sleep;
        c.ms = *ms;
        return {c, {}};
    }
    return refuse("unknown command " + quoted(cmd) + " (see --help)");
}

std::optional<std::vector<std::string>> split_line(const std::string& line, std::string* error) {
    std::vector<std::string> words;
    std::string word;
    bool quoted_part = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted_part = !quoted_part;
            any = true;
        } else if (c == '#' && !quoted_part) {
            break;
        } else if (std::isspace(static_cast<unsigned char>(c)) && !quoted_part) {
            if (any) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word.push_back(c);
            any = true;
        }
    }
    if (quoted_part) {
        if (error) *error = "a double quote is not closed";
        return std::nullopt;
    }
    if (any) words.push_back(word);
    return words;
}

}  // namespace kestrin
