#include "tests/e2e/scale_run.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace tarvelo::test {

const std::string ENQ = "\x04\x05", ACK = "\x06", NAK = "\x15",
                  STATUS =
                      "\x04\x02"
                      "08\x03";

std::string status_reply(const char* s1s0) {
    return std::string(
               "\x02"
               "09\x1b") +
           s1s0 + "\x03";
}

std::string data02(const char* weight, const char* unit_price, const char* total) {
    return std::string(
               "\x02"
               "02\x1b"
               "3\x1b") +
           weight + "\x1b" + unit_price + "\x1b" + total + "\x03";
}

namespace {

// The windows and controls that the display checks read, as the window probe names them.
const char* kBar = "tarvelo::ui::CTarveloDlg";
const char* kWeight = "1046";
const char* kTare = "1054";
const char* kCustomer = "tarvelo::ui::CTarveloDlg2";
const char* kText = "1056";

// What the display bar shows for grams: "%6.3f" of the kilograms with a decimal comma.
std::string kilograms(long grams) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%6.3f", static_cast<double>(grams) / 1000.0);
    for (char* p = buf; *p; ++p)
        if (*p == '.') *p = ',';
    return buf;
}

}  // namespace

Scale::Scale(const Options& o) : pipe_name_(o.pipe_name), user_(o.user) {
    if (o.start_board) {
        std::vector<std::string> args{"--link", dir.file("board"), "--type", o.board, "--rate",
                                      "20",     "--verbose"};
        args.insert(args.end(), o.board_args.begin(), o.board_args.end());
        board =
            std::make_unique<Process>(BIN_DIR "/boardsim", args, dir.path(),
                                      std::map<std::string, std::string>{}, dir.file("boardsim"));
        EXPECT_TRUE(board->wait_output("ready:", 10000)) << board->err();
    }
    std::vector<std::string> args;
    if (!o.settings_file.empty()) {
        std::ofstream(dir.file("tarvelo.ini"))
            << "[scale]\nserial_port=" << dir.file("no-board") << "\npipe_name=" << o.pipe_name;
        args = {"--config", o.settings_file};
    }
    args.insert(args.end(), o.scale_args.begin(), o.scale_args.end());
    if (o.write_ini) {
        std::ofstream ini(dir.file(o.settings_file.empty() ? "tarvelo.ini" : o.settings_file));
        ini << "[windowMain1]\n"
            << o.main1_section
            << "w=800\nh=60\napproval_fg=10\nscale_span_fg=10\ntare_fg=15\n"
               "weight_fg=20\nuprice_fg=15\ntprice_fg=20\nzero_btn_fg=5\ntare_btn_fg=5\n"
               "[windowMain2]\n"
            << o.main2_section
            << "w=640\nh=200\nname_fg=30\nweight_fg=40\ntprice_fg=40\n"
               "[scale]\nserial_port="
            << (o.serial_port.empty() ? dir.file("board") : o.serial_port)
            << "\npipe_name=" << o.pipe_name << "\nad_type=" << (o.board == "xon" ? 0 : 1) << "\n"
            << o.scale_section << "[spec]\n"
            << o.spec_section;
    }
    std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", dir.path()},
                                           {"QT_QPA_PLATFORM", "offscreen"},
                                           {"TARVELO_TIME_DIVISOR", "20"}};
    for (const auto& [k, v] : o.env) env[k] = v;
    runtime_dir_ = env["XDG_RUNTIME_DIR"];
    if (o.watch_display) {
        const std::string fifo = dir.file("probe");
        EXPECT_EQ(::mkfifo(fifo.c_str(), 0600), 0) << fifo;
        env["QT_PLUGIN_PATH"] = TEST_PLUGIN_DIR;
        std::string& plugins = env["QT_QPA_GENERIC_PLUGINS"];
        plugins += (plugins.empty() ? "" : ",") + std::string("windowprobe:") + fifo;
    }
    std::string wrap = o.wrap;
    if (o.user != 0) {
        // The user's own working and runtime directory, and its own board (the pty's slave end
        // is root's, mode 0600, as a serial device is a group's that the user belongs to).
        EXPECT_EQ(::chown(dir.path().c_str(), o.user, o.user), 0);
        if (o.start_board) {
            const std::string device = std::filesystem::canonical(dir.file("board")).string();
            EXPECT_EQ(::chown(device.c_str(), o.user, o.user), 0) << device;
        }
        const std::string id = std::to_string(o.user);
        wrap = "exec setpriv --reuid=" + id + " --regid=" + id + " --clear-groups " +
               (wrap.empty() ? "\"$0\" \"$@\"" : "/bin/sh -c '" + wrap + "' \"$0\" \"$@\"");
    }
    if (wrap.empty()) {
        tarvelo = std::make_unique<Process>(BIN_DIR "/tarvelo", args, dir.path(), env,
                                            dir.file("tarvelo"), o.stdout_pipe);
    } else {
        // The command line reaches the wrap line as "$@".
        std::vector<std::string> sh_args{"-c", wrap, BIN_DIR "/tarvelo"};
        sh_args.insert(sh_args.end(), args.begin(), args.end());
        tarvelo = std::make_unique<Process>("/bin/sh", sh_args, dir.path(), env,
                                            dir.file("tarvelo"), o.stdout_pipe);
    }
}

