#include "ecr/record_dispatcher.h"

#include <gtest/gtest.h>

#include <sstream>

#include "ecr/ecr_frames.h"
#include "platform/window_messages.h"
#include "tests/ecr/cs_kw_client.h"
#include "tests/ecr/ecr_fakes.h"
#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

const std::string ENQ = "\x04\x05", ACK = "\x06", NAK = "\x15", STATUS = "\x04\x02" "08\x03";

// EOT STX number, each field after an ESC, ETX.
std::string record(const std::string& number, std::initializer_list<std::string> fields = {}) {
    std::string f = "\x04\x02" + number;
    for (const std::string& field : fields) f += "\x1b" + field;
    return f + "\x03";
}
std::string status_reply(const char* s1s0) { return std::string("\x02" "09\x1b") + s1s0 + "\x03"; }

class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override { make({}); }
    void make(EcrSettings settings) {
        RecordDispatcher::Parts parts;
        parts.scale = &scale_;
        parts.sale = &sale_;
        parts.saved = &saved_;
        parts.display = &display_;
        parts.log = &log_;
        parts.clock = &clock_;
        parts.settings = settings;
        parts.random_source = [] { return uint8_t{0x4D}; };
        dispatcher_ = std::make_unique<RecordDispatcher>(parts);
        dispatcher_->start();
    }
    std::string send(const std::string& frame) {
        return dispatcher_->dispatch_frame(reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
    }
    std::string status() { return send(STATUS); }
    std::string logged() { return test::read_file(dir_.file(log_.current_file())); }

    test::FakeScale scale_;
    SaleState sale_;
    SavedSnapshot saved_;
    test::FakeDisplay display_;
    test::TempDir dir_;
    test::FakeClock clock_;
    EventLog log_{1000, clock_, dir_.path()};
    std::unique_ptr<RecordDispatcher> dispatcher_;
};

TEST_F(Dispatcher, EveryRecordByLengthAndNumber) {
    struct Case {
        const char* name;
        std::string frame;
        std::string reply;
        const char* status;  // what record 08 reports afterwards
    } cases[] = {
        {"status first", STATUS, status_reply("00"), "00"},
        {"00 weight mode", record("00"), ACK, "00"},
        {"00 with an extra ESC", "\x04\x02" "00\x1b\x03", NAK, "10"},
        {"30 quantity mode", record("30"), ACK, "00"},
        {"21 tare", record("21"), "\x02" "22\x1b" "3\x1b" "00000\x03", "00"},
        {"unknown record", record("99"), NAK, "10"},
        {"not a number", record("X1"), NAK, "10"},
        {"10 when verified", record("10", {"1234abcd"}), NAK, "10"},
        {"01 too short", record("01", {"00150", ""}), NAK, "10"},
        {"31 quantity price", record("31", {"000250", ""}), ACK, "00"},
        {"33 price and quantity", record("33", {"000250", "0003"}), ACK, "00"},
        {"34 price and text", record("34", {"000250", "BOLTS        "}), ACK, "00"},
        {"35 price, quantity, text", record("35", {"000250", "0003", "NUTS         "}), ACK, "00"},
        {"01 weight price", record("01", {"000150", ""}), ACK, "00"},
        {"DC1 show", "\x04\x11", ACK, "00"},
        {"DC2 hide", "\x04\x12", ACK, "00"},
        {"status with any second byte", "\x04\x05" "08", status_reply("00"), "00"},
    };
    for (const Case& c : cases) {
        SetUp();
        EXPECT_EQ(send(c.frame), c.reply) << c.name;
        EXPECT_EQ(status(), status_reply(c.status)) << c.name;
        EXPECT_EQ(status(), status_reply("00")) << c.name;  // a status is told once
    }
}

TEST_F(Dispatcher, WindowAndModeCalls) {
    send("\x04\x11");
    send("\x04\x12");
    send(record("30"));
    EXPECT_EQ(sale_.mode.load(), 1);
    send(record("00"));
    EXPECT_EQ(sale_.mode.load(), 0);
    EXPECT_EQ(display_.calls(), (std::vector<std::string>{"show main", "show second", "hide main", "hide second",
                                                          "mode 1 main", "mode 1 second", "mode 0 main",
                                                          "mode 0 second"}));
    send(record("00"));  // already in weight mode: still a switch the display must follow
    EXPECT_EQ(sale_.mode_switches.load(), 3u);
}

