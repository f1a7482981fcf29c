#include "client/capture_reader.h"

#include <cinttypes>
#include <cstdio>
#include <sstream>

namespace kestrin {
namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool time_of(const std::string& word, int64_t* us) {
    if (word.empty() || word.size() > 18) return false;
    int64_t v = 0;
    for (char c : word) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + (c - '0');
    }
    *us = v;
    return true;
}

}  // namespace

std::string capture_seconds(int64_t us) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%" PRId64 ".%06" PRId64 " s", us / 1000000, us % 1000000);
    return buf;
}

bool read_ecr_capture(const std::string& text, EcrCapture* out, std::string* error) {
    std::istringstream in(text);
    std::string line;
    int number = 0;
    int64_t last = 0;
    bool header = false;
    auto fail = [&](const std::string& why) {
        *error = "line " + std::to_string(number) + ": " + why;
        return false;
    };
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream words(line);
        std::vector<std::string> w;
        for (std::string word; words >> word;) w.push_back(word);
        if (!header) {
            if (w.size() < 2 || w[0] != "tarvelo-capture")
                return fail("not a capture (it must begin with \"tarvelo-capture\")");
            if (w[1] != "1") return fail("capture format " + w[1] + " is not 1, the one read here");
            for (const std::string& field : w)
                if (field.rfind("start=", 0) == 0) out->start = field.substr(6);
            header = true;
            continue;
        }
        if (line.rfind("ini", 0) == 0 && (line.size() == 3 || line[3] == ' ')) continue;
        if (w.empty() || w[0][0] == '#') continue;
        // The writer ends every line: a record without its end is all a crash or a full disk
        // left of it, and its bytes may stop anywhere.
        if (in.eof() && !text.empty() && text.back() != '\n')
            return fail("the file ends inside this record (no line end): cut short");
        CaptureEvent e;
        e.line = number;
        if (w.size() < 2 || !time_of(w[0], &e.us))
            return fail("a record begins with its time in microseconds and its kind");
        // As the scale's own reader: a replay's arithmetic on the time never overflows.
        if (e.us > 1000000000000000)
            return fail("its time is later than any capture's (more than 31 years)");
        if (e.us < last) return fail("its time is earlier than the line before");
        last = e.us;
        const std::string& kind = w[1];
        bool carries = false;
        if (kind == "ecr-connect") {
            e.kind = CaptureEvent::Kind::connect;
        } else if (kind == "ecr-disconnect") {
            e.kind = CaptureEvent::Kind::disconnect;
        } else if (kind == "ecr>scale") {
            e.kind = CaptureEvent::Kind::request;
            carries = true;
        } else if (kind == "scale>ecr") {
            e.kind = CaptureEvent::Kind::reply;
            carries = true;
        } else if (kind == "lost") {
            out->notes.push_back("line " + std::to_string(number) + " (" + capture_seconds(e.us) +
                                 "): the capture lost records here; what follows may not replay");
            continue;
        } else if (kind == "pc>board" || kind == "board>pc" || kind == "board-open" ||
                   kind == "board-gone" || kind == "end") {
            continue;
        } else {
            return fail("unknown kind '" + kind + "'");
        }
        if (carries && w.size() < 3) return fail(kind + " without bytes");
        if (!carries && w.size() > 2) return fail(kind + " takes nothing after it");
        for (size_t i = 2; i < w.size(); ++i) {
            int hi = w[i].size() == 2 ? hex_digit(w[i][0]) : -1;
            int lo = w[i].size() == 2 ? hex_digit(w[i][1]) : -1;
            if (hi < 0 || lo < 0) return fail("'" + w[i] + "' is not one byte in hex");
            e.bytes.push_back(static_cast<char>(hi * 16 + lo));
        }
        out->events.push_back(std::move(e));
    }
    if (!header) {
        *error = "the file is empty";
        return false;
    }
    return true;
}

}  // namespace kestrin
