// boardsim: a weighing board of either type on a pseudo-terminal, driven from standard input.

#include <poll.h>
#include <unistd.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/regular_file.h"
#include "tools/boardsim/board_replay.h"
#include "tools/boardsim/board_simulator.h"
#include "tools/boardsim/control_commands.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
void on_signal(int) {
    g_stop = 1;
}

void usage(std::FILE* out) {
    std::fprintf(
        out,
        "Usage: boardsim --link PATH [--type xon|letter] [--rate N] [--checksum HEX] [--verbose]\n"
        "       boardsim --link PATH --replay FILE [--speed X] [--sync SOCKET] [--settings OUT]\n"
        "\n"
        "Simulates a weighing board on a pseudo-terminal and links the terminal at PATH, so\n"
        "that `serial_port = PATH` in tarvelo.ini opens it.\n"
        "\n"
        "  --link PATH      where to link the board's serial line (required)\n"
        "  --type TYPE      xon     the xon/xoff command board (ad_type 0, the default)\n"
        "                   letter  the letter-command board (ad_type 1)\n"
        "  --rate N         weight frames per second while switched on (default 10)\n"
        "  --checksum HEX   the scale library checksum the board accepts at start-up\n"
        "                   (default: any 8 hexadecimal digits)\n"
        "  --weight G       goods on the platform at start, in grams (default 0)\n"
        "  --corrupt-percent P  damage P percent of the weight frames (soak tests)\n"
        "  --verbose        print every frame received from the PC\n"
        "  --replay FILE    play the board's side of a capture (tarvelo --capture): its bytes\n"
        "                   at their recorded times, nothing answered; every byte the scale\n"
        "                   sends is held against the capture's, and each one that differs is\n"
        "                   reported. Exit status 0 when none differed, 1 when some did\n"
        "  --speed X        with --replay: X times faster (0.1 to 100, default 1)\n"
        "  --sync SOCKET    with --replay: keep ecrctl --replay FILE --sync SOCKET in step\n"
        "  --settings OUT   with --replay: write the settings the capture carries into OUT,\n"
        "                   with serial_port naming PATH, for tarvelo --config OUT\n"
        "  --version        print the version and exit\n"
        "  --help           this text\n"
        "\n"
        "When the line is ready it prints \"ready: DEVICE\". It streams weight frames after\n"
        "the PC's DC1 and pauses on the board's own byte (DC2 xon, DC3 letter). It runs\n"
        "until interrupted (Ctrl-C) or told \"quit\"; closing standard input does not stop it.\n"
        "\n%s",
        tarvelo::sim::control_help().c_str());
}

}  // namespace

// --replay: the board's side of a capture, until it is played; the exit status tells whether
// the scale sent the board anything other than the capture has.
int replay(const std::string& file, tarvelo::sim::ReplayOptions options,
           const std::string& settings_out, const std::string& type) {
    auto text = tarvelo::read_regular_file(file, size_t{5} << 30);
    if (!text) {
        std::fprintf(stderr, "boardsim: %s\n", text.error().c_str());
        return 2;
    }
    auto parsed = tarvelo::capture::parse(*text);
    if (!parsed) {
        std::fprintf(stderr, "boardsim: %s: %s\n", file.c_str(), parsed.error().c_str());
        return 2;
    }
    if (!type.empty() && type != parsed->header.board) {
        std::fprintf(stderr, "boardsim: %s holds a %s board, not %s\n", file.c_str(),
                     parsed->header.board.c_str(), type.c_str());
        return 2;
    }
    std::string settings = parsed->header.settings_text;
    std::string error;
    auto board = tarvelo::sim::BoardReplay::create(parsed.take(), options, &error);
    if (!board) {
        std::fprintf(stderr, "boardsim: %s\n", error.c_str());
        return 1;
    }
    if (!settings_out.empty()) {
        std::ofstream out(settings_out, std::ios::trunc);
        out << tarvelo::sim::replay_settings(settings, options.link_path);
        if (!out.flush()) {
            std::fprintf(stderr, "boardsim: cannot write %s\n", settings_out.c_str());
            return 2;
        }
    }
    std::printf("ready: %s\n", board->device_name().c_str());
    std::fflush(stdout);
    while (!g_stop && !board->finished()) ::poll(nullptr, 0, 50);
    if (!board->finished()) return 1;  // interrupted: not every byte could be compared
    return board->differences() == 0 ? 0 : 1;
}