TEST_F(Dispatcher, QuantityModeServesWithoutWeighing) {
    send(record("30"));
    send(record("35", {"000250", "0003", "NUTS  \t      "}));
    EXPECT_EQ(sale_.text(), "NUTS");
    EXPECT_EQ(send(ENQ), "\x02" "32\x1b" "3\x1b" "00003\x1b" "000250\x1b" "000750\x03");
    EXPECT_EQ(scale_.snapshots, 0);
    EXPECT_EQ(dispatcher_->read_counter(), 1);
    // Every request in quantity mode refreshes the three quantity texts.
    auto posted = display_.posted();
    ASSERT_GE(posted.size(), 4u);
    EXPECT_EQ(posted[posted.size() - 3].text, "3");
    EXPECT_EQ(posted[posted.size() - 2].text, "   2,50");
    EXPECT_EQ(posted[posted.size() - 1].text, "   7,50");
    bool text_posted = false;
    for (const auto& m : posted) text_posted |= m.id == WM_SHOW_TEXT && m.text == "NUTS";
    EXPECT_TRUE(text_posted);
}

TEST_F(Dispatcher, EnqConditions) {
    struct Case {
        const char* name;
        weighing_snapshot snapshot;
        int weight_sent;
        uint8_t min_wgt;
        std::string reply;
        const char* status;
    };
    auto at = [](int32_t g) { return test::FakeScale::stable_at(g); };
    auto with = [](weighing_snapshot s, int32_t weighing_snapshot::*field) {
        s.*field = 1;
        return s;
    };
    Case cases[] = {
        {"weight sent", at(1000), 0, 1, "\x02" "02\x1b" "3\x1b" "01000\x1b" "000150\x1b" "000150\x03", "00"},
        {"already sent", at(1000), 1, 1, NAK, "21"},
        {"underload", with(at(0), &weighing_snapshot::underload), 0, 1, NAK, "31"},
        {"overload", with(at(7000), &weighing_snapshot::overload), 0, 1, NAK, "32"},
        {"below the minimum", at(39), 0, 1, NAK, "30"},
        {"minimum off", at(0), 0, 0, "\x02" "02\x1b" "3\x1b" "00000\x1b" "000150\x1b" "000000\x03", "00"},
        {"link lost", with(at(1000), &weighing_snapshot::link_lost), 0, 1, NAK, "01"},
    };
    for (const Case& c : cases) {
        make(EcrSettings{0, c.min_wgt, 0});
        sale_.unit_price = 150;
        sale_.weight_sent = c.weight_sent;
        scale_.snapshot = c.snapshot;
        EXPECT_EQ(send(ENQ), c.reply) << c.name;
        EXPECT_EQ(status(), status_reply(c.status)) << c.name;
        EXPECT_EQ(sale_.weight_sent.load(), c.reply.size() > 1 ? 1 : c.weight_sent) << c.name;
    }
}

TEST_F(Dispatcher, EnqWaitsForStabilityUpToTwoSeconds) {
    sale_.unit_price = 150;
    scale_.unstable_reads = std::vector<bool>(6, true);
    EXPECT_EQ(send(ENQ)[0], '\x02');  // answered once the sixth reading settles
    EXPECT_EQ(clock_.slept_.load(), 5 * 50);

    sale_.weight_sent = 0;
    clock_.slept_ = 0;
    scale_.unstable_reads = std::vector<bool>(100, true);
    EXPECT_EQ(send(ENQ), NAK);
    EXPECT_EQ(clock_.slept_.load(), 40 * 50);
    EXPECT_EQ(status(), status_reply("20"));

    scale_.unstable_reads.clear();
    scale_.snapshot.link_lost = 1;
    scale_.snapshot.stable = 0;
    clock_.slept_ = 0;
    EXPECT_EQ(send(ENQ), NAK);
    EXPECT_EQ(clock_.slept_.load(), 0);  // a lost link is refused at once
    EXPECT_EQ(status(), status_reply("01"));
}

