// Every screen a shop sees, on a real X desktop: one table whose rows are what the ECR, the
// board or the operator does and what the screen must then show, in the colours and sizes that
// the settings and the templates ask for. Each group of rows is one run of the scale on a
// desktop of its own; each row leaves its picture in build/screenshots/desktop/<screen>.png.

#include <algorithm>
#include <ostream>

#include "tests/desktop/screen_stage.h"

namespace tarvelo::test {

// One group of rows: a desktop, the settings and the board the scale starts with, the rows.
struct Group {
    const char* name;
    std::vector<QRect> monitors;
    bool tray;
    std::vector<Setting> settings;
    std::vector<std::string> board_lines;
    std::vector<Row> (*rows)(Stage&);
};
void PrintTo(const Group& g, std::ostream* os) {
    *os << g.name;
}

namespace {

std::vector<Look> operator+(std::vector<Look> a, const std::vector<Look>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const char* kMain1 = "windowMain1";
const char* kMain2 = "windowMain2";

// The settings' section of a display window.
const char* section_of(const Win& w) {
    return w.cls == std::string(kBar) ? kMain1 : kMain2;
}

// The four values of a display window, left to right (an empty text: not looked at).
std::vector<Look> values(const Stage& st, const Win& w, const QString& tare, const QString& weight,
                         const QString& unit_price, const QString& total) {
    const char* section = section_of(w);
    std::vector<Look> looks;
    const std::pair<const char*, QString> shown[] = {
        {"1054", tare}, {"1046", weight}, {"1050", unit_price}, {"1052", total}};
    for (const auto& [id, text] : shown)
        if (!text.isEmpty()) looks.push_back(shows(w, id, st.asked.value(section, text)));
    return looks;
}

// The zero and net indicators of a display window, on or off.
std::vector<Look> marks(const Stage& st, const Win& w, bool zero, bool net) {
    const char* section = section_of(w);
    const Text z = st.asked.caption(section, ">0<", kLeft),
               n = st.asked.caption(section, "NET", kCentre);
    return {zero ? shows(w, "1011", z) : lacks(w, "1011", z),
            net ? shows(w, "1012", n) : lacks(w, "1012", n)};
}

// Brand, units and captions of a display window in weight or quantity mode.
std::vector<Look> labels(const Stage& st, const Win& w, bool quantity) {
    const char* section = section_of(w);
    const Text tare = st.asked.caption(section, "TARE kg");
    return {shows(w, "1000", brand()), quantity ? lacks(w, "1048", tare) : shows(w, "1048", tare),
            shows(w, "1047", st.asked.caption(section, quantity ? "pcs" : "kg")),
            shows(w, "1049", st.asked.caption(section, kEuro + (quantity ? "/pcs" : "/kg"))),
            shows(w, "1051", st.asked.caption(section, kEuro))};
}

// The same rows for the bar and then for the customer window: one action, two screens.
std::vector<Row> both(const Stage& st, const std::string& screen, std::function<void()> act,
                      const std::function<std::vector<Look>(const Win&)>& looks) {
    return {{"bar_" + screen, std::move(act), looks(st.bar)},
            {"customer_" + screen, {}, looks(st.customer)}};
}

// kestrin's statics: "MS Shell Dlg" 8, drawn with Liberation Sans of 11 pixels, at the top of
// their place.
Text kestrin_text(const QString& t) {
    return {t, {"Liberation Sans", 11, false}, kBlack, Qt::AlignRight | Qt::AlignTop};
}

std::vector<Row> two_monitor_rows(Stage& st) {
    // The colour test and the boot screen cover both monitors to their last pixel; beyond the
    // second monitor's 480 lines the desktop shows. (The bar, shown from the start, may stand
    // in front along the top of the first monitor; trayer sits in its bottom right corner.)
    const std::vector<QPoint> monitors{{0, 60},  {799, 60}, {0, 599},   {735, 599}, {799, 575},
                                       {800, 0}, {1439, 0}, {800, 479}, {1439, 479}};
    const std::vector<QPoint> beyond{{800, 480}, {1439, 480}};
    std::map<std::string, std::string> shown = identity();
    const Win version{kVersion, {250, 150, 390, 400}}, wizard{kWizard, {250, 150, 390, 304}};
    const Win step1{kStep1, wizard.place}, step2{kStep2, wizard.place}, kestrin{kKestrin, {}};
    const Text big_white{"", points_face("Arial", 26), kWhite, kTop, true};
    auto white = [&](const std::string& t) {
        Text x = big_white;
        x.text = QString::fromStdString(t);
        return x;
    };
    auto label = [](const QString& t, double points) {
        return Text{t, points_face("Arial Bold", points), kBlack, Qt::AlignLeft | Qt::AlignTop,
                    true};
    };
    auto step = [](const QString& t) {
        return Text{t, points_face("Arial Bold", 18), kBlack, kTop, true};
    };

    std::vector<Row> rows = {
        {"flash_green", {}, {covers(monitors, kGreen, beyond)}},
        {"flash_blue", {}, {covers(monitors, kBlue, beyond)}},
        {"boot_screen",
         {},
         {covers(monitors, kCrimson, beyond),
          boot_covers_before_the_colour_test_closes(st.s.probe_)}},
    };
    auto add = [&](std::vector<Row> more) { rows.insert(rows.end(), more.begin(), more.end()); };

    // A sale: goods on the platform, a price and a text from the ECR.
    add(both(
        st, "weight_mode",
        [&] {
            st.ready();
            st.board("weight 1234");
            st.ecr({"price", "150", "text", "APPLES"});
        },
        [&](const Win& w) {
            std::vector<Look> looks = labels(st, w, false) + marks(st, w, false, false) +
                                      values(st, w, " 0,000", " 1,234", "   1,50", "   1,85");
            if (w.cls == std::string(kCustomer))
                looks.push_back(shows(w, "1056", st.asked.value(kMain2, "APPLES", kCentre)));
            return looks;
        }));
    add(both(
        st, "zero", [&] { st.board("weight 0"); },
        [&](const Win& w) {
            return marks(st, w, true, false) + values(st, w, "", " 0,000", "", "");
        }));
    add(both(
        st, "net",
        [&] {
            st.board("weight 500");
            st.ecr({"tare"});
        },
        [&](const Win& w) {
            return marks(st, w, false, true) + values(st, w, " 0,500", " 0,000", "", "");
        }));
    add(both(
        st, "overload", [&] { st.board("overload"); },
        [&](const Win& w) { return values(st, w, "", "OF  ", "", "   0,00"); }));
    add(both(
        st, "underload", [&] { st.board("underload"); },
        [&](const Win& w) { return values(st, w, "", "UF  ", "", "   0,00"); }));
    // A board that falls silent: dashes, no indicator, until it speaks again.
    add(both(
        st, "lost_link",
        [&] {
            st.board("normal");
            st.board("silent");
        },
        [&](const Win& w) {
            return marks(st, w, false, false) + values(st, w, "------", "------", "", "-------");
        }));
    add(both(
        st, "link_back", [&] { st.board("resume"); },
        [&](const Win& w) {
            return marks(st, w, false, true) + values(st, w, " 0,500", " 0,000", "", "");
        }));
    add(both(
        st, "quantity_mode",
        [&] {
            st.ecr({"quantity-mode"});
            st.ecr({"qprice", "250", "qty", "3", "text", "PEARS"});
        },
        [&](const Win& w) {
            std::vector<Look> looks = labels(st, w, true) + marks(st, w, false, false) +
                                      values(st, w, "", "3", "   2,50", "   7,50");
            const char* section = section_of(w);
            looks.push_back(lacks(w, "1054", st.asked.value(section, " 0,500")));
            if (w.cls == std::string(kCustomer))
                looks.push_back(shows(w, "1056", st.asked.value(kMain2, "PEARS", kCentre)));
            return looks;
        }));
    // DC2 hides both windows, DC1 shows them again.
    add(both(
        st, "hidden_by_the_ecr", [&] { st.ecr({"hide"}); },
        [&](const Win& w) { return std::vector<Look>{gone(w)}; }));
    add(both(
        st, "shown_by_the_ecr", [&] { st.ecr({"show"}); },
        [&](const Win& w) { return values(st, w, "", "3", "   2,50", "   7,50"); }));
    // Back to weight mode, an empty platform without tare, and goods for kestrin to read.
    add(both(
        st, "weight_mode_again",
        [&] {
            st.ecr({"weight-mode"});
            st.board("weight 0");
            st.ecr({"tare"});
            st.board("weight 1234");
            st.ecr({"price", "150", "text", "APPLES"});
        },
        [&](const Win& w) {
            return labels(st, w, false) + marks(st, w, false, false) +
                   values(st, w, " 0,000", " 1,234", "   1,50", "   1,85");
        }));

    add({
        {"kestrin_read",
         [&] {
             st.start_kestrin();
             st.type_into(kKestrin, "1001", "1A2B");
             st.click(kKestrin, "1000");
         },
         {shows(kestrin, "1003", kestrin_text("   1,234")),
          shows(kestrin, "1002", kestrin_text("   1,85")), holds([&] {
              // Centred on the first monitor.
              const ProbedWindow* w = find_window(st.table.dump(), kKestrin);
              return w && std::abs(w->place.center().x() - 400) <= 20 ? "" : "kestrin not centred";
          })}},
        // The same goods again: refused, and why.
        {"kestrin_refusal", [&] { st.click(kKestrin, "1000"); },
         box("No movement since last weighting operation")},
        {"kestrin_read_error", [&] { st.answer_box(); }, box("read weight error")},
        {"kestrin_wrong_cs",
         [&] {
             st.answer_box();
             st.type_into(kKestrin, "1001", "12");
             st.click(kKestrin, "1000");
         },
         box("CS value must be 4 digits number")},
        {"kestrin_about",
         [&] {
             st.answer_box();
             st.x.key("F1");
         },
         // The label's place in the About box's template: 42, 14, 114, 8 dialog units.
         {shows_in({kAbout, {}}, {63, 23, 171, 13},
                   {"kestrin, Version 1.0",
                    {"Liberation Sans", 11, false},
                    kBlack,
                    Qt::AlignLeft | Qt::AlignTop})}},
        // The span switch is closed.
        {"message_box",
         [&] {
             st.x.key("Escape");
             st.wait_for([](const Dump& d) { return !Stage::shown(d, kAbout); });
             st.stop_kestrin();
             st.click(kBar, "1002");
         },
         box("Please Open Span Switch!")},
        {"version_window",
         [&] {
             // The box is modal: the zero key does nothing while it is open, and works again
             // once it is closed (its command then is the only one).
             const int before = st.s.commands();
             st.click(kBar, "1005");
             st.answer_box();
             st.click(kBar, "1005");
             EXPECT_TRUE(wait_until([&] { return st.s.commands() > before; }, 10000));
             // A click that went through the box may reach the board after the one that counts.
             EXPECT_FALSE(wait_until([&] { return st.s.commands() > before + 1; }, 1000))
                 << "the zero key went through the message box";
             st.click(kBar, "1000");
         },
         {shows(version, "1008", label("CHECKSUM", 12)),
          shows(version, "1028", label("Pellum Ver.", 12)),
          shows(version, "1029", label("Dravix Ver.", 12)),
          shows(version, "1001", white(shown["CHECKSUM"])),
          shows(version, "1031", white(shown["Pellum Ver."])),
          shows(version, "1032", white(shown["Dravix Ver."])),
          // Only the values are black behind; the labels keep the dialog's face.
          backs(version, "1031", kBlack, 0.9), backs(version, "1028", kBlack, 0, 0.2)}},
        {"wizard",
         [&] {
             st.click(kVersion, "1033");
             st.board("counts 1234 5678");
             st.board("span open");
             // The scale sees the switch a cycle later: a box that still says it is closed is
             // answered and the click repeated.
             for (int tries = 0; tries < 20; ++tries) {
                 st.click(kBar, "1002");
                 const Dump d = st.wait_for([](const Dump& v) {
                     return Stage::shown(v, kWizard) || Stage::shown(v, kBox);
                 });
                 if (!Stage::shown(d, kBox)) break;
                 st.answer_box();
             }
         },
         {shows(wizard, "1034", label("AD Count", 12)),
          shows(wizard, "1035", label("IR Count", 12)), shows(wizard, "1036", white("  1234")),
          shows(wizard, "1037", white("  5678"))}},
        {"wizard_step1",
         [&] { st.click(kWizard, "1039"); },
         {shows(step1, "1041",
                step("1. Please remove item from scale platform then press Next."))}},
        {"wizard_zero_failed",
         [&] {
             st.board("fail X 1");
             st.click(kStep1, "1039");
         },
         box("Zero reset failed! Press Next to try again.")},
        {"wizard_step2",
         [&] {
             st.answer_box();
             st.click(kStep1, "1039");
         },
         {shows(step2, "1041",
                step("2. Please put full weight on scale platform then press Next."))}},
        {"wizard_span_failed",
         [&] {
             st.board("fail P 1");
             st.click(kStep2, "1039");
         },
         box("Span calibration failed! Press Next to try again.")},
        {"wizard_success",
         [&] {
             st.answer_box();
             st.click(kStep2, "1039");
         },
         box("Calibration success.", false)},
        // The largest value of every field, and the boot windows' longest text, stay whole.
        {"largest_values",
         [&] {
             st.answer_box();
             for (const char* boot : {kBoot, kBoot2})
                 st.s.probe_.set(boot, 1041, "Please remove item from the scale platform!");
             for (const auto& [id, text] : kLargestBarValues)
                 for (const char* w : {kBar, kCustomer}) st.s.probe_.set(w, id, text);
         },
         {holds([&] {
             const Dump d = st.table.dump();
             expect_whole_texts(d, kBar, 10);
             expect_whole_texts(d, kCustomer, 10);
             for (const char* boot : {kBoot, kBoot2}) {
                 const ProbedControl* message = d.control(boot, "1041");
                 EXPECT_TRUE(message && message->fits) << boot;
             }
             return std::string();
         })}},
        // The tray icon: a click hides both display windows, the next shows them again, a
        // double click ends the program.
        {"tray_hidden", [&] { st.x.click(st.tray_icon()); }, {gone(st.bar), gone(st.customer)}},
        {"tray_shown",
         [&] { st.x.click(st.tray_icon()); },
         {shows(st.bar, "1000", brand()), shows(st.customer, "1000", brand())}},
        {"tray_closed",
         [&] { st.x.double_click(st.tray_icon()); },
         {gone(st.bar), gone(st.customer), holds([&] {
              const int code = st.s.tarvelo_->wait_exit(0);
              return code == 0 ? "" : "tarvelo still runs (" + std::to_string(code) + ")";
          })}},
    });
    return rows;
}

std::vector<Row> fixed_look_rows(Stage& st) {
    const Win& c = st.customer;
    return {
        {"boot_one_monitor", {}, {covers(corners({0, 60, 800, 540}), kCrimson)}},
        // The bar's font_size of 0 draws its values at the smallest readable size.
        {"bar_font_size_0",
         [&] {
             st.ready();
             st.board("weight 1234");
             st.ecr({"price", "150", "text", "APPLES"});
         },
         values(st, st.bar, " 0,000", " 1,234", "   1,50", "   1,85") +
             std::vector<Look>{holds([&] {
                 const Dump d = st.table.dump();
                 if (Stage::shown(d, "QSystemTrayIconSys")) return "a tray icon without a tray";
                 // The display that is not there gives -1 sizes: its boot window went to the
                 // right of the first display, out of sight.
                 const ProbedWindow* boot2 = find_window(d, kBoot2);
                 if (!boot2 || boot2->place.topLeft() != QPoint(800, 0))
                     return "the second boot window is not right of the first display";
                 return "";
             })}},
        {"customer_fixed_weight_mode",
         {},
         {shows_in(c, kTareCaption, bitmap_caption("TARE kg")),
          shows_in(c, kWeightCaption, bitmap_caption("WEIGHT kg")),
          shows_in(c, kUnitPriceCaption, bitmap_caption("UPRICE " + kEuro + "/kg")),
          filled(c, kAmber, 0.5, {140, 90, 112, 28}), shows(c, "1054", fixed_value(" 0,000")),
          shows(c, "1046", fixed_value(" 1,234")), shows(c, "1050", fixed_value("   1,50")),
          shows(c, "1052", fixed_total("   1,85")), shows(c, "1056", fixed_article("APPLES")),
          lacks(c, "1011", fixed_mark(">0<"))}},
        {"customer_fixed_zero",
         [&] { st.board("weight 0"); },
         {shows(c, "1011", fixed_mark(">0<")), shows(c, "1046", fixed_value(" 0,000"))}},
        {"customer_fixed_quantity_mode",
         [&] {
             st.ecr({"quantity-mode"});
             st.ecr({"qprice", "250", "qty", "3", "text", "PEARS"});
         },
         {lacks_in(c, kTareCaption, bitmap_caption("TARE kg")),
          shows_in(c, kWeightCaption, bitmap_caption("QTY pcs")),
          shows_in(c, kUnitPriceCaption, bitmap_caption("UPRICE " + kEuro + "/pcs")),
          lacks(c, "1054", fixed_value(" 0,000")), shows(c, "1046", fixed_value("3")),
          shows(c, "1050", fixed_value("   2,50")), shows(c, "1052", fixed_total("   7,50")),
          shows(c, "1056", fixed_article("PEARS")), lacks(c, "1011", fixed_mark(">0<"))}},
        {"bar_quantity_mode_font_size_0",
         {},
         labels(st, st.bar, true) + values(st, st.bar, "", "3", "", "")},
        {"customer_fixed_weight_mode_again",
         [&] { st.ecr({"weight-mode"}); },
         {shows_in(c, kTareCaption, bitmap_caption("TARE kg")),
          shows_in(c, kWeightCaption, bitmap_caption("WEIGHT kg")),
          shows(c, "1054", fixed_value(" 0,000")), shows(c, "1046", fixed_value(" 0,000")),
          shows(c, "1050", fixed_value("   0,00")), shows(c, "1052", fixed_total("   0,00"))}},
        // The largest value of every field stays whole in the fixed look too.
        {"customer_fixed_largest_values",
         [&] {
             for (const auto& [id, text] : kLargestBarValues) st.s.probe_.set(kCustomer, id, text);
         },
         {holds([&] {
             expect_whole_texts(st.table.dump(), kCustomer, 5);
             return "";
         })}},
        // Still answering with one monitor: the bar takes a click on its brand.
        {"version_one_monitor",
         [&] { st.click(kBar, "1000"); },
         {shows({kVersion, {250, 150, 390, 400}}, "1031",
                {QString::fromStdString(identity()["Pellum Ver."]), points_face("Arial", 26),
                 kWhite, kTop, true})}},
    };
}

// The start-up screens cover each monitor exactly, wherever the second one lies; "Scale
// Booting..." stands on both until the start fails, then the reason, white on crimson, with
// the Exit key on the first monitor only.
std::vector<Row> boot_failure_rows(const std::string& side, const Win& boot, const Win& boot2,
                                   const std::vector<QPoint>& desktop, const QString& failure,
                                   const std::string& failure_name) {
    std::vector<QPoint> points = corners(boot.place.adjusted(0, 60, 0, 0));
    for (const QPoint& p : corners(boot2.place)) points.push_back(p);
    const Text booting{"Scale Booting...", points_face("Arial", 26), kWhite, kTop, true};
    Text reason = booting;
    reason.text = failure;
    const Text exit{"Exit", points_face("Arial Bold", 18), kBlack, kCentre};
    // Below the message, where the first boot window has its Exit key.
    const QRect lower(0, boot2.place.height() / 2, boot2.place.width(), boot2.place.height() / 2);
    const std::string name = "second_" + side;
    return {
        {name + "_flash", {}, {covers(points, kGreen, desktop)}},
        {name + "_boot", {}, {covers(points, kCrimson, desktop)}},
        {name + "_booting",
         {},
         {shows(boot, "1041", booting), shows(boot2, "1041", booting), lacks(boot, "1040", exit)}},
        {name + "_" + failure_name,
         {},
         {shows(boot, "1041", reason), shows(boot2, "1041", reason), shows(boot, "1040", exit),
          filled(boot2, kCrimson, 0.999, lower)}},
    };
}

const QRect kPrimary(0, 0, 800, 600), kSecond(800, 0, 640, 480);

std::vector<Row> left_rows(Stage&) {
    return boot_failure_rows("left", {kBoot, {640, 0, 800, 600}}, {kBoot2, {0, 0, 640, 480}},
                             {{0, 480}, {639, 599}}, "Please remove item from the scale platform!",
                             "remove_item");
}
std::vector<Row> above_rows(Stage&) {
    return boot_failure_rows("above", {kBoot, {0, 480, 800, 600}}, {kBoot2, {0, 0, 640, 480}},
                             {{640, 0}, {799, 479}}, "Scale driver checksum error!",
                             "checksum_error");
}

const Group kGroups[] = {
    // The README's desktop: the run command's settings on 800 x 600 with 640 x 480 beside it.
    {"TwoMonitors", {kPrimary, kSecond}, true, {}, {}, two_monitor_rows},
    // One monitor, the customer window's fixed look, the bar's font_size of 0.
    {"FixedLookOnOneMonitor",
     {kPrimary},
     false,
     {{kMain1, "font_size", "0"},
      {kMain2, "type", "1"},
      {kMain2, "w", "256"},
      {kMain2, "h", "120"}},
     {},
     fixed_look_rows},
    // The second monitor left of the primary one; a platform that never settles.
    {"SecondMonitorLeftPlatformUnsteady",
     {{640, 0, 800, 600}, {0, 0, 640, 480}},
     false,
     {{kMain1, "x", "640"}},
     {"unstable"},
     left_rows},
    // The second monitor above; a board that answers no command, its checksum check included.
    {"SecondMonitorAboveBoardMute",
     {{0, 480, 800, 600}, {0, 0, 640, 480}},
     false,
     {{kMain1, "y", "480"}},
     {"mute on"},
     above_rows},
};

}  // namespace

class Screens : public Desktop, public ::testing::WithParamInterface<Group> {};

TEST_P(Screens, ShowWhatTheSettingsAsk) {
    const Group& g = GetParam();
    Stage st(g.monitors, g.tray, g.settings, g.board_lines);
    ASSERT_TRUE(st.x.ready()) << st.x.why();
    for (const Row& row : g.rows(st))
        if (!st.table.play(row) || HasFatalFailure()) break;
}

INSTANTIATE_TEST_SUITE_P(Desktop, Screens, ::testing::ValuesIn(kGroups),
                         [](const ::testing::TestParamInfo<Group>& group) {
                             return std::string(group.param.name);
                         });

}  // namespace tarvelo::test
