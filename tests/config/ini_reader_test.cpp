#include "config/ini_reader.h"

#include <gtest/gtest.h>

#include "platform/c_number.h"

namespace tarvelo {
namespace {

TEST(CAtoi, ReadsLikeTheCLibrary) {
    struct Case {
        const char* text;
        int32_t value;
    } cases[] = {
        {"42", 42},
        {"  -17x", -17},
        {"+8", 8},
        {"abc", 0},
        {"", 0},
        {"\t 12 34", 12},
        {"- 5", 0},
        {"0x1F", 0},
        {"256", 256},
        {"99999999999", 2147483647},
        {"-99999999999", -2147483647 - 1},
    };
    for (const Case& c : cases) EXPECT_EQ(c_atoi(c.text), c.value) << "'" << c.text << "'";
}

TEST(IniReader, LooksUpSectionsAndKeysAsTheProfileReaderDoes) {
    IniFile ini = IniFile::parse(
        "\xEF\xBB\xBF; a comment line\r\n"
        "[Scale]\r\n"
        "  Serial_Port =  /dev/ttyUSB0  \r\n"
        "quoted = \"  padded  \"\n"
        "single='x'\n"
        "half=\"open\n"
        "empty=\n"
        ";pipe_name=commented\n"
        "pipe_name=first\n"
        "pipe_name=second\n"
        "no equals sign here\n"
        "[ spec ]\n"
        "min_wgt_fg=0\n"
        "[scale]\n"
        "ad_type=1\n"
        "pipe_name=third\n");
    struct Case {
        const char* section;
        const char* key;
        const char* expected;
    } cases[] = {
        {"scale", "serial_port", "/dev/ttyUSB0"},  // names ignore case, values lose blanks
        {"SCALE", "QUOTED", "  padded  "},         // one pair of quotes removed, inside kept
        {"scale", "single", "x"},
        {"scale", "half", "\"open"},      // an unmatched quote stays
        {"scale", "empty", ""},           // present but empty is not the default
        {"scale", "pipe_name", "first"},  // the first match wins
        {"spec", "min_wgt_fg", "0"},      // blanks inside the brackets do not count
        {"scale", "ad_type", "1"},        // a repeated section is still searched
        {"scale", "missing", "fallback"},
        {"nosuch", "serial_port", "fallback"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ini.get(c.section, c.key, "fallback", 255), c.expected)
            << c.section << "/" << c.key;
}

TEST(IniReader, CutsValuesAndDefaultsToOneByteLessThanTheReaderSize) {
    IniFile ini = IniFile::parse("[s]\nk=1234567890\n");
    EXPECT_EQ(ini.get("s", "k", "", 7), "123456");
    EXPECT_EQ(ini.get("s", "absent", "abcdefghij", 4), "abc");
    EXPECT_EQ(ini.get("s", "k", "", 1), "");
    EXPECT_EQ(ini.get_int("s", "k", "0"), 1234567890);
}

TEST(IniReader, MissingFileIsReportedAsAbsent) {
    EXPECT_FALSE(static_cast<bool>(IniFile::load("/nonexistent/dir/tarvelo.ini")));
}

}  // namespace
}  // namespace tarvelo
