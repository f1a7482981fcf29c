// The programs as processes: boardsim on a pty, tarvelo offscreen in a directory of its own,
// the ECR played over the socket. Readiness is waited for, never slept for.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "client/exchange.h"
#include "client/pipe_link.h"
#include "platform/pipe_endpoint.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace tarvelo::test {
namespace {

const std::string ENQ = "\x04\x05", ACK = "\x06", NAK = "\x15", STATUS = "\x04\x02" "08\x03";
std::string status_reply(const char* s1s0) { return std::string("\x02" "09\x1b") + s1s0 + "\x03"; }

struct Options {
    std::string board = "xon";
    std::string scale_section;  // extra lines for [scale]
    std::string spec_section;
    bool write_ini = true;
    bool start_board = true;
    std::vector<std::string> board_args;
};

class Scale {
public:
    explicit Scale(const Options& o = {}) {
        if (o.start_board) {
            std::vector<std::string> args{"--link", dir.file("board"), "--type", o.board, "--rate", "20", "--verbose"};
            args.insert(args.end(), o.board_args.begin(), o.board_args.end());
            board = std::make_unique<Process>(BIN_DIR "/boardsim", args, dir.path(), std::map<std::string, std::string>{},
                                              dir.file("boardsim"));
            EXPECT_TRUE(board->wait_output("ready:", 5000)) << board->err();
        }
        if (o.write_ini) {
            std::ofstream ini(dir.file("tarvelo.ini"));
            ini << "[windowMain1]\nw=800\nh=60\napproval_fg=10\nscale_span_fg=10\ntare_fg=15\nweight_fg=20\n"
                   "uprice_fg=15\ntprice_fg=20\nzero_btn_fg=5\ntare_btn_fg=5\n"
                   "[windowMain2]\nw=640\nh=200\nname_fg=30\nweight_fg=40\ntprice_fg=40\n"
                   "[scale]\nserial_port=" << dir.file("board") << "\npipe_name=ecr\nad_type="
                << (o.board == "xon" ? 0 : 1) << "\n" << o.scale_section << "[spec]\n" << o.spec_section;
        }
        tarvelo = std::make_unique<Process>(
            BIN_DIR "/tarvelo", std::vector<std::string>{}, dir.path(),
            std::map<std::string, std::string>{{"XDG_RUNTIME_DIR", dir.path()}, {"QT_QPA_PLATFORM", "offscreen"},
                                               {"TARVELO_TIME_DIVISOR", "20"}},
            dir.file("tarvelo"));
    }
    bool ready() { return tarvelo->wait_output("tarvelo: scale ready", 20000); }
    PipeClient& ecr() {
        if (!client) {
            wait_until([&] { return std::filesystem::exists(dir.file("ecr")); }, 10000);
            std::string error;
            client = PipeClient::connect("ecr", &error);
            EXPECT_NE(client, nullptr) << error;
        }
        return *client;
    }
    std::string exchange(const std::string& request, int timeout_ms = 5000) {
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
    // Sends the board a control line and waits until ENQ sees the effect (a reply that is
    // neither a refusal for instability nor the old weight).
    void board_line(const std::string& line) { board->send_line(line); }
    std::string logs() {
        std::string all;
        for (auto& e : std::filesystem::directory_iterator(dir.path()))
            if (e.path().filename().string().rfind("log_", 0) == 0) all += read_file(e.path());
        return all;
    }

    TempDir dir;
    std::unique_ptr<Process> board;
    std::unique_ptr<Process> tarvelo;
    std::unique_ptr<PipeClient> client;
};

std::string data02(const char* weight, const char* unit_price, const char* total) {
    return std::string("\x02" "02\x1b" "3\x1b") + weight + "\x1b" + unit_price + "\x1b" + total + "\x03";
}

// ENQ until the reply is `expected` (the board needs a moment to pass a new weight on).
bool enq_until(Scale& s, const std::string& expected) {
    return wait_until([&] { return s.exchange(ENQ) == expected; }, 5000);
}

TEST(EndToEnd, WeightModeSaleWithAutoClear) {
    Scale s;
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    EXPECT_EQ(s.exchange("\x04\x02" "04\x1b" "000150\x1b" "APPLES       \x03"), ACK);
    EXPECT_EQ(s.exchange("\x04\x02" "01\x1b" "000160\x1b\x03"), NAK);  // entry closed until goods go
    EXPECT_EQ(s.exchange(STATUS), status_reply("21"));
    s.board_line("weight 1234");
    ASSERT_TRUE(enq_until(s, data02("01234", "000150", "000185")));
    EXPECT_EQ(s.exchange(ENQ), NAK);  // once per weighing
    EXPECT_EQ(s.exchange(STATUS), status_reply("21"));
    // A change of weight opens the next reading; once it is served the display has seen the
    // goods (that same cycle armed the sale), so taking them off must clear it.
    s.board_line("weight 1240");
    ASSERT_TRUE(enq_until(s, data02("01240", "000150", "000186")));
    s.board_line("weight 0");
    // The auto clear re-opens unit-price entry once the goods are gone.
    EXPECT_TRUE(wait_until([&] { return s.exchange("\x04\x02" "01\x1b" "000160\x1b\x03") == ACK; }, 5000));
    std::string log = s.logs();
    EXPECT_NE(log.find("receive: No. 04, unit price and text (weight mode), unit_price='000150', text='APPLES       '"),
              std::string::npos);
    EXPECT_NE(log.find("   send: No. 02, scale data (weight mode): weight='01234', unit_price='000150', total_price='000185'"),
              std::string::npos);
}

TEST(EndToEnd, QuantityModeAndPresetTareOnTheBoard) {
    Scale s;
    ASSERT_TRUE(s.ready());
    EXPECT_EQ(s.exchange("\x04\x02" "03\x1b" "000150\x1b" "0200\x03"), ACK);
    // The preset tare reaches the board as 'U' with six digits between DC2 and DC1.
    EXPECT_TRUE(s.board->wait_output("rx: 02 57 55 30 30 30 32 30 30 03 03", 5000)) << s.board->out();
    // The board's next weight frames carry the new tare.
    EXPECT_TRUE(wait_until(
        [&] { return s.exchange("\x04\x02" "21\x03") == "\x02" "22\x1b" "3\x1b" "00200\x03"; }, 5000));
    EXPECT_EQ(s.exchange("\x04\x12"), ACK);  // hiding the windows ends nothing
    EXPECT_EQ(s.exchange("\x04\x11"), ACK);
    EXPECT_TRUE(s.tarvelo->running());
    EXPECT_EQ(s.exchange("\x04\x02" "30\x03"), ACK);
    EXPECT_EQ(s.exchange("\x04\x02" "33\x1b" "000250\x1b" "0003\x03"), ACK);
    EXPECT_EQ(s.exchange(ENQ), "\x02" "32\x1b" "3\x1b" "00003\x1b" "000250\x1b" "000750\x03");
}

TEST(EndToEnd, VerificationAndItsRenewalWithKestrin) {
    Scale s({.scale_section = "verify=1\n"});
    ASSERT_TRUE(s.ready());
    s.board_line("weight 500");
    setenv("XDG_RUNTIME_DIR", s.dir.path().c_str(), 1);
    std::string error;
    auto link = kestrin::PipeLink::open("ecr", &error);
    ASSERT_NE(link, nullptr) << error;
    std::vector<std::string> shown;
    kestrin::Reading reading;
    kestrin::Exchange ex(link.get(), [&](const std::string& t) { shown.push_back(t); });
    ASSERT_TRUE(wait_until([&] { return ex.read("1A2B", reading) && reading.weight == 500; }, 5000));
    EXPECT_EQ(shown.front(), "CS/KW result: valid");
    // 51 scale-data records later the handshake is demanded again; kestrin passes it on its own.
    for (int i = 0; i < 3 && link->write("\x04\x02" "30\x03"); ++i) ex.read_reply(128);
    int served = 0;
    for (int i = 0; i < 60; ++i) {
        link->write("\x04\x05");
        std::string reply = ex.read_reply(128);
        if (reply.substr(0, 3) == "\x02" "32") ++served;
        if (reply.substr(0, 3) == "\x02" "11") break;
    }
    EXPECT_EQ(served, 50);  // plus the one kestrin read before: 51
    EXPECT_NE(s.logs().find("reached the max reading count"), std::string::npos);
}

TEST(EndToEnd, LetterBoardSale) {
    Scale s({.board = "letter"});
    ASSERT_TRUE(s.ready()) << s.tarvelo->err();
    EXPECT_EQ(s.exchange("\x04\x02" "01\x1b" "000299\x1b\x03"), ACK);
    s.board_line("weight 1234");
    EXPECT_TRUE(enq_until(s, data02("01234", "000299", "000369")));
}

TEST(EndToEnd, LostBoardLinkIsRefusedUntilFramesReturn) {
    Scale s;
    ASSERT_TRUE(s.ready());
    s.board_line("weight 800");
    ASSERT_TRUE(enq_until(s, data02("00800", "000000", "000000")));
    s.board_line("silent");
    s.board_line("weight 900");
    EXPECT_TRUE(wait_until([&] { return s.exchange(ENQ) == NAK && s.exchange(STATUS) == status_reply("01"); }, 6000));
    // A tare on a lost link is refused at once and never reaches the board; the DC2/DC1 it
    // would have cost must not pass for a sign of life either.
    std::string board_before = s.board->out();
    EXPECT_EQ(s.exchange("\x04\x02" "07\x03"), NAK);
    EXPECT_EQ(s.exchange(STATUS), status_reply("01"));
    EXPECT_EQ(s.exchange(ENQ), NAK);
    EXPECT_EQ(s.exchange(STATUS), status_reply("01"));
    EXPECT_EQ(s.board->out(), board_before) << "the board was written to";
    s.board_line("resume");
    EXPECT_TRUE(enq_until(s, data02("00900", "000000", "000000")));
}

TEST(EndToEnd, VanishedUsbBoardIsReopened) {
    Scale s;
    ASSERT_TRUE(s.ready());
    s.board_line("vanish");
    EXPECT_TRUE(s.tarvelo->wait_output("Scale link lost", 5000));
    s.board_line("reappear");
    EXPECT_TRUE(s.tarvelo->wait_output("Scale link restored", 5000));
    s.board_line("weight 700");
    EXPECT_TRUE(enq_until(s, data02("00700", "000000", "000000")));
}

TEST(EndToEnd, StartUpFailures) {
    {
        Scale s({.write_ini = false, .start_board = false});
        EXPECT_EQ(s.tarvelo->wait_exit(10000), 255);  // exit code -1
        EXPECT_NE(s.tarvelo->err().find("Could not find tarvelo.ini"), std::string::npos);
    }
    {
        Scale s({.start_board = false});
        EXPECT_EQ(s.tarvelo->wait_exit(10000), 1);
        EXPECT_NE(s.tarvelo->err().find("Scale initialize failed!"), std::string::npos);
    }
    {
        Scale s({.board_args = {"--checksum", "00000000"}});
        EXPECT_TRUE(s.tarvelo->wait_output("Scale driver checksum error!", 10000, true)) << s.tarvelo->err();
        EXPECT_EQ(s.exchange(ENQ, 300), "");  // the ECR is never served
        EXPECT_TRUE(s.tarvelo->running());     // the boot screen waits for Exit
    }
}

TEST(EndToEnd, UnstablePlatformStopsTheStart) {
    Scale s;
    s.board_line("unstable");
    EXPECT_TRUE(s.tarvelo->wait_output("Please remove item from the scale platform!", 20000, true));
}

}  // namespace
}  // namespace tarvelo::test
