#include "tests/protocol_doc/scale_run.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

namespace tarvelo::test {
namespace {

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

std::string socket_dir(const RunOptions& o, const TempDir& dir) {
    return o.private_directory ? "/tmp/tarvelo-" + std::to_string(::geteuid())
                               : dir.path().string();
}

}  // namespace

ScaleRun::ScaleRun(const RunOptions& o) : options_(o) {
    board_ = std::make_unique<Process>(
        BIN_DIR "/boardsim",
        std::vector<std::string>{"--link", dir_.file("board"), "--type", o.board, "--rate", "20"},
        dir_.path(), std::map<std::string, std::string>{}, dir_.file("boardsim"));
    if (!board_->wait_output("ready:", 10000)) {
        problem_ = "boardsim did not start: " + board_->err();
        return;
    }
    std::ofstream ini(dir_.file("tarvelo.ini"));
    ini << "[scale]\nserial_port=" << dir_.file("board") << "\npipe_name=" << o.pipe_name
        << "\nad_type=" << (o.board == "xon" ? 0 : 1) << "\n";
    if (o.settings.count("verify")) ini << "verify=" << o.settings.at("verify") << "\n";
    ini << "[spec]\n";
    for (const auto& [key, value] : o.settings)
        if (key != "verify") ini << key << "=" << value << "\n";
    ini.close();

    const std::string fifo = dir_.file("probe");
    ::mkfifo(fifo.c_str(), 0600);
    std::map<std::string, std::string> env{{"QT_QPA_PLATFORM", "offscreen"},
                                           {"TARVELO_TIME_DIVISOR", "20"},
                                           {"QT_PLUGIN_PATH", TEST_PLUGIN_DIR},
                                           {"QT_QPA_GENERIC_PLUGINS", "windowprobe:" + fifo}};
    // An empty XDG_RUNTIME_DIR counts as none: the socket then goes into the private directory.
    env["XDG_RUNTIME_DIR"] = o.private_directory ? "" : dir_.path().string();
    scale_ = std::make_unique<Process>(BIN_DIR "/tarvelo", std::vector<std::string>{}, dir_.path(),
                                       env, dir_.file("tarvelo"));
    if (!scale_->wait_output("tarvelo: scale ready", 30000)) {
        problem_ = "the scale never became ready: " + scale_->err();
        return;
    }
    probe_ = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (!o.connect) return;

    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = socket_dir(o, dir_) + "/" + o.pipe_name;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ecr_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (ecr_ < 0 || ::connect(ecr_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        problem_ = "cannot connect to " + path;
}

ScaleRun::~ScaleRun() {
    if (ecr_ >= 0) ::close(ecr_);
    if (probe_ >= 0) ::close(probe_);
    if (scale_) scale_->stop();
    if (board_) board_->stop();
}

bool ScaleRun::send(const std::string& bytes) {
    return ::send(ecr_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
}

std::string ScaleRun::receive(size_t n, int timeout_ms) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (got.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        pollfd p{ecr_, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
        char c;
        if (::recv(ecr_, &c, 1, 0) != 1) break;
        got.push_back(c);
    }
    return got;
}

std::map<std::string, std::string> ScaleRun::client_env() const {
    return {{"XDG_RUNTIME_DIR", options_.private_directory ? "" : dir_.path().string()}};
}

std::map<std::string, std::string> ScaleRun::shown(const std::string& window_class) {
    std::map<std::string, std::string> texts;
    const std::string path = dir_.file("dump" + std::to_string(++dumps_));
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

ScaleRun::BoardState ScaleRun::board_state() {
    // The board answers "status" with one line of its state, after every line sent before it.
    auto lines = [&] {
        std::string out = board_->out();
        size_t n = 0;
        for (size_t at = 0; (at = out.find(" board: gross=", at)) != std::string::npos; ++at) ++n;
        return std::make_pair(n, out);
    };
    const size_t before = lines().first;
    board_->send_line("status");
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
    BoardState state{kilograms(std::stol(m[2])), kilograms(std::stol(m[1]))};
    if (flags.find(" underload") != std::string::npos) state.weight = "UF  ";
    if (flags.find(" overload") != std::string::npos) state.weight = "OF  ";
    // A silent board is taken for lost after two seconds without a frame.
    if (flags.find(" silent") != std::string::npos) state.weight = state.tare = "------";
    return state;
}

std::string ScaleRun::board_line(const std::string& line) {
    board_->send_line(line);
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

std::string ScaleRun::customer_text(const std::string& text) {
    std::string text_shown;
    if (wait_until([&] { return (text_shown = shown(kCustomer)[kText]) == text; }, 5000, 20))
        return {};
    return "the customer window shows the text '" + text_shown + "', not '" + text + "'";
}

}  // namespace tarvelo::test