TEST_F(Dispatcher, UnitPriceIsAcceptedOncePerWeighing) {
    EXPECT_EQ(send(record("04", {"000150", "APPLES       "})), ACK);
    EXPECT_EQ(sale_.unit_price.load(), 150);
    EXPECT_EQ(sale_.text(), "APPLES");
    EXPECT_EQ(sale_.price_set.load(), 1);
    EXPECT_EQ(sale_.price_accept.load(), 0);
    EXPECT_EQ(scale_.calls(), std::vector<std::string>{"sale_refresh"});
    EXPECT_EQ(send(record("01", {"000200", ""})), NAK);
    EXPECT_EQ(sale_.unit_price.load(), 150);  // nothing stored
    EXPECT_EQ(status(), status_reply("21"));

    make(EcrSettings{0, 1, 1});  // set_force_fg: always accepted
    sale_.price_accept = 1;
    EXPECT_EQ(send(record("01", {"000200", ""})), ACK);
    EXPECT_EQ(send(record("01", {"000300", ""})), ACK);
    EXPECT_EQ(sale_.unit_price.load(), 300);
}

TEST_F(Dispatcher, PresetTareDecisions) {
    struct Case {
        const char* name;
        std::string frame;
        int32_t current_tare;
        int one_touch;
        int preset_result;
        std::string reply;
        std::vector<std::string> calls;
        const char* status;
        int price_accept_after;
    } cases[] = {
        {"01 no tare in force", record("01", {"000150", ""}), 0, 0, 0, ACK, {"sale_refresh"}, "00", 0},
        {"01 clears a preset tare", record("01", {"000150", ""}), 150, 0, 0, ACK, {"preset_tare 0", "sale_refresh"}, "00", 0},
        {"01 keeps a key tare", record("01", {"000150", ""}), 150, 1, 0, ACK, {"sale_refresh"}, "00", 0},
        {"03 same tare", record("03", {"000150", "0150"}), 150, 0, 0, ACK, {"sale_refresh"}, "00", 0},
        {"03 new tare", record("03", {"000150", "0200"}), 150, 0, 0, ACK, {"preset_tare 200", "sale_refresh"}, "00", 0},
        {"03 at the limit", record("03", {"000150", "5998"}), 0, 0, 0, ACK, {"preset_tare 5998", "sale_refresh"}, "00", 0},
        {"03 over the limit", record("03", {"000150", "6000"}), 0, 0, 0, NAK, {}, "12", 1},
        {"03 negative", record("03", {"000150", "-001"}), 0, 0, 0, NAK, {}, "12", 1},
        {"05 board refuses", record("05", {"000150", "0100", "PEARS        "}), 0, 0, 1, NAK, {"preset_tare 100"}, "00", 1},
        {"05 key tare wins", record("05", {"000150", "0100", "PEARS        "}), 300, 1, 0, ACK, {"sale_refresh"}, "00", 0},
    };
    for (const Case& c : cases) {
        scale_.reset_calls();
        make({});
        weighing_snapshot saved;
        saved.tare = c.current_tare;
        saved_.store(saved);
        sale_.one_touch_tare = c.one_touch;
        sale_.price_accept = 1;
        scale_.preset_result = c.preset_result;
        EXPECT_EQ(send(c.frame), c.reply) << c.name;
        EXPECT_EQ(scale_.calls(), c.calls) << c.name;
        EXPECT_EQ(status(), status_reply(c.status)) << c.name;
        EXPECT_EQ(sale_.price_accept.load(), c.price_accept_after) << c.name;
        EXPECT_EQ(sale_.unit_price.load(), 150) << c.name;  // stored even when refused
    }
}

TEST_F(Dispatcher, RezeroAndOneTouchTare) {
    weighing_snapshot saved;
    saved.tare = 150;
    saved_.store(saved);
    EXPECT_EQ(send(record("06")), NAK);  // not under a tare
    EXPECT_TRUE(scale_.calls().empty());
    EXPECT_EQ(status(), status_reply("01"));

    saved_.store(weighing_snapshot{});
    EXPECT_EQ(send(record("06")), ACK);
    scale_.rezero_result = 1;
    EXPECT_EQ(send(record("06")), NAK);
    EXPECT_EQ(status(), status_reply("01"));

    EXPECT_EQ(send(record("07")), ACK);  // goods on the platform: a key tare
    EXPECT_EQ(sale_.one_touch_tare.load(), 1);
    EXPECT_EQ(status(), status_reply("00"));
    weighing_snapshot empty;
    empty.zero = 1;
    saved_.store(empty);
    scale_.tare_result = 2;
    EXPECT_EQ(send(record("07")), NAK);
    EXPECT_EQ(sale_.one_touch_tare.load(), 0);
    EXPECT_EQ(status(), status_reply("01"));
    EXPECT_EQ(scale_.calls(), (std::vector<std::string>{"rezero", "rezero", "tare", "tare"}));
}

