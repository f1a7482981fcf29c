#include "tests/protocol_doc/document_blocks.h"

#include <cctype>
#include <cstdio>
#include <sstream>

namespace tarvelo::test {
namespace {

// Keys of tarvelo.ini that a set-up line may name, and nothing else: a misspelt key must not
// pass for a setting the block relies on.
bool known_setting(const std::string& key) {
    return key == "verify" || key == "min_wgt_fg" || key == "auto_clear_fg" ||
           key == "set_force_fg";
}

bool is_hex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

struct Fence {
    bool open = false;
    std::string info;
    int line = 0;
};

// Splits the text of `line` after its arrow into pieces and the meaning; false with *why.
bool parse_bytes(const std::string& text, Step* step, std::string* why) {
    size_t i = 0;
    while (i < text.size()) {
        char c = text[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
        } else if (c == '#') {
            size_t from = text.find_first_not_of(' ', i + 1);
            step->meaning = from == std::string::npos ? "" : text.substr(from);
            return true;
        } else if (c == '"') {
            size_t end = text.find('"', i + 1);
            if (end == std::string::npos) return *why = "a quote is not closed", false;
            step->pieces.push_back({Piece::Kind::bytes, text.substr(i + 1, end - i - 1), {}});
            i = end + 1;
        } else if (c == '{') {
            size_t end = text.find('}', i);
            if (end == std::string::npos) return *why = "a { is not closed", false;
            std::istringstream words(text.substr(i + 1, end - i - 1));
            std::string kind, value;
            words >> kind >> value;
            if (kind == "R" && value.empty())
                step->pieces.push_back({Piece::Kind::random, {}, {}});
            else if ((kind == "CS" || kind == "KW") && value.size() == 4)
                step->pieces.push_back(
                    {kind == "CS" ? Piece::Kind::cs : Piece::Kind::kw, {}, value});
            else
                return *why = "unknown placeholder {" + kind + " " + value + "}", false;
            i = end + 1;
        } else if (i + 1 < text.size() && is_hex(c) && is_hex(text[i + 1]) &&
                   (i + 2 == text.size() ||
                    std::isspace(static_cast<unsigned char>(text[i + 2])))) {
            step->pieces.push_back({Piece::Kind::bytes,
                                    std::string(1, char(std::stoi(text.substr(i, 2), nullptr, 16))),
                                    {}});
            i += 2;
        } else {
            return *why = "not a byte: '" + text.substr(i, 8) + "'", false;
        }
    }
    return true;
}

bool parse_setup(const std::string& text, ExchangeBlock* block, std::string* why) {
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        size_t eq = word.find('=');
        if (eq == std::string::npos) return *why = "setup word without '=': " + word, false;
        std::string key = word.substr(0, eq), value = word.substr(eq + 1);
        if (key == "board" && (value == "xon" || value == "letter"))
            block->board = value;
        else if (known_setting(key))
            block->settings[key] = value;
        else
            return *why = "unknown setup word: " + word, false;
    }
    return true;
}

// Calls `take(info, line number, text)` for every line inside a fenced block.
template <class Take>
void fenced_lines(const std::string& document, Take take) {
    std::istringstream in(document);
    std::string text;
    Fence fence;
    for (int line = 1; std::getline(in, text); ++line) {
        if (text.rfind("```", 0) == 0) {
            fence = fence.open ? Fence{} : Fence{true, text.substr(3), line};
            if (fence.open) take(fence.info, line, std::string(), true);
            continue;
        }
        if (fence.open) take(fence.info, line, text, false);
    }
}

}  // namespace

