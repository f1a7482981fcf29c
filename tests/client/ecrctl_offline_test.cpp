// ecrctl for people who debug an integration: decode, cskw and --dry-run work without a scale,
// every exchange shows the request decoded, and every place that lists the commands and
// options lists the same ones.

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

#include "client/ecr_decoder.h"
#include "client/ecr_replies.h"
#include "client/ecr_requests.h"
#include "client/ecrctl_commands.h"
#include "client/ecrctl_session.h"
#include "client/frame_text.h"
#include "client/kestrin_protocol.h"
#include "tests/client/client_fakes.h"

namespace kestrin {
namespace {

using test::run_ecrctl;

// The bytes of every "-> " line of ecrctl's output, in order.
std::string requests_printed(const std::string& out) {
    std::string bytes;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("-> ", 0) == 0) bytes += parse_hex(line.substr(3)).value_or("?");
    return bytes;
}

// A dry run prints exactly the bytes the command sends to a scale, each request well-formed
// by the decoder, and opens no pipe.
TEST(EcrctlDryRun, PrintsTheBytesTheCommandSends) {
    const std::vector<std::vector<std::string>> commands = {
        {"enq"},
        {"show"},
        {"hide"},
        {"status"},
        {"weight-mode"},
        {"quantity-mode"},
        {"zero"},
        {"tare"},
        {"get-tare"},
        {"price", "150"},
        {"price", "1.50", "tare", "200"},
        {"price", "150", "text", "APPLES"},
        {"price", "1.50", "text", "PEARS", "tare", "5"},
        {"qprice", "250"},
        {"qprice", "250", "qty", "3"},
        {"qprice", "2.50", "text", "EGGS"},
        {"qprice", "250", "qty", "9999", "text", "EGGS"},
        {"record", "01", "000150", ""},
        {"raw", "04 05 04 11"},
        {"handshake", "1A2B"},  // the first request; the rest depends on the scale
        {"read", "1A2B"},
    };
    for (const auto& command : commands) {
        std::vector<std::string> dry = {"--dry-run"};
        dry.insert(dry.end(), command.begin(), command.end());
        test::EcrctlRun printed = run_ecrctl(dry);
        test::EcrctlRun sent = run_ecrctl(command);
        EXPECT_EQ(printed.exit_code, kPositive) << command[0] << printed.err;
        EXPECT_EQ(printed.connects, 0) << command[0];
        EXPECT_EQ(hex_dump(requests_printed(printed.out)), hex_dump(sent.sent)) << printed.out;
        EXPECT_EQ(printed.out.find("malformed"), std::string::npos) << printed.out;
    }
    test::EcrctlRun script = run_ecrctl({"--dry-run", "-"}, {}, "price 150\nsleep 600000\nenq\n");
    EXPECT_EQ(script.connects, 0);
    EXPECT_EQ(hex_dump(requests_printed(script.out)),
              hex_dump(price_record(150, std::nullopt, std::nullopt) + enq_request()));
}

TEST(Ecrctl, EveryExchangeShowsTheRequestDecodedAsWellAsTheReply) {
    EXPECT_EQ(run_ecrctl({"price", "150"}).out,
              "-> 04 02 30 31 1B 30 30 30 31 35 30 1B 03\n"
              "   record 01 (unit price, weight mode): unit_price=150\n"
              "<- 06\n"
              "   ACK\n");
    const std::string two = run_ecrctl({"raw", "04 05 04 05"}, {std::string("\x06\x15")}).out;
    EXPECT_NE(two.find("   request 1 of 2: ENQ (scale data"), std::string::npos) << two;
}

// The vectors the scale's own verification tests accept (CS 1A2B against 4d), and those
// kestrin's tests work by hand.
TEST(EcrctlCskw, ThePairForACsAndARandomNumber) {
    struct Case {
        const char* cs;
        const char* random;
        const char* pair;
    } cases[] = {
        {"1A2B", "4d", "a2b13295"}, {"1a2b", "4D", "a2b13295"}, {"1A2B", "07", "1a2ba54c"},
        {"1A2B", "a5", "ac689532"}, {"1A2B", "00", "1a2ba652"}, {"1A2B5", "00", "1a2ba652"},
    };
    for (const Case& c : cases) {
        test::EcrctlRun r = run_ecrctl({"cskw", c.cs, c.random});
        EXPECT_EQ(r.exit_code, kPositive) << c.cs << " " << c.random << r.err;
        EXPECT_EQ(r.connects, 0);
        EXPECT_NE(r.out.find(std::string("  pair       ") + c.pair), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("  record 10  " + hex_dump(cs_kw_record(c.pair))), std::string::npos)
            << r.out;
    }
    // A CS that is not hexadecimal is 0, as kestrin reads it, and the output says so.
    test::EcrctlRun zero = run_ecrctl({"cskw", "zzzz", "37"});
    EXPECT_NE(zero.out.find("  pair       " + cs_kw_chars("0000", 0x37)), std::string::npos);
    EXPECT_NE(zero.out.find("not a hexadecimal digit"), std::string::npos) << zero.out;

    for (const std::vector<std::string>& refused :
         std::vector<std::vector<std::string>>{{"cskw", "1A2B"},
                                               {"cskw", "1A2B", "4"},
                                               {"cskw", "1A2B", "4g"},
                                               {"cskw", "1A2B", "04d"},
                                               {"cskw", "1A2B", "4d", "x"},
                                               {"cskw", "123", "4d"},
                                               {"cskw"}}) {
        test::EcrctlRun r = run_ecrctl(refused);
        EXPECT_EQ(r.exit_code, kRefused) << refused.size();
        EXPECT_NE(r.err.find("cskw"), std::string::npos) << r.err;
    }
}

TEST(EcrctlDecode, OfflineWithTheExitCodeOfItsVerdict) {
    struct Case {
        std::vector<std::string> args;
        int exit_code;
        const char* first_line;
    } cases[] = {
        {{"decode", hex_dump(test::kData1234)}, kPositive, "reply, 26 bytes: record 02"},
        {{"decode", "0405"}, kPositive, "request, 2 bytes: ENQ"},
        {{"decode", "--request", "04", "05"}, kPositive, "request, 2 bytes: ENQ"},
        {{"decode", "--reply", "04 05"}, kNegative, "reply, 2 bytes: unrecognised reply"},
        {{"decode", "--request", "06"}, kNegative, "request, 1 byte: malformed request"},
        {{"decode", "04 02 30 31 03"}, kNegative, "request, 5 bytes: malformed request record 01"},
        {{"decode", "02 30 39 1B 32 30 03 06"}, kNegative, "reply, 8 bytes: malformed record 09"},
        {{"decode", "zz"}, kRefused, ""},
        {{"decode", "--reply"}, kRefused, ""},
        {{"decode"}, kRefused, ""},
    };
    for (const Case& c : cases) {
        test::EcrctlRun r = run_ecrctl(c.args);
        EXPECT_EQ(r.exit_code, c.exit_code) << c.args.back() << r.out << r.err;
        EXPECT_EQ(r.connects, 0) << c.args.back();
        EXPECT_EQ(r.out.rfind(c.first_line, 0), 0u) << r.out;
    }
    // In a script it sits beside requests and costs no connection of its own.
    test::EcrctlRun script = run_ecrctl({"-"}, {}, "decode 06\nenq\n");
    EXPECT_EQ(script.connects, 1);
    EXPECT_NE(script.out.find("reply, 1 byte: ACK"), std::string::npos) << script.out;
}

// Where ecrctl's commands and options are told to a person. Each lists every one the program
// takes, and no other. One more source is one more line: its path and how it lists them.
enum class Format {
    help,      // "Options:" and "Commands:" blocks; an entry's first words up to two blanks
    man,       // the tag line after each .TP under .SH OPTIONS and .SH COMMANDS
    markdown,  // tables whose first column is headed "Option" or "Command", `names` in it
};
struct Source {
    const char* path;  // from the source tree; empty: `ecrctl --help`
    Format format;
};
const Source kSources[] = {
    {"", Format::help},
    {"packaging/man/ecrctl.1", Format::man},
    {"README.md", Format::markdown},
    {"docs/ecr-protocol.md", Format::markdown},
};

// What a source says of its commands and options: their words, and each entry whole as a
// person reads its synopsis ("price UNIT [tare GRAMS] [text TEXT]"), so that no value or
// keyword of a command differs between them either.
struct Listing {
    std::set<std::string> names, entries;
};

// An entry with its alternatives parted by " | " (a comma does what "|" does) and single blanks.
std::string synopsis(const std::string& entry) {
    std::string spaced;
    for (char c : entry) spaced += c == ',' ? std::string(" |") : std::string(1, c);
    std::istringstream words(spaced);
    std::string out, word;
    while (words >> word) out += (out.empty() ? "" : " ") + word;
    return out;
}

// The command and option words of one entry: "show | hide", "--help, -h",
// "decode [--request | --reply] HEX...".
void add_names(const std::string& entry, Listing& listing) {
    listing.entries.insert(synopsis(entry));
    std::set<std::string>& names = listing.names;
    std::string spaced;  // a comma parts alternatives as "|" does; brackets mark nothing
    for (char c : entry)
        spaced += c == ',' ? std::string(" |") : c == '[' || c == ']' ? " " : std::string(1, c);
    std::istringstream words(spaced);
    std::string word;
    bool first = true, alternative = false;
    while (words >> word) {
        if (word == "|") {
            alternative = true;
            continue;
        }
        if (first || alternative || word[0] == '-') names.insert(word);
        first = alternative = false;
    }
}

// What a roff tag line shows: the macro's arguments run together, quotes and \- resolved.
std::string roff_text(const std::string& line) {
    std::string out;
    bool quoted = false;
    for (size_t i = line.find(' '); i != std::string::npos && i < line.size(); ++i) {
        const char c = line[i];
        if (c == '"') {
            quoted = !quoted;
        } else if (c == '\\' && i + 1 < line.size() && line[i + 1] == '-') {
            out += '-';
            ++i;
        } else if (c != ' ' || quoted) {
            out += c;  // a blank outside quotes only parts the arguments
        }
    }
    return out;
}

Listing listed(const std::string& text, Format format) {
    Listing names;
    std::istringstream lines(text);
    bool inside = false, tag = false;
    for (std::string line; std::getline(lines, line);) {
        switch (format) {
            case Format::help:
                if (line == "Options:" || line == "Commands:") {
                    inside = true;
                } else if (line.empty()) {
                    inside = false;
                } else if (inside && line.size() > 2 && line.rfind("  ", 0) == 0 &&
                           line[2] != ' ') {
                    add_names(line.substr(2, line.find("  ", 2) - 2), names);
                }
                break;
            case Format::man:
                if (line.rfind(".SH", 0) == 0) {
                    inside = line == ".SH OPTIONS" || line == ".SH COMMANDS";
                } else if (inside && line == ".TP") {
                    tag = true;
                } else if (tag) {
                    add_names(roff_text(line), names);
                    tag = false;
                }
                break;
            case Format::markdown: {
                if (line.rfind("|", 0) != 0) {
                    inside = false;
                    break;
                }
                size_t end = 1;
                while (end < line.size() && !(line[end] == '|' && line[end - 1] != '\\')) ++end;
                std::string words;
                for (size_t i = 1; i < end; ++i)
                    if (line[i] != '`' && !(line[i] == '\\' && line[i + 1] == '|'))
                        words += line[i];
                if (words == " Option " || words == " Command ") {
                    inside = true;
                } else if (inside && words.find("---") == std::string::npos) {
                    add_names(words, names);
                }
                break;
            }
        }
    }
    return names;
}

TEST(EcrctlDocs, EverySourceListsEveryCommandAndOption) {
    std::set<std::string> program(ecrctl_commands().begin(), ecrctl_commands().end());
    program.insert(ecrctl_options().begin(), ecrctl_options().end());
    std::set<std::string> help;  // the entries as --help, the first source, shows them
    for (const Source& source : kSources) {
        std::string text;
        if (*source.path == '\0') {
            text = run_ecrctl({"--help"}).out;
        } else {
            std::ifstream file(std::string(SOURCE_DIR "/") + source.path);
            ASSERT_TRUE(file.good()) << source.path;
            text.assign(std::istreambuf_iterator<char>(file), {});
        }
        const Listing listing = listed(text, source.format);
        const std::set<std::string>& names = listing.names;
        std::string missing, extra;
        for (const std::string& n : program)
            if (!names.count(n)) missing += " " + n;
        for (const std::string& n : names)
            if (!program.count(n)) extra += " " + n;
        const std::string where = *source.path ? source.path : "ecrctl --help";
        EXPECT_EQ(missing, "") << where << " does not list these";
        EXPECT_EQ(extra, "") << where << " lists these, which ecrctl does not take";
        if (*source.path == '\0') {
            help = listing.entries;
        } else {
            for (const std::string& e : help)
                EXPECT_TRUE(listing.entries.count(e)) << where << " does not show: " << e;
            for (const std::string& e : listing.entries)
                EXPECT_TRUE(help.count(e)) << where << " shows what --help does not: " << e;
        }
    }
    // The program's own lists are what it takes.
    for (const std::string& command : ecrctl_commands())
        EXPECT_EQ(parse_command({command}).refusal.find("unknown command"), std::string::npos)
            << command;
    for (const std::string& option : ecrctl_options()) {
        test::EcrctlRun r = option == "--request" || option == "--reply"
                                ? run_ecrctl({"decode", option, "06"})
                                : run_ecrctl({option});
        EXPECT_EQ(r.err.find("unknown option"), std::string::npos) << option << r.err;
    }
}

}  // namespace
}  // namespace kestrin
