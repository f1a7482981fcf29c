#pragma once
// Lines on standard error. Much of what they name comes from outside (a settings file, the
// command line, the environment): a control byte in it must neither cut the line short (a NUL)
// nor end it and forge the next one, nor drive the terminal it is shown on.

#include <string>
#include <string_view>

namespace tarvelo {

// The text with every byte below 0x20 and 0x7F written as \xNN; other bytes stay as they are.
std::string printable(std::string_view text);

// Writes the text, made printable, and a newline to standard error as one whole line.
void error_line(std::string_view text);

}  // namespace tarvelo
