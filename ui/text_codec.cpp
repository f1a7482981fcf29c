#include "ui/text_codec.h"

namespace tarvelo::ui {
namespace {

// The length of the well-formed UTF-8 character at s[i] (1 to 4), 0 when the bytes there are
// not one; `unfinished` tells a character cut short by the end of the text from a wrong one.
size_t utf8_character(const std::string& s, size_t i, bool& unfinished) {
    unfinished = false;
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return 1;
    size_t length;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) low = 0xA0;   // no overlong forms
        if (c == 0xED) high = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) low = 0x90;
        if (c == 0xF4) high = 0x8F;  // nothing above U+10FFFF
    } else {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if (i + k >= s.size()) {
            unfinished = true;
            return 0;
        }
        const auto b = static_cast<unsigned char>(s[i + k]);
        if (k == 1 ? (b < low || b > high) : (b & 0xC0) != 0x80) return 0;
    }
    return length;
}

// 0x80..0x9F of Windows-1252; the rest of the upper half is Latin-1.
const char16_t kCp1252High[32] = {0x20AC, 0xFFFD, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0xFFFD, 0x017D, 0xFFFD,
                                  0xFFFD, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0xFFFD, 0x017E, 0x0178};

}  // namespace

QString decode_text(const std::string& bytes) {
    // How much of the text is UTF-8, and whether it holds any character beyond ASCII.
    size_t i = 0;
    bool multibyte = false, unfinished = false;
    while (i < bytes.size()) {
        const size_t n = utf8_character(bytes, i, unfinished);
        if (n == 0) break;
        multibyte = multibyte || n > 1;
        i += n;
    }
    // A text cut to its field's bytes may end inside a character ("x€€" in six bytes): the
    // part that is left is dropped. Only when the text is plainly UTF-8, though: it holds a
    // character of several bytes, or the cut one has more than its first byte. A single
    // byte 0xC0..0xF4 at the end of an otherwise plain text is a Windows-1252 letter ("café").
    const size_t tail = bytes.size() - i;
    if (unfinished && (multibyte || tail > 1)) return QString::fromUtf8(bytes.data(), qsizetype(i));
    if (i == bytes.size()) return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
    QString out;
    out.reserve(static_cast<qsizetype>(bytes.size()));
    for (char ch : bytes) {
        auto c = static_cast<unsigned char>(ch);
        out.append(c >= 0x80 && c < 0xA0 ? QChar(kCp1252High[c - 0x80]) : QChar(c));
    }
    return out;
}

}  // namespace tarvelo::ui
