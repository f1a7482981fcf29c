#include "ecr/record_dispatcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <sstream>

#include "ecr/ecr_frames.h"
#include "platform/window_messages.h"
#include "tests/ecr/cs_kw_client.h"
#include "tests/ecr/ecr_fakes.h"
#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

const std::string ENQ = "\x04\x05", ACK = "\x06", NAK = "\x15",
                  STATUS =
                      "\x04\x02"
                      "08\x03";

// EOT STX number, each field after an ESC, ETX.
std::string record(const std::string& number, std::initializer_list<std::string> fields = {}) {
    std::string f = "\x04\x02" + number;
    for (const std::string& field : fields) f += "\x1b" + field;
    return f + "\x03";
}
std::string status_reply(const char* s1s0) {
    return std::string(
               "\x02"
               "09\x1b") +
           s1s0 + "\x03";
}

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
    // The request as the server holds it: in a zeroed receive buffer, cut at 255 bytes.
    std::string send(const std::string& frame) {
        ecr::ReceiveBuffer buffer{};
        std::copy_n(frame.begin(), std::min(frame.size(), ecr::kMaxFrame), buffer.begin());
        return dispatcher_->dispatch_frame(buffer, frame.size());
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

// One request on a link of its own: the reply, the status that record 08 reports afterwards,
// and the lines the request writes to the log, word for word and in order.
struct RecordRow {
    const char* name;
    std::string frame;
    std::string reply;
    const char* status;
    std::vector<std::string> log;
    std::vector<std::string> before = {};  // requests sent first on the same link
    EcrSettings settings = {};
    int32_t grams = 1000;  // stable on the platform
};

const char* const ACKED = "   send: ack";
const char* const NAKED = "   send: nak";
const EcrSettings VERIFY{1, 1, 0};
const std::string CHALLENGE =
    "\x02"
    "11\x1b"
    "24d\x03";
const char* const CHALLENGE_LINE = "   send: No. 11, request CS/KW, random_number='4d'";
const std::string PAIR_1A2B = record("10", {"a2b13295"});  // CS "1A2B" against challenge 4d

std::string data02(const char* weight, const char* unit_price, const char* total) {
    return std::string(
               "\x02"
               "02\x1b"
               "3\x1b") +
           weight + "\x1b" + unit_price + "\x1b" + total + "\x03";
}

const RecordRow kRecordRows[] = {
    {"08 first",
     STATUS,
     status_reply("00"),
     "00",
     {"receive: No. 08, scale status", "   send: No. 09, scale status: s1='0', s0='0'"}},
    {"08 after a refusal",
     STATUS,
     status_reply("10"),
     "00",
     {"receive: No. 08, scale status", "   send: No. 09, scale status: s1='1', s0='0'"},
     {record("99")}},
    {"08 with any second byte",
     "\x04\x05"
     "08",
     status_reply("00"),
     "00",
     {"receive: No. 08, scale status", "   send: No. 09, scale status: s1='0', s0='0'"}},
    {"00 weight mode", record("00"), ACK, "00", {"receive: No. 00, set to weight mode", ACKED}},
    {"30 quantity mode", record("30"), ACK, "00", {"receive: No. 30, set to quantity mode", ACKED}},
    {"21 tare",
     record("21"),
     "\x02"
     "22\x1b"
     "3\x1b"
     "00000\x03",
     "00",
     {"receive: No. 21, request tare", "   send: No. 22, tare: tare='00000'"}},
    {"06 rezero", record("06"), ACK, "00", {"receive: No. 06, rezero", ACKED}},
    {"07 one touch tare", record("07"), ACK, "00", {"receive: No. 07, one touch tare", ACKED}},
    {"01 weight price",
     record("01", {"000150", ""}),
     ACK,
     "00",
     {"receive: No. 01, unit price (weight mode), unit_price='000150'", ACKED}},
    {"01 once per weighing",
     record("01", {"000200", ""}),
     NAK,
     "21",
     {"receive: No. 01, unit price (weight mode), unit_price='000200'", NAKED},
     {record("01", {"000150", ""})}},
    {"03 price and tare",
     record("03", {"000150", "0000"}),
     ACK,
     "00",
     {"receive: No. 03, unit price and tare (weight mode), unit_price='000150', tare='0000'",
      ACKED}},
    {"04 price and text",
     record("04", {"000150", "APPLES       "}),
     ACK,
     "00",
     {"receive: No. 04, unit price and text (weight mode), unit_price='000150', text='APPLES       "
      "'",
      ACKED}},
    {"05 price, tare and text",
     record("05", {"000150", "0100", "PEARS        "}),
     ACK,
     "00",
     {"receive: No. 05, unit price, tare and text (weight mode), unit_price='000150', tare='0100', "
      "text='PEARS        '",
      ACKED}},
    {"31 quantity price",
     record("31", {"000250", ""}),
     ACK,
     "00",
     {"receive: No. 31, unit price (quantity mode), unit_price='000250'", ACKED}},
    {"33 price and quantity",
     record("33", {"000250", "0003"}),
     ACK,
     "00",
     {"receive: No. 33, unit price and quantity (quantity mode), unit_price='000250', qty='0003'",
      ACKED}},
    {"34 price and text",
     record("34", {"000250", "BOLTS        "}),
     ACK,
     "00",
     {"receive: No. 34, unit price and text (quantity mode), unit_price='000250', text='BOLTS      "
      "  '",
      ACKED}},
    {"35 price, quantity and text",
     record("35", {"000250", "0003", "NUTS         "}),
     ACK,
     "00",
     {"receive: No. 35, unit price, quantity and text (quantity mode) unit_price='000250', "
      "quantity='0003', "
      "text='NUTS         '",
      ACKED}},
    {"DC1 show", "\x04\x11", ACK, "00", {"receive: DC1, show window", ACKED}},
    {"DC2 hide", "\x04\x12", ACK, "00", {"receive: DC2, hide window", ACKED}},
    {"ENQ weight mode",
     ENQ,
     data02("01000", "000000", "000000"),
     "00",
     {"receive: ENQ",
      "   send: No. 02, scale data (weight mode): weight='01000', unit_price='000000', "
      "total_price='000000'"}},
    {"ENQ beyond five places",
     ENQ,
     data02("23456", "000000", "000000"),
     "00",
     {"receive: ENQ",
      "   send: No. 02, scale data (weight mode): weight='23456', unit_price='000000', "
      "total_price='000000'"},
     {},
     {},
     123456},
    {"ENQ below zero",
     ENQ,
     data02("-0012", "000150", "-00001"),
     "00",
     {"receive: ENQ",
      "   send: No. 02, scale data (weight mode): weight='-0012', unit_price='000150', "
      "total_price='-00001'"},
     {record("01", {"000150", ""})},
     EcrSettings{0, 0, 0},
     -12},
    {"ENQ refused", ENQ, NAK, "21", {"receive: ENQ", NAKED}, {ENQ}},
    {"ENQ quantity mode",
     ENQ,
     "\x02"
     "32\x1b"
     "3\x1b"
     "00003\x1b"
     "000250\x1b"
     "000750\x03",
     "00",
     {"receive: ENQ",
      "   send: No. 32, scale data (quantity mode): quantity='00003', unit_price='000250', "
      "total_price='000750'"},
     {record("30"), record("33", {"000250", "0003"})}},
    // Chosen by length first, then by number: every other pair is refused.
    {"00 with an extra ESC",
     "\x04\x02"
     "00\x1b\x03",
     NAK,
     "10",
     {NAKED}},
    {"unknown record", record("99"), NAK, "10", {NAKED}},
    {"not a number", record("X1"), NAK, "10", {NAKED}},
    {"10 when verified", record("10", {"1234abcd"}), NAK, "10", {NAKED}},
    {"01 at 12 bytes", record("01", {"00150", ""}), NAK, "10", {NAKED}},
    {"01 at 17 bytes", record("01", {"000150", "0100"}), NAK, "10", {NAKED}},
    {"03 at 13 bytes", record("03", {"000150", ""}), NAK, "10", {NAKED}},
    {"34 at 31 bytes", record("34", {"000250", "0003", "BOLTS        "}), NAK, "10", {NAKED}},
    // The handshake in front of everything but record 08.
    {"handshake asks first", ENQ, CHALLENGE, "00", {CHALLENGE_LINE}, {}, VERIFY},
    {"handshake takes the pairs",
     PAIR_1A2B,
     ACK,
     "00",
     {"receive: No. 10, CS/KW", "cs/kw pair 1: cs='a2b1', kw='3295'", ACKED},
     {ENQ},
     VERIFY},
    {"handshake without a whole pair",
     record("10", {"a2b1329"}),
     NAK,
     "00",
     {"receive: No. 10, CS/KW", NAKED},
     {ENQ},
     VERIFY},
    {"handshake wants record 10",
     record("00"),
     CHALLENGE,
     "00",
     {"receive: not No. 10", CHALLENGE_LINE},
     {ENQ},
     VERIFY},
    {"handshake passed",
     ENQ,
     "\x02"
     "11\x1b"
     "1\x03",
     "00",
     {"   send: No. 11, response CS/KW result, result='1'"},
     {ENQ, PAIR_1A2B},
     VERIFY},
    {"handshake failed",
     ENQ,
     "\x02"
     "11\x1b"
     "0\x03",
     "00",
     {"   send: No. 11, response CS/KW result, result='0'"},
     {ENQ, record("10", {"a2b13296"})},
     VERIFY},
    {"handshake wants ENQ",
     record("00"),
     CHALLENGE,
     "00",
     {"receive: not ENQ request for verification result", CHALLENGE_LINE},
     {ENQ, PAIR_1A2B},
     VERIFY},
};

void PrintTo(const RecordRow& row, std::ostream* os) {
    *os << row.name;
}

class DispatcherRecords : public Dispatcher, public ::testing::WithParamInterface<RecordRow> {
  protected:
    void SetUp() override { make(GetParam().settings); }
    // The messages of the log, without their time stamps.
    std::vector<std::string> log_lines() {
        std::vector<std::string> lines;
        std::string text = logged();
        for (size_t pos = 0, end; (end = text.find('\n', pos)) != std::string::npos;
             pos = end + 1) {
            std::string line = text.substr(pos, end - pos);
            size_t arrow = line.find("-> ");
            lines.push_back(arrow == std::string::npos ? line : line.substr(arrow + 3));
        }
        return lines;
    }
};

TEST_P(DispatcherRecords, ReplyStatusAndLogLines) {
    const RecordRow& row = GetParam();
    scale_.snapshot = test::FakeScale::stable_at(row.grams);
    for (const std::string& frame : row.before) send(frame);
    size_t from = log_lines().size();
    EXPECT_EQ(send(row.frame), row.reply);
    std::vector<std::string> lines = log_lines();
    ASSERT_FALSE(lines.empty());
    ASSERT_GE(lines.size(), from);
    EXPECT_EQ(lines.front(), row.settings.verify ? "verify: enabled" : "verify: disabled");
    EXPECT_EQ(
        std::vector<std::string>(lines.begin() + static_cast<std::ptrdiff_t>(from), lines.end()),
        row.log);
    EXPECT_EQ(status(), status_reply(row.status));
    EXPECT_EQ(status(), status_reply("00"));  // a status is told once
}

INSTANTIATE_TEST_SUITE_P(Rows, DispatcherRecords, ::testing::ValuesIn(kRecordRows),
                         [](const ::testing::TestParamInfo<RecordRow>& p) {
                             std::string name = p.param.name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST_F(Dispatcher, WindowAndModeCalls) {
    send("\x04\x11");
    send("\x04\x12");
    send(record("30"));
    EXPECT_EQ(sale_.mode.load(), 1);
    send(record("00"));
    EXPECT_EQ(sale_.mode.load(), 0);
    EXPECT_EQ(
        display_.calls(),
        (std::vector<std::string>{"show main", "show second", "hide main", "hide second",
                                  "mode 1 main", "mode 1 second", "mode 0 main", "mode 0 second"}));
    send(record("00"));  // already in weight mode: still a switch the display must follow
    EXPECT_EQ(sale_.mode_switches.load(), 3u);
}

TEST_F(Dispatcher, QuantityModeServesWithoutWeighing) {
    send(record("30"));
    send(record("35", {"000250", "0003", "NUTS  \t      "}));
    EXPECT_EQ(sale_.text(), "NUTS");
    EXPECT_EQ(send(ENQ),
              "\x02"
              "32\x1b"
              "3\x1b"
              "00003\x1b"
              "000250\x1b"
              "000750\x03");
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
    // A total past six digits keeps its last six: 9999 x 999999 = 9998990001.
    EXPECT_EQ(send(record("33", {"999999", "9999"})), ACK);
    EXPECT_EQ(send(ENQ),
              "\x02"
              "32\x1b"
              "3\x1b"
              "09999\x1b"
              "999999\x1b"
              "990001\x03");
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
        {"weight sent", at(1000), 0, 1,
         "\x02"
         "02\x1b"
         "3\x1b"
         "01000\x1b"
         "000150\x1b"
         "000150\x03",
         "00"},
        {"already sent", at(1000), 1, 1, NAK, "21"},
        {"underload", with(at(0), &weighing_snapshot::underload), 0, 1, NAK, "31"},
        {"overload", with(at(7000), &weighing_snapshot::overload), 0, 1, NAK, "32"},
        {"below the minimum", at(39), 0, 1, NAK, "30"},
        {"at the minimum", at(40), 0, 1,
         "\x02"
         "02\x1b"
         "3\x1b"
         "00040\x1b"
         "000150\x1b"
         "000006\x03",
         "00"},
        // Two reasons at once: the first in the order of the checks is reported.
        {"sent and below the minimum", at(39), 1, 1, NAK, "21"},
        {"already sent and underload", with(at(0), &weighing_snapshot::underload), 1, 1, NAK, "21"},
        {"already sent and overload", with(at(7000), &weighing_snapshot::overload), 1, 1, NAK,
         "21"},
        {"underload and overload",
         with(with(at(0), &weighing_snapshot::underload), &weighing_snapshot::overload), 0, 1, NAK,
         "31"},
        {"minimum off", at(0), 0, 0,
         "\x02"
         "02\x1b"
         "3\x1b"
         "00000\x1b"
         "000150\x1b"
         "000000\x03",
         "00"},
        {"link lost", with(at(1000), &weighing_snapshot::link_lost), 0, 1, NAK, "01"},
    };
    for (const Case& c : cases) {
        make(EcrSettings{0, c.min_wgt, 0});
        sale_.unit_price = 150;
        sale_.weight_sent = c.weight_sent;
        sale_.sent_weight = c.snapshot.weight;  // "sent": this very weighing
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

    // Lost while the scale settles: the loss is the reason, not the instability.
    scale_.snapshot.link_lost = 0;
    scale_.unstable_reads = std::vector<bool>(100, true);
    scale_.lose_after = scale_.snapshots + 3;
    EXPECT_EQ(send(ENQ), NAK);
    EXPECT_EQ(status(), status_reply("01"));
}

// Goods that move after a record 02 and settle at a new weight while ENQ waits: the reading
// is a new weighing even before the display's cycle has seen the weight change, and is served,
// not refused as "no movement". The same weighing once more is refused.
TEST_F(Dispatcher, ANewWeightThatSettlesDuringTheWaitIsServed) {
    sale_.unit_price = 150;
    sale_.weight_sent = 1;
    sale_.sent_weight = 1234;
    scale_.snapshot = test::FakeScale::stable_at(1240);
    scale_.unstable_reads = std::vector<bool>(3, true);
    EXPECT_EQ(send(ENQ),
              "\x02"
              "02\x1b"
              "3\x1b"
              "01240\x1b"
              "000150\x1b"
              "000186\x03");
    EXPECT_EQ(sale_.sent_weight.load(), 1240);
    EXPECT_EQ(send(ENQ), NAK);
    EXPECT_EQ(status(), status_reply("21"));
}

// The tare in force is a weighing value like any other: none is reported from a board that is
// not heard from.
TEST_F(Dispatcher, TareOfALostBoardIsRefused) {
    scale_.snapshot.tare = 200;
    EXPECT_EQ(send(record("21")),
              "\x02"
              "22\x1b"
              "3\x1b"
              "00200\x03");
    scale_.snapshot.link_lost = 1;
    EXPECT_EQ(send(record("21")), NAK);
    EXPECT_EQ(status(), status_reply("01"));
}

// A weight-mode price refused while entry is closed ends without the tail: in quantity mode
// nothing is posted again for it.
TEST_F(Dispatcher, ARefusedWeightPriceRunsNoTail) {
    send(record("30"));
    send(record("33", {"000250", "0003"}));
    sale_.price_accept = 0;
    size_t before = display_.posted().size();
    EXPECT_EQ(send(record("01", {"000150", ""})), NAK);
    EXPECT_EQ(display_.posted().size(), before);
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
        {"01 no tare in force",
         record("01", {"000150", ""}),
         0,
         0,
         0,
         ACK,
         {"sale_refresh"},
         "00",
         0},
        {"01 clears a preset tare",
         record("01", {"000150", ""}),
         150,
         0,
         0,
         ACK,
         {"preset_tare 0", "sale_refresh"},
         "00",
         0},
        {"01 keeps a key tare",
         record("01", {"000150", ""}),
         150,
         1,
         0,
         ACK,
         {"sale_refresh"},
         "00",
         0},
        {"03 same tare",
         record("03", {"000150", "0150"}),
         150,
         0,
         0,
         ACK,
         {"sale_refresh"},
         "00",
         0},
        {"03 new tare",
         record("03", {"000150", "0200"}),
         150,
         0,
         0,
         ACK,
         {"preset_tare 200", "sale_refresh"},
         "00",
         0},
        {"03 at the limit",
         record("03", {"000150", "5998"}),
         0,
         0,
         0,
         ACK,
         {"preset_tare 5998", "sale_refresh"},
         "00",
         0},
        {"03 over the limit", record("03", {"000150", "6000"}), 0, 0, 0, NAK, {}, "12", 1},
        {"03 negative", record("03", {"000150", "-001"}), 0, 0, 0, NAK, {}, "12", 1},
        {"05 board refuses",
         record("05", {"000150", "0100", "PEARS        "}),
         0,
         0,
         1,
         NAK,
         {"preset_tare 100"},
         "00",
         1},
        {"05 key tare wins",
         record("05", {"000150", "0100", "PEARS        "}),
         300,
         1,
         0,
         ACK,
         {"sale_refresh"},
         "00",
         0},
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

    // Zero and tare replace both characters of a status still standing, whatever their result.
    auto standing_30 = [&] {
        scale_.snapshot = test::FakeScale::stable_at(39);
        ASSERT_EQ(send(ENQ), NAK);  // below the minimum: 3 0
    };
    saved_.store(weighing_snapshot{});
    standing_30();
    EXPECT_EQ(send(record("06")), ACK);
    EXPECT_EQ(status(), status_reply("00"));
    standing_30();
    scale_.rezero_result = 1;
    EXPECT_EQ(send(record("06")), NAK);
    EXPECT_EQ(status(), status_reply("01"));

    standing_30();
    EXPECT_EQ(send(record("07")), ACK);  // goods on the platform: a key tare
    EXPECT_EQ(sale_.one_touch_tare.load(), 1);
    EXPECT_EQ(status(), status_reply("00"));
    weighing_snapshot empty;
    empty.zero = 1;
    saved_.store(empty);
    scale_.tare_result = 2;
    standing_30();
    EXPECT_EQ(send(record("07")), NAK);
    EXPECT_EQ(sale_.one_touch_tare.load(), 0);
    EXPECT_EQ(status(), status_reply("01"));
    EXPECT_EQ(scale_.calls(), (std::vector<std::string>{"rezero", "rezero", "tare", "tare"}));
}

TEST_F(Dispatcher, HandshakeFirstAndAgainAfter51Readings) {
    make(EcrSettings{1, 1, 0});
    EXPECT_EQ(dispatcher_->verify_state(), ecr::VerifyState::request);
    EXPECT_EQ(send(ENQ),
              "\x02"
              "11\x1b"
              "24d\x03");                         // not scale data
    EXPECT_EQ(send(STATUS), status_reply("00"));  // record 08 in any state
    EXPECT_EQ(dispatcher_->verify_state(), ecr::VerifyState::await_cs_kw);
    EXPECT_EQ(send(test::record10({0x2468}, 0x4D)), ACK);
    EXPECT_EQ(send(ENQ),
              "\x02"
              "11\x1b"
              "1\x03");
    EXPECT_EQ(dispatcher_->verify_state(), ecr::VerifyState::verified);

    send(record("30"));
    for (int i = 1; i <= 51; ++i)
        ASSERT_EQ(send(ENQ).substr(0, 3),
                  "\x02"
                  "32")
            << i;
    EXPECT_EQ(dispatcher_->read_counter(), 0);
    EXPECT_EQ(send("\x04\x11"),
              "\x02"
              "11\x1b"
              "24d\x03");  // whatever comes next
    EXPECT_NE(logged().find("-> reached the max reading count\n"), std::string::npos);
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
             "-> receive: No. 34, unit price and text (quantity mode), "
             "unit_price='0001\\x0D\\x7F', "
             "text='\\x1F\\x01 caf\xC3\xA9 \\x41'\n",
             "-> receive: No. 35, unit price, quantity and text (quantity mode) "
             "unit_price='000100', "
             "quantity='00\\x091', text='x\\x1B\\x1B\\x1B         '\n",
         })
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nin:\n" << log;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        EXPECT_EQ(line.rfind("2024-01-31 23:59:59-> ", 0), 0u) << line;
}

}  // namespace
}  // namespace tarvelo