Scale::~Scale() {
    client.reset();
    if (probe_ >= 0) ::close(probe_);
}

std::map<std::string, std::string> Scale::client_env() const {
    return {{"XDG_RUNTIME_DIR", runtime_dir_}};
}

std::string Scale::socket_path() const {
    // The scale's own rule, as the clients apply it (the variable's directory only when it is
    // this user's alone). A run as another user is found where that user's scale puts it.
    if (user_ != 0)
        return (runtime_dir_.rfind('/', 0) == 0 ? runtime_dir_
                                                : "/tmp/tarvelo-" + std::to_string(user_)) +
               "/" + pipe_name_;
    ::setenv("XDG_RUNTIME_DIR", runtime_dir_.c_str(), 1);
    return pipe_socket_path(pipe_name_);
}

PipeClient& Scale::ecr() {
    if (!client) {
        // The name appears only once the scale serves it.
        const std::string path = socket_path();
        wait_until([&] { return std::filesystem::exists(path); }, 10000);
        ::setenv("XDG_RUNTIME_DIR", runtime_dir_.c_str(), 1);
        auto connected = PipeClient::connect(pipe_name_);
        EXPECT_TRUE(connected) << connected.error();
        client = connected.value_or(nullptr);
    }
    return *client;
}

std::string Scale::exchange(const std::string& request, int timeout_ms) {
    if (!send(request)) return {};
    std::string reply;
    uint8_t b;
    while (client->read_byte(b, timeout_ms) == PipeClient::Read::byte) {
        reply.push_back(static_cast<char>(b));
        if ((reply.size() == 1 && (b == 0x06 || b == 0x15)) || b == 0x03) break;
    }
    return reply;
}

bool Scale::send(const std::string& bytes) {
    if (!client) ecr();
    return client && client->write_all(bytes.data(), bytes.size());
}

std::string Scale::receive(size_t n, int timeout_ms) {
    std::string got;
    if (!client) ecr();
    if (!client) return got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        uint8_t b;
        if (left <= 0 || client->read_byte(b, static_cast<int>(left)) != PipeClient::Read::byte)
            break;
        got.push_back(static_cast<char>(b));
    }
    return got;
}

std::string Scale::logs() {
    std::string all;
    for (auto& e : std::filesystem::directory_iterator(dir.path()))
        if (e.path().filename().string().rfind("log_", 0) == 0) all += read_file(e.path());
    return all;
}