std::vector<ExchangeBlock> exchange_blocks(const std::string& document, std::string* error) {
    std::vector<ExchangeBlock> blocks;
    std::string why;
    int where = 0;
    fenced_lines(
        document, [&](const std::string& info, int line, const std::string& text, bool opening) {
            if (!why.empty() || info.rfind("exchange ", 0) != 0) return;
            if (opening) {
                blocks.push_back({});
                blocks.back().name = info.substr(9);
                blocks.back().line = line;
                return;
            }
            ExchangeBlock& block = blocks.back();
            std::string body = text.substr(std::min(text.find_first_not_of(' '), text.size()));
            Step step;
            step.line = line;
            where = line;
            if (body.empty() || body[0] == '#') return;
            if (body.rfind("setup:", 0) == 0) {
                parse_setup(body.substr(6), &block, &why);
            } else if (body.rfind("board:", 0) == 0 || body.rfind("display:", 0) == 0) {
                const bool board = body[0] == 'b';
                step.kind = board ? Step::Kind::board : Step::Kind::display;
                std::string rest = body.substr(board ? 6 : 8);
                size_t hash = rest.find('#');
                if (hash != std::string::npos) step.meaning = rest.substr(hash + 1);
                rest = rest.substr(0, hash);
                rest.erase(rest.find_last_not_of(' ') + 1);
                rest.erase(0, rest.find_first_not_of(' '));
                if (board) {
                    step.argument = rest;
                } else if (rest == "text" || rest.rfind("text ", 0) == 0) {
                    // The text as it stands after one blank: leading blanks are part of it.
                    step.argument = rest.size() > 5 ? rest.substr(5) : "";
                } else {
                    why = "display: names no text";
                }
                block.steps.push_back(step);
            } else if (body.rfind("->", 0) == 0 || body.rfind("<-", 0) == 0) {
                step.kind = body[0] == '-' ? Step::Kind::send : Step::Kind::expect;
                if (parse_bytes(body.substr(2), &step, &why)) block.steps.push_back(step);
            } else {
                why = "a line that is neither setup:, board:, display:, -> nor <-";
            }
        });
    if (!why.empty()) {
        *error = "line " + std::to_string(where) + ": " + why;
        return {};
    }
    return blocks;
}

std::vector<CsKwVector> cs_kw_vectors(const std::string& document, std::string* error) {
    std::vector<CsKwVector> rows;
    fenced_lines(document,
                 [&](const std::string& info, int line, const std::string& text, bool opening) {
                     if (opening || info != "cskw-vectors" || !error->empty()) return;
                     std::string body = text.substr(0, text.find('#'));
                     std::istringstream words(body);
                     CsKwVector v;
                     std::string r;
                     if (!(words >> v.value)) return;  // a blank or comment line
                     if (!(words >> r >> v.cs >> v.kw) || r.size() != 2 || !is_hex(r[0]) ||
                         !is_hex(r[1]) || v.cs.size() != 4 || v.kw.size() != 4) {
                         *error = "line " + std::to_string(line) + ": not a CS/KW vector";
                         return;
                     }
                     v.line = line;
                     v.random_number = std::stoi(r, nullptr, 16);
                     rows.push_back(v);
                 });
    return error->empty() ? rows : std::vector<CsKwVector>{};
}

std::string request_bytes(const Step& step, int random_number,
                          std::string (*cs_kw)(const std::string& value, int r)) {
    std::string out;
    for (const Piece& p : step.pieces) {
        if (p.kind == Piece::Kind::bytes) out += p.bytes;
        if (p.kind == Piece::Kind::cs) out += cs_kw(p.value, random_number).substr(0, 4);
        if (p.kind == Piece::Kind::kw) out += cs_kw(p.value, random_number).substr(4, 4);
    }
    return out;
}

size_t reply_length(const Step& step) {
    size_t n = 0;
    for (const Piece& p : step.pieces) n += p.kind == Piece::Kind::bytes ? p.bytes.size() : 2;
    return n;
}

bool match_reply(const Step& step, const std::string& got, int* random_number) {
    if (got.size() != reply_length(step)) return false;
    size_t at = 0;
    for (const Piece& p : step.pieces) {
        if (p.kind == Piece::Kind::random) {
            const std::string r = got.substr(at, 2);
            for (char c : r)
                if (!std::isdigit(static_cast<unsigned char>(c)) && (c < 'a' || c > 'f'))
                    return false;
            *random_number = std::stoi(r, nullptr, 16);
            at += 2;
            continue;
        }
        if (got.compare(at, p.bytes.size(), p.bytes) != 0) return false;
        at += p.bytes.size();
    }
    return true;
}

std::string hex_string(const std::string& bytes) {
    std::string out;
    char b[4];
    for (unsigned char c : bytes) {
        std::snprintf(b, sizeof b, "%s%02x", out.empty() ? "" : " ", c);
        out += b;
    }
    return out;
}

}  // namespace tarvelo::test
