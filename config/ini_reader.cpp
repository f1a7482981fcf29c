#include "config/ini_reader.h"

#include <cctype>

#include "platform/c_number.h"
#include "platform/regular_file.h"

namespace tarvelo {
namespace {

std::string_view trim(std::string_view s) {
    auto blank = [](char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

}  // namespace

IniFile IniFile::parse(std::string_view text) {
    IniFile ini;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
    Section* current = nullptr;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            size_t close = line.find(']');
            if (close == std::string_view::npos) continue;
            ini.sections_.push_back(Section{std::string(trim(line.substr(1, close - 1))), {}});
            current = &ini.sections_.back();
            continue;
        }
        size_t eq = line.find('=');
        if (current == nullptr || eq == std::string_view::npos) continue;
        std::string_view value = trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        current->entries.push_back(
            Entry{std::string(trim(line.substr(0, eq))), std::string(value)});
    }
    return ini;
}

Result<IniFile> IniFile::load(const std::string& path) {
    Result<std::string> content = read_regular_file(path, kMaxBytes);
    if (!content) return content.failure();
    return parse(*content);
}

std::string IniFile::get(std::string_view section, std::string_view key, std::string_view fallback,
                         size_t reader_size) const {
    std::string_view found = fallback;
    bool done = false;
    for (const Section& s : sections_) {
        if (done || !same_name(s.name, section)) continue;
        for (const Entry& e : s.entries) {
            if (same_name(e.key, key)) {
                found = e.value;
                done = true;
                break;
            }
        }
    }
    size_t limit = reader_size == 0 ? 0 : reader_size - 1;
    return std::string(found.substr(0, limit));
}

int32_t IniFile::get_int(std::string_view section, std::string_view key,
                         std::string_view fallback) const {
    return c_atoi(get(section, key, fallback, 31));
}

}  // namespace tarvelo
