// tarvelo: the price-computing retail scale.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "app/command_line.h"
#include "app/installation_check.h"
#include "app/tarvelo_app.h"
#include "platform/error_line.h"
#include "platform/output_lines.h"

namespace {

using tarvelo::app::CommandLine;

// Standard output was closed when the program started (and now goes to /dev/null).
bool g_stdout_closed = false;

// --help and --version: the text on standard output; a text that could not be written whole
// (a full disk, a closed pipe, no standard output at all) is a failure, never a silent success.
int print(const std::string& text) {
    if (g_stdout_closed) return 1;
    tarvelo::standard_output().write(text);
    bool flushed = tarvelo::standard_output().flush(5000);
    return flushed && tarvelo::standard_output().dropped() == 0 ? 0 : 1;
}

int print_identity() {
    tarvelo::app::SoftwareIdentity id = tarvelo::app::software_identity();
    if (id.checksum.empty()) {
        tarvelo::error_line("tarvelo: Failed to get scale module checksum!");
        return 1;
    }
    return print(tarvelo::app::identity_text(id));
}

}  // namespace

int main(int argc, char** argv) {
    // Started with a standard descriptor closed (as some service starters do), the first file
    // the program opens would take its number, and traces or errors would land in it.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
            ::open("/dev/null", O_RDWR | O_CLOEXEC);
            g_stdout_closed = g_stdout_closed || fd == 1;
        }
    }
    // A vanished ECR or a closed standard output (a log collector that went away) must never
    // kill the scale: the failed write is reported where it happens, or dropped (traces).
    std::signal(SIGPIPE, SIG_IGN);
    CommandLine line = tarvelo::app::parse_command_line({argv + 1, argv + argc});
    int code = 0;
    switch (line.action) {
        case CommandLine::Action::help:
            code = print(tarvelo::app::help_text());
            break;
        case CommandLine::Action::version:
            code = print_identity();
            break;
        case CommandLine::Action::check: {
            // Line by line as each is known: the board's frames take up to a few seconds.
            bool written = !g_stdout_closed;
            code =
                tarvelo::app::check_installation(settings_places(line), [&](const std::string& t) {
                    written = std::puts(t.c_str()) >= 0 && std::fflush(stdout) == 0 && written;
                });
            if (!written) code = 1;
            break;
        }
        case CommandLine::Action::refuse:
            tarvelo::error_line("tarvelo: " + line.refusal);
            tarvelo::error_line(tarvelo::app::usage_line());
            code = 2;
            break;
        case CommandLine::Action::run:
            // A capture that cannot be written is said before anything starts: a technician
            // must not find out at the desk that the shop's session was never recorded.
            if (line.capture_file) {
                tarvelo::TrafficCapture& capture = tarvelo::app::process_capture();
                capture.set_limit(line.capture_limit_mib << 20);
                if (auto started = capture.start(*line.capture_file, true); !started) {
                    tarvelo::error_line("tarvelo: cannot capture: " + started.error());
                    code = 2;
                    break;
                }
            }
            code = tarvelo::app::CTarveloApp().InitInstance(argv[0], settings_places(line));
            break;
    }
    tarvelo::app::end_process(code);
}