TEST_F(Dispatcher, HandshakeFirstAndAgainAfter51Readings) {
    make(EcrSettings{1, 1, 0});
    EXPECT_EQ(dispatcher_->verify_state(), ecr::VerifyState::request);
    EXPECT_EQ(send(ENQ), "\x02" "11\x1b" "24d\x03");  // not scale data
    EXPECT_EQ(send(STATUS), status_reply("00"));       // record 08 in any state
    EXPECT_EQ(dispatcher_->verify_state(), ecr::VerifyState::await_cs_kw);
    EXPECT_EQ(send(test::record10({0x2468}, 0x4D)), ACK);
    EXPECT_EQ(send(ENQ), "\x02" "11\x1b" "1\x03");
    EXPECT_EQ(dispatcher_->verify_state(), ecr::VerifyState::verified);

    send(record("30"));
    for (int i = 1; i <= 51; ++i) ASSERT_EQ(send(ENQ).substr(0, 3), "\x02" "32") << i;
    EXPECT_EQ(dispatcher_->read_counter(), 0);
    EXPECT_EQ(send("\x04\x11"), "\x02" "11\x1b" "24d\x03");  // whatever comes next
    EXPECT_NE(logged().find("-> reached the max reading count\n"), std::string::npos);
}

TEST_F(Dispatcher, LogsEveryStepWordForWord) {
    sale_.unit_price = 150;
    send(record("05", {"000150", "0100", "PEARS        "}));
    send(ENQ);
    scale_.snapshot = test::FakeScale::stable_at(-12);
    sale_.weight_sent = 0;
    make(EcrSettings{0, 0, 0});
    send(ENQ);
    send(record("21"));
    send(STATUS);
    std::string log = logged();
    for (const char* line :
         {"-> verify: disabled\n",
          "-> receive: No. 05, unit price, tare and text (weight mode), unit_price='000150', tare='0100', "
          "text='PEARS        '\n",
          "->    send: ack\n", "-> receive: ENQ\n",
          "->    send: No. 02, scale data (weight mode): weight='01000', unit_price='000150', total_price='000150'\n",
          "->    send: No. 02, scale data (weight mode): weight='-0012', unit_price='000150', total_price='-00001'\n",
          "-> receive: No. 21, request tare\n", "->    send: No. 22, tare: tare='00000'\n",
          "-> receive: No. 08, scale status\n", "->    send: No. 09, scale status: s1='0', s0='0'\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
}

// A field that holds a line end cannot write a line of its own into the log: control bytes
// and DEL are written out, the log keeps one line per event.
TEST_F(Dispatcher, LoggedFieldsCannotForgeLines) {
    send(record("04", {"000150", std::string("AB\nFAKE LINE\n", 13)}));
    send(record("34", {"0001\r\x7F", "\x1f\x01 caf\xC3\xA9 \\x41"}));
    send(record("35", {"000100", "00\t1", std::string("x\x1b\x1b\x1b", 4) + std::string(9, ' ')}));
    std::string log = logged();
    for (const char* line : {
             "-> receive: No. 04, unit price and text (weight mode), unit_price='000150', "
             "text='AB\\x0AFAKE LINE\\x0A'\n",
             "-> receive: No. 34, unit price and text (quantity mode), unit_price='0001\\x0D\\x7F', "
             "text='\\x1F\\x01 caf\xC3\xA9 \\x41'\n",
             "-> receive: No. 35, unit price, quantity and text (quantity mode) unit_price='000100', "
             "quantity='00\\x091', text='x\\x1B\\x1B\\x1B         '\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nin:\n" << log;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) EXPECT_EQ(line.rfind("2024-01-31 23:59:59-> ", 0), 0u) << line;
}

}  // namespace
}  // namespace tarvelo
