#pragma once
// tarvelo's command line. Every argument is read here, before Qt sees any: the application
// object is given the program name only, so that no word of a command line is ever taken as one
// of Qt's own options (-platform, -style, ...) by accident. Anything not listed in the help is
// refused.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvelo::app {

struct CommandLine {
    enum class Action { run, help, version, check, refuse };
    Action action = Action::run;
    std::optional<std::string> settings_file;  // --config FILE
    std::optional<std::string> capture_file;   // --capture FILE
    uint64_t capture_limit_mib = 64;           // --capture-limit MIB
    std::string refusal;                       // what is wrong, for Action::refuse
};

// Reads the arguments that follow the program name. A refusal wins over everything else;
// then --help, then --version, then --check.
CommandLine parse_command_line(const std::vector<std::string>& args);

// The settings places in the order they are tried: FILE alone when one was given.
std::vector<std::string> settings_places(const CommandLine& line);

std::string help_text();
// The help's first line, which follows a refusal on standard error.
std::string usage_line();

// What an inspector compares with the version window: the program's version, the versions the
// scale and price libraries report, the scale library's checksum exactly as the version window
// shows it, and the file it was computed from.
struct SoftwareIdentity {
    std::string checksum;  // empty when the library could not read its own file
    int dravix_version = 0;
    int pellum_version = 0;
    std::string library_file;
};
SoftwareIdentity software_identity();
// The scale library's checksum as the windows show it; none when the library could not read
// its own file.
std::optional<std::string> scale_library_checksum();
std::string identity_text(const SoftwareIdentity& identity);

}  // namespace tarvelo::app
