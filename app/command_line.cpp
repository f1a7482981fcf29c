#include "app/command_line.h"

#include <filesystem>
#include <system_error>

#include "config/settings.h"
#include "libs/dravix.h"
#include "libs/pellum.h"
#include "platform/module_path.h"

namespace tarvelo::app {

std::string usage_line() {
    return "Usage: tarvelo [--config FILE] [--check] [--capture FILE [--capture-limit MIB]] "
           "[--version] [-h|--help]";
}

std::string help_text() {
    return usage_line() +
           "\n"
           "\n"
           "The price-computing retail scale: reads weight, tare and stability from the\n"
           "weighing board on the serial line serial_port, shows the display bar and the\n"
           "customer window, and serves one ECR at a time on the pipe pipe_name.\n"
           "\n"
           "Options:\n"
           "  --config FILE   read the settings from FILE instead of the places below\n"
           "  --check         check the installation without a window: the open-file limit,\n"
           "                  the settings file, the board's device, that no other program\n"
           "                  holds it, the board's weight frames, the scale library's\n"
           "                  checksum and the ECR socket; one line per check, ok or FAIL\n"
           "                  with what to do; exit 0 only if every check passed\n"
           "  --capture FILE  besides its normal work, record every byte on the board line\n"
           "                  and on the ECR link into FILE (emptied first), with its time,\n"
           "                  for replaying at a desk (boardsim --replay, ecrctl --replay);\n"
           "                  refused with exit status 2 when FILE cannot be written\n"
           "  --capture-limit MIB  end the capture when the file reaches MIB mebibytes,\n"
           "                  1 to 4096 (default 64; a board streaming 10 frames a second\n"
           "                  fills about 5 MiB an hour)\n"
           "  --version       print the software identity (program version, the versions of\n"
           "                  the scale and price libraries, the scale library's checksum as\n"
           "                  the version window shows it) and exit; no board, no window\n"
           "  -h, --help      print this text and exit\n"
           "\n"
           "Settings file (tarvelo.ini), the first regular file of:\n"
           "  ./tarvelo.ini      in the current directory\n"
           "  /etc/tarvelo.ini   system-wide\n"
           "Without one the scale names each place and why it was passed over (missing, a\n"
           "directory, a FIFO, a device), says \"Could not find tarvelo.ini\" and exits with\n"
           "255.\n"
           "\n"
           "ECR pipe: a Unix-domain socket named pipe_name (default kv2170) in\n"
           "$XDG_RUNTIME_DIR when that is an absolute path to a directory of the user's own\n"
           "with no group or other access, else in /tmp/tarvelo-UID/ (UID the user's\n"
           "number; a private directory, mode 0700).\n"
           "Event log: log_YYYYMMDDhhmmss.txt files in the current directory.\n"
           "Capture while running: SIGUSR2 starts a capture into\n"
           "capture_YYYYMMDDhhmmss.txt in the current directory (beside the event log);\n"
           "the next SIGUSR2 ends the capture that runs, whichever way it began.\n"
           "\n"
           "Environment:\n"
           "  XDG_RUNTIME_DIR          where the ECR pipe's socket is made (above)\n"
           "  QT_QPA_PLATFORM          the windows' platform; offscreen runs without a screen\n"
           "  QT_ENABLE_HIGHDPI_SCALING  0 unless set: the windows keep the settings' pixels\n"
           "                           on a scaled desktop\n"
           "  TARVELO_TIME_DIVISOR=N   shortens the boot screens' 8 seconds N times\n"
           "  TARVELO_SCREENSHOT_DIR=DIR  on SIGUSR1, saves both display windows into DIR\n"
           "\n"
           "Exit status: 0 after the display bar was closed (by the operator, also with the\n"
           "boot window's Exit after a failed start-up sequence, or by SIGTERM, SIGINT or\n"
           "SIGHUP); 1 when the main window's start-up failed (\"Scale initialize failed!\",\n"
           "\"Failed to start scale!\", \"Failed to get scale module checksum!\", \"Create\n"
           "Thread Error!\") or too few file descriptors were left to start, or a --check\n"
           "that failed; 2 for a refused command line; 255 without a settings file.\n";
}

CommandLine parse_command_line(const std::vector<std::string>& args) {
    CommandLine line;
    bool help = false, version = false, check = false, options_end = false, limit_given = false;
    auto refuse = [&line](const std::string& why) {
        line.action = CommandLine::Action::refuse;
        line.refusal = why;
        return line;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (options_end || a.empty() || a[0] != '-')
            return refuse("unexpected argument '" + a + "': tarvelo takes options only");
        std::optional<std::string> file;
        if (a == "--") {
            options_end = true;
        } else if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--version") {
            version = true;
        } else if (a == "--check") {
            check = true;
        } else if (a == "--config") {
            if (i + 1 >= args.size()) return refuse("--config needs the settings file");
            file = args[++i];
        } else if (a.rfind("--config=", 0) == 0) {
            file = a.substr(9);
        } else if (a == "--capture" || a.rfind("--capture=", 0) == 0) {
            if (a == "--capture" && i + 1 >= args.size())
                return refuse("--capture needs the file to write");
            std::string capture = a == "--capture" ? args[++i] : a.substr(10);
            if (capture.empty()) return refuse("--capture needs the file to write");
            if (line.capture_file) return refuse("--capture given twice");
            line.capture_file = capture;
        } else if (a == "--capture-limit" || a.rfind("--capture-limit=", 0) == 0) {
            if (a == "--capture-limit" && i + 1 >= args.size())
                return refuse("--capture-limit needs a size in MiB, 1 to 4096");
            std::string mib = a == "--capture-limit" ? args[++i] : a.substr(16);
            bool digits = !mib.empty() && mib.size() <= 4 &&
                          mib.find_first_not_of("0123456789") == std::string::npos;
            if (!digits || std::stoul(mib) < 1 || std::stoul(mib) > 4096)
                return refuse("--capture-limit needs a size in MiB, 1 to 4096, not '" + mib + "'");
            line.capture_limit_mib = std::stoul(mib);
            limit_given = true;
        } else {
            return refuse("unknown option '" + a + "'");
        }
        if (file) {
            if (file->empty()) return refuse("--config needs the settings file");
            if (line.settings_file) return refuse("--config given twice");
            line.settings_file = file;
        }
    }
    if (limit_given && !line.capture_file)
        return refuse("--capture-limit goes with --capture FILE");
    // The check opens the board only to look at it: there is no session to record.
    if (check && line.capture_file) return refuse("--capture does not go with --check");
    if (help)
        line.action = CommandLine::Action::help;
    else if (version)
        line.action = CommandLine::Action::version;
    else if (check)
        line.action = CommandLine::Action::check;
    return line;
}