int main(int argc, char** argv) {
    tarvelo::sim::Options options;
    long weight = 0;
    std::string replay_file, settings_out, sync_path, type_given;
    double speed = 1.0;
    bool board_options = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "boardsim: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("boardsim %s\n", TARVELO_VERSION);
            return 0;
        } else if (a == "--link") {
            options.link_path = value();
        } else if (a == "--replay") {
            replay_file = value();
        } else if (a == "--speed") {
            std::string x = value();
            char* end = nullptr;
            speed = std::strtod(x.c_str(), &end);
            if (x.empty() || *end != '\0' || !(speed >= 0.1 && speed <= 100)) {
                std::fprintf(stderr, "boardsim: --speed must be 0.1 to 100, not '%s'\n", x.c_str());
                return 2;
            }
        } else if (a == "--sync") {
            sync_path = value();
        } else if (a == "--settings") {
            settings_out = value();
        } else if (a == "--type") {
            std::string t = value();
            type_given = t;
            if (t == "xon")
                options.type = tarvelo::sim::BoardType::xon;
            else if (t == "letter")
                options.type = tarvelo::sim::BoardType::letter;
            else {
                std::fprintf(stderr, "boardsim: unknown board type '%s' (xon or letter)\n",
                             t.c_str());
                return 2;
            }
        } else if (a == "--rate") {
            board_options = true;
            std::optional<long> hz = tarvelo::sim::whole_number(value(), 1, 100);
            if (!hz) {
                std::fprintf(stderr, "boardsim: --rate must be 1..100\n");
                return 2;
            }
            options.rate_hz = static_cast<int>(*hz);
        } else if (a == "--checksum") {
            board_options = true;
            options.checksum = value();
        } else if (a == "--weight") {
            board_options = true;
            std::optional<long> grams = tarvelo::sim::whole_number(
                value(), -tarvelo::sim::kMostGrams, tarvelo::sim::kMostGrams);
            if (!grams) {
                std::fprintf(stderr,
                             "boardsim: --weight must be whole grams, -99999999 to 99999999\n");
                return 2;
            }
            weight = *grams;
        } else if (a == "--corrupt-percent") {
            board_options = true;
            std::optional<long> percent = tarvelo::sim::whole_number(value(), 0, 100);
            if (!percent) {
                std::fprintf(stderr, "boardsim: --corrupt-percent must be 0..100\n");
                return 2;
            }
            options.corrupt_percent = static_cast<int>(*percent);
        } else if (a == "--verbose" || a == "-v") {
            options.verbose = true;
        } else {
            std::fprintf(stderr, "boardsim: unknown argument '%s'\n\n", a.c_str());
            usage(stderr);
            return 2;
        }
    }
    if (options.link_path.empty()) {
        std::fprintf(stderr, "boardsim: --link PATH is required\n\n");
        usage(stderr);
        return 2;
    }
    if (replay_file.empty() && (!sync_path.empty() || !settings_out.empty() || speed != 1.0)) {
        std::fprintf(stderr, "boardsim: --speed, --sync and --settings go with --replay FILE\n");
        return 2;
    }
    if (!replay_file.empty() && board_options) {
        std::fprintf(stderr,
                     "boardsim: --replay plays the capture's board: --rate, --checksum, --weight "
                     "and --corrupt-percent do not go with it\n");
        return 2;
    }

    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);

    if (!replay_file.empty()) {
        tarvelo::sim::ReplayOptions replay_options;
        replay_options.link_path = options.link_path;
        replay_options.speed = speed;
        replay_options.sync_path = sync_path;
        return replay(replay_file, replay_options, settings_out, type_given);
    }

    std::string error;
    auto sim = tarvelo::sim::BoardSimulator::create(options, &error);
    if (!sim) {
        std::fprintf(stderr, "boardsim: %s\n", error.c_str());
        return 1;
    }
    sim->set_gross(static_cast<int32_t>(weight));
    std::printf("ready: %s\n", sim->device_name().c_str());
    std::fflush(stdout);

    bool input_open = true;
    tarvelo::sim::ControlInput input;
    while (!g_stop) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        if (!input_open || ::poll(&p, 1, 200) <= 0) {
            if (!input_open) ::poll(nullptr, 0, 200);
            continue;
        }
        char buf[512];
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input_open = false;
            continue;
        }
        for (const std::optional<std::string>& line :
             input.feed(std::string_view(buf, static_cast<size_t>(n)))) {
            if (!line) {
                std::printf("error: control line longer than %zu bytes, dropped\n",
                            tarvelo::sim::kMaxControlLine);
                std::fflush(stdout);
                continue;
            }
            tarvelo::sim::ControlAnswer answer = tarvelo::sim::run_control_line(*sim, *line);
            if (!answer.text.empty()) std::printf("%s\n", answer.text.c_str());
            std::fflush(stdout);
            if (answer.quit) {
                g_stop = 1;
                break;
            }
        }
    }
    return 0;
}