std::map<std::string, std::string> Scale::shown(const std::string& window_class) {
    std::map<std::string, std::string> texts;
    // The probe's end is opened at the first look: the scale has loaded the probe by then.
    if (probe_ < 0) probe_ = ::open(dir.file("probe").c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    const std::string path = dir.file("dump" + std::to_string(++dumps_));
    const std::string command = "dump " + path + "\n";
    if (probe_ < 0 || ::write(probe_, command.data(), command.size()) < 0) return texts;
    if (!wait_until([&] { return std::filesystem::exists(path); }, 5000, 5)) return texts;
    std::istringstream dump(read_file(path));
    std::filesystem::remove(path);
    for (std::string line; std::getline(dump, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
        if (f.size() >= 14 && f[0] == "control" && f[1] == window_class) texts[f[2]] = f[13];
    }
    return texts;
}

Scale::BoardState Scale::board_state() {
    // The board answers "status" with one line of its state, after every line sent before it.
    auto lines = [&] {
        std::string out = board->out();
        size_t n = 0;
        for (size_t at = 0; (at = out.find(" board: gross=", at)) != std::string::npos; ++at) ++n;
        return std::make_pair(n, out);
    };
    const size_t before = lines().first;
    board->send_line("status");
    std::string out;
    if (!wait_until(
            [&] {
                auto [n, text] = lines();
                out = text;
                return n > before;
            },
            5000))
        return {};
    std::string flags = out.substr(out.rfind(" board: gross="));
    flags = flags.substr(0, flags.find('\n'));
    std::smatch m;
    static const std::regex numbers(R"( tare=(-?\d+) net=(-?\d+))");
    if (!std::regex_search(flags, m, numbers)) return {};
    BoardState state{kilograms(std::stol(m[2])), kilograms(std::stol(m[1])),
                     flags.find(" paused") != std::string::npos};
    if (flags.find(" underload") != std::string::npos) state.weight = "UF  ";
    if (flags.find(" overload") != std::string::npos) state.weight = "OF  ";
    // A silent board is taken for lost after two seconds without a frame.
    if (flags.find(" silent") != std::string::npos) state.weight = state.tare = "------";
    return state;
}

std::string Scale::board_line_shown(const std::string& line) {
    board->send_line(line);
    // The board's state is asked anew each time: the scale's own commands (the tare it clears
    // when a sale ends) change it too, and what counts is that the display has caught up.
    BoardState want;
    std::string weight, tare;
    if (wait_until(
            [&] {
                want = board_state();
                std::map<std::string, std::string> bar = shown(kBar);
                weight = bar[kWeight];
                tare = bar[kTare];
                return !want.weight.empty() && weight == want.weight && tare == want.tare;
            },
            15000, 20))
        return {};
    return "after '" + line + "' the display shows weight '" + weight + "' and tare '" + tare +
           "', the board reports '" + want.weight + "' and '" + want.tare + "'";
}

bool Scale::board_idle(int timeout_ms) {
    return wait_until(
        [&] {
            BoardState state = board_state();
            return !state.weight.empty() && !state.paused;
        },
        timeout_ms, 20);
}

std::string Scale::customer_text(const std::string& text) {
    std::string text_shown;
    if (wait_until([&] { return (text_shown = shown(kCustomer)[kText]) == text; }, 5000, 20))
        return {};
    return "the customer window shows the text '" + text_shown + "', not '" + text + "'";
}

bool enq_until(Scale& s, const std::string& expected) {
    return wait_until([&] { return s.exchange(ENQ) == expected; }, 5000);
}

bool read_until(int fd, const std::string& text, int timeout_ms) {
    std::string got;
    return wait_until(
        [&] {
            pollfd p{fd, POLLIN, 0};
            char buffer[512];
            ssize_t n;
            if (poll(&p, 1, 0) > 0 && (n = read(fd, buffer, sizeof buffer)) > 0)
                got.append(buffer, static_cast<size_t>(n));
            return got.find(text) != std::string::npos;
        },
        timeout_ms);
}

bool sanitizer_quiet(const std::string& err) {
    return err.find("Sanitizer") == std::string::npos &&
           err.find("runtime error") == std::string::npos;
}

}  // namespace tarvelo::test