std::vector<std::string> settings_places(const CommandLine& line) {
    if (line.settings_file) return {*line.settings_file};
    return default_settings_paths();
}

SoftwareIdentity software_identity() {
    SoftwareIdentity id;
    id.checksum = scale_library_checksum().value_or("");
    id.dravix_version = dravix_getversion();
    id.pellum_version = pellum_getversion();
    id.library_file = loaded_module_path(reinterpret_cast<const void*>(&get_scale_checksum));
    // The file itself, as an inspector finds it on the disk, not the way the loader was led to it.
    std::error_code error;
    std::filesystem::path file = std::filesystem::canonical(id.library_file, error);
    if (!error) id.library_file = file.string();
    return id;
}

std::optional<std::string> scale_library_checksum() {
    char checksum[40] = {};
    if (get_scale_checksum(checksum) < 0) return std::nullopt;
    checksum[39] = '\0';
    return std::string(checksum);
}

std::string identity_text(const SoftwareIdentity& id) {
    return "tarvelo " TARVELO_VERSION
           "\n"
           "CHECKSUM       " +
           id.checksum + "\nPellum Ver.    " + std::to_string(id.pellum_version) +
           "\nDravix Ver.    " + std::to_string(id.dravix_version) + "\nScale library  " +
           id.library_file + "\n";
}

}  // namespace tarvelo::app
