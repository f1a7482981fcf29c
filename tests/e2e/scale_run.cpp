#include "tests/e2e/scale_run.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>

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

Scale::Scale(const Options& o) {
    if (o.start_board) {
        std::vector<std::string> args{"--link", dir.file("board"), "--type", o.board, "--rate",
                                      "20",     "--verbose"};
        args.insert(args.end(), o.board_args.begin(), o.board_args.end());
        board =
            std::make_unique<Process>(BIN_DIR "/boardsim", args, dir.path(),
                                      std::map<std::string, std::string>{}, dir.file("boardsim"));
        EXPECT_TRUE(board->wait_output("ready:", 5000)) << board->err();
    }
    std::vector<std::string> args;
    if (!o.settings_file.empty()) {
        std::ofstream(dir.file("tarvelo.ini"))
            << "[scale]\nserial_port=" << dir.file("no-board") << "\npipe_name=" << o.pipe_name;
        args = {"--config", o.settings_file};
    }
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
               (wrap.empty() ? "\"$0\"" : "/bin/sh -c '" + wrap + "' \"$0\"");
    }
    if (wrap.empty())
        tarvelo = std::make_unique<Process>(BIN_DIR "/tarvelo", args, dir.path(), env,
                                            dir.file("tarvelo"), o.stdout_pipe);
    else
        tarvelo = std::make_unique<Process>(
            "/bin/sh", std::vector<std::string>{"-c", wrap, BIN_DIR "/tarvelo"}, dir.path(), env,
            dir.file("tarvelo"), o.stdout_pipe);
}

PipeClient& Scale::ecr() {
    if (!client) {
        wait_until([&] { return std::filesystem::exists(dir.file("ecr")); }, 10000);
        auto connected = PipeClient::connect("ecr");
        EXPECT_TRUE(connected) << connected.error();
        client = connected.value_or(nullptr);
    }
    return *client;
}

std::string Scale::exchange(const std::string& request, int timeout_ms) {
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    PipeClient& c = ecr();
    c.write_all(request.data(), request.size());
    std::string reply;
    uint8_t b;
    while (c.read_byte(b, timeout_ms) == PipeClient::Read::byte) {
        reply.push_back(static_cast<char>(b));
        if ((reply.size() == 1 && (b == 0x06 || b == 0x15)) || b == 0x03) break;
    }
    return reply;
}

std::string Scale::logs() {
    std::string all;
    for (auto& e : std::filesystem::directory_iterator(dir.path()))
        if (e.path().filename().string().rfind("log_", 0) == 0) all += read_file(e.path());
    return all;
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
