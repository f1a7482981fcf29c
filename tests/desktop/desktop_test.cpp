// Every window on a real X server: tarvelo and kestrin with the xcb platform under openbox, on
// one or two monitors, clicked with xdotool and captured with import. A probe inside each
// program reports its windows, controls, fonts and colours; the screen shows the rest.
// Screenshots go to build/screenshots/desktop/.

#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>

#include "tests/desktop/x_session.h"

namespace tarvelo::test {
namespace {

const std::string kShots = SCREENSHOT_DIR;
const QColor kGreen(0, 255, 169), kBlue(135, 206, 250), kCrimson(220, 20, 60);

const char* kBar = "tarvelo::ui::CTarveloDlg";
const char* kCustomer = "tarvelo::ui::CTarveloDlg2";
const char* kVersion = "tarvelo::ui::CDlg_ver";
const char* kWizard = "tarvelo::ui::CDlg_calbS0";
const char* kStep1 = "tarvelo::ui::CDlg_calbS1";
const char* kStep2 = "tarvelo::ui::CDlg_calbS2";
const char* kBoot = "tarvelo::ui::CDlg_boot";
const char* kBoot2 = "tarvelo::ui::CDlg_boot2";
const char* kKestrin = "kestrin::CkestrinDlg";
const char* kAbout = "kestrin::CAboutDlg";

// The settings of the README's run command, so that what it shows is what is checked here.
std::string run_command_settings(const std::string& run_dir) {
    std::ifstream in(SOURCE_DIR "/scripts/run.sh");
    std::string ini, line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (inside && line == "INI") break;
        if (inside) ini += std::regex_replace(line, std::regex("\\$run"), run_dir) + "\n";
        if (line.find("tarvelo.ini\" <<INI") != std::string::npos) inside = true;
    }
    return ini;
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
    auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

// The largest text each field of the display windows can show: weights and tares of the
// board's seven characters, unit prices of six digits, their product, thirteen bytes of
// article text.
const std::vector<std::pair<int, std::string>> kLargestBarValues = {
    {1046, "-99,999"},   {1054, "-99,999"},       {1050, "9999,99"},
    {1052, "999989,00"}, {1056, "WWWWWWWWWWWWW"}, {1001, "DDDDDDDD"}};

// Every shown text of the window's controls lies inside what the window shows of its control,
// in the face the templates' fonts and "Arial" map to (Qt's own default face would be another).
void expect_whole_texts(const Dump& d, const std::string& cls, int at_least = 1) {
    int seen = 0;
    for (const ProbedControl& c : d.controls) {
        if (c.window != cls || !c.visible) continue;
        ++seen;
        EXPECT_TRUE(c.fits) << cls << " " << c.id << " cut: \"" << c.text << "\" in " << c.family
                            << " " << c.pixels << " px, " << c.place.width() << "x"
                            << c.place.height();
        EXPECT_EQ(c.family, "Liberation Sans") << cls << " " << c.id << " \"" << c.text << "\"";
    }
    EXPECT_GE(seen, at_least) << cls;
}

QPoint centre(const ProbedControl* c) {
    EXPECT_NE(c, nullptr);
    return c ? c->place.center() : QPoint(-1, -1);
}

// The window is on the screen, painted, and takes clicks.
bool on_screen(XSession& x, const std::optional<Dump>& d, const char* cls) {
    const ProbedWindow* w = d ? d->window(cls) : nullptr;
    return w && w->visible && x.settle(w->id, w->place);
}

const ProbedControl* ok_button(const Dump& d) {
    for (const ProbedControl& c : d.controls)
        if (c.window == "QMessageBox" && c.kind == "button" && c.visible) return &c;
    return nullptr;
}

class ScaleRun {
  public:
    ScaleRun(XSession& x, const std::string& ini_changes_from, const std::string& ini_changes_to)
        : x_(x), probe_(x, x.dir().file("probe")) {
        board_ = std::make_unique<Process>(
            BIN_DIR "/boardsim", std::vector<std::string>{"--link", dir_.file("board")},
            dir_.path(), std::map<std::string, std::string>{}, dir_.file("boardsim"));
        EXPECT_TRUE(board_->wait_output("ready:", 5000)) << board_->err();
        std::string ini = run_command_settings(dir_.path().string());
        if (!ini_changes_from.empty()) ini = replace(ini, ini_changes_from, ini_changes_to);
        write_file(dir_.file("tarvelo.ini"), ini);
        tarvelo_ = std::make_unique<Process>(BIN_DIR "/tarvelo", std::vector<std::string>{},
                                             dir_.path(), environment(), dir_.file("tarvelo"));
    }
    ~ScaleRun() {
        if (!::testing::Test::HasFailure()) return;
        x_.grab(kShots + "/failed_" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".png");
        auto tail = [](const std::string& t) {
            return t.substr(t.size() > 3000 ? t.size() - 3000 : 0);
        };
        std::cerr << "tarvelo's output:\n"
                  << tail(tarvelo_->out()) << "\ntarvelo's errors:\n"
                  << tail(tarvelo_->err()) << "\n";
    }
    std::map<std::string, std::string> environment() {
        return {{"DISPLAY", x_.display()},
                {"QT_QPA_PLATFORM", "xcb"},
                {"XDG_RUNTIME_DIR", dir_.path()},
                {"TARVELO_TIME_DIVISOR", "2"},
                {"QT_PLUGIN_PATH", TEST_PLUGIN_DIR},
                {"QT_QPA_GENERIC_PLUGINS", "windowprobe:" + probe_.fifo()}};
    }
    int commands() {
        const std::string out = tarvelo_->out();
        int n = 0;
        for (auto at = out.find("Send write command:"); at != std::string::npos;
             at = out.find("Send write command:", at + 1))
            ++n;
        return n;
    }

    XSession& x_;
    TempDir dir_;
    Probe probe_;
    std::unique_ptr<Process> board_, tarvelo_;
};

// Waits until every point of the screen shows `colour`; saves that screen.
bool screens_show(XSession& x, const std::vector<QPoint>& points, const QColor& colour,
                  const std::string& shot) {
    const std::string path = kShots + "/" + shot;
    return wait_until(
        [&] {
            QImage screen = x.grab(path);
            if (screen.isNull()) return false;
            for (const QPoint& p : points)
                if (pixels_like(screen, QRect(p, QSize(1, 1)), colour, 2) != 1) return false;
            return true;
        },
        20000);
}

class Desktop : public ::testing::Test {
  protected:
    void SetUp() override { std::filesystem::create_directories(kShots); }
};

// Two monitors, 800 x 600 and 640 x 480 to its right, and a notification area: the start-up
// screens on both, the bar, the customer window on the customer monitor, the version window,
// the wizard, the tray icon, a message box and kestrin.
TEST_F(Desktop, TheScaleOnTwoMonitors) {
    XSession x({QSize(800, 600), QSize(640, 480)}, true);
    ASSERT_TRUE(x.ready()) << x.why();
    ScaleRun s(x, "[windowMain2]\nx=0\ny=120", "[windowMain2]\nx=800\ny=0");

    // The colour test and the boot screen cover both monitors, corner to corner; beyond the
    // second monitor's 480 lines the desktop shows.
    // (The bar, shown from the start, may stand in front along the top of the first monitor;
    // trayer sits at its foot.)
    const std::vector<QPoint> both{{2, 100}, {797, 560}, {802, 2}, {1437, 477}};
    EXPECT_TRUE(screens_show(x, both, kGreen, "flash_green.png"));
    EXPECT_TRUE(screens_show(x, both, kBlue, "flash_blue.png"));
    EXPECT_TRUE(screens_show(x, both, kCrimson, "boot.png"));
    EXPECT_EQ(x.grab().pixel(1437, 590) & 0xFFFFFF, 0x505050u);
    ASSERT_TRUE(s.tarvelo_->wait_output("tarvelo: scale ready", 30000)) << s.tarvelo_->err();

    auto d = s.probe_.wait([](const Dump& v) { return v.shown(kBar) && v.shown(kCustomer); });
    ASSERT_TRUE(on_screen(x, d, kBar) && on_screen(x, d, kCustomer));
    // Where the settings put them, as the window manager left them (the start-up screens
    // showed above where the monitors put them).
    struct Place {
        const char* cls;
        QRect rect;
    } places[] = {{kBar, {0, 0, 800, 60}},
                  {kCustomer, {800, 0, 640, 200}},
                  {kVersion, {250, 150, 390, 400}},  // placed, not shown yet
                  {kWizard, {250, 150, 390, 304}}};
    for (const Place& p : places) {
        const ProbedWindow* w = d->window(p.cls);
        ASSERT_NE(w, nullptr) << p.cls;
        EXPECT_EQ(w->place, p.rect) << p.cls;
    }

    // A sale through the real paths: goods on the board, a price and a text from the ECR.
    s.board_->send_line("weight 1234");
    Process ecr(BIN_DIR "/ecrctl", {"--pipe", "kv2170", "price", "150", "text", "APPLES"},
                s.dir_.path(), {{"XDG_RUNTIME_DIR", s.dir_.path()}}, s.dir_.file("ecrctl"));
    EXPECT_EQ(ecr.wait_exit(10000), 0) << ecr.out() << ecr.err();
    d = s.probe_.wait([](const Dump& v) {
        return v.text(kCustomer, "1056") == "APPLES" && v.text(kBar, "1046") == " 1,234";
    });
    ASSERT_TRUE(on_screen(x, d, kBar) && on_screen(x, d, kCustomer));
    x.grab(kShots + "/display_bar.png", d->place(kBar));
    x.grab(kShots + "/customer_window.png", d->place(kCustomer));

    // The boot windows' longest text, and the largest value of every field.
    for (const char* boot : {kBoot, kBoot2})
        s.probe_.set(boot, 1041, "Please remove item from the scale platform!");
    for (const auto& [id, text] : kLargestBarValues)
        for (const char* w : {kBar, kCustomer}) s.probe_.set(w, id, text);
    d = s.probe_.dump();
    ASSERT_TRUE(d);
    expect_whole_texts(*d, kBar, 10);
    expect_whole_texts(*d, kCustomer, 10);
    for (const char* boot : {kBoot, kBoot2}) {
        const ProbedControl* message = d->control(boot, "1041");
        ASSERT_NE(message, nullptr);
        EXPECT_TRUE(message->fits) << boot << ": " << message->text;
    }
    s.probe_.set(kBar, 1046, " 1,234");
    s.probe_.set(kBar, 1001, d->text(kVersion, "1001"));

    {
        // kestrin against this scale, centred on the first monitor, and its About box; closed
        // before the scale's own windows come up over it.
        Probe kp(x, x.dir().file("kestrin-probe"));
        auto env = s.environment();
        env["QT_QPA_GENERIC_PLUGINS"] = "windowprobe:" + kp.fifo();
        Process kestrin(BIN_DIR "/kestrin", {}, s.dir_.path(), env, s.dir_.file("kestrin"));
        auto k = kp.wait([](const Dump& v) { return v.shown(kKestrin); });
        ASSERT_TRUE(on_screen(x, k, kKestrin)) << kestrin.err();
        const QRect kw = k->place(kKestrin);
        EXPECT_LE(std::abs(kw.center().x() - 400), 20) << "not centred";
        x.click(centre(k->control(kKestrin, "1001")));
        x.type("1A2B");
        x.click(centre(k->control(kKestrin, "1000")));
        // (A box on the way, the handshake's result for one, is answered.)
        k = kp.wait([&](const Dump& v) {
            if (const ProbedControl* ok = ok_button(v)) x.click(centre(ok));
            return v.text(kKestrin, "1003") == "   1,234";
        });
        ASSERT_TRUE(k) << kestrin.out() << kestrin.err();
        EXPECT_EQ(k->text(kKestrin, "1002"), "   1,85");
        ASSERT_TRUE(on_screen(x, k, kKestrin));
        x.grab(kShots + "/kestrin.png", k->place(kKestrin));
        kp.set(kKestrin, 1003, "  99,999");
        kp.set(kKestrin, 1002, "999989,00");
        k = kp.dump();
        expect_whole_texts(*k, kKestrin, 7);
        x.key("F1");
        k = kp.wait([](const Dump& v) { return v.shown(kAbout); });
        ASSERT_TRUE(on_screen(x, k, kAbout));
        x.grab(kShots + "/kestrin_about.png", k->place(kAbout));
        expect_whole_texts(*k, kAbout, 2);
        EXPECT_TRUE(k->place(kKestrin).contains(k->place(kAbout).center()));
        x.key("Escape");
        ASSERT_TRUE(kp.wait([](const Dump& v) { return !v.shown(kAbout); }));
        kestrin.stop();
    }

    // A message box is modal: the zero key does nothing while it is open, and works again
    // once it is closed (its command then is the only one).
    const QPoint zero = centre(d->control(kBar, "1005"));
    x.click(centre(d->control(kBar, "1002")));  // the span switch is closed
    d = s.probe_.wait([](const Dump& v) { return v.shown("QMessageBox"); });
    ASSERT_TRUE(on_screen(x, d, "QMessageBox"));
    x.grab(kShots + "/message_box.png", d->place("QMessageBox"));
    const int before = s.commands();
    x.click(zero);
    x.click(centre(ok_button(*d)));
    ASSERT_TRUE(s.probe_.wait([](const Dump& v) { return !v.shown("QMessageBox"); }));
    x.click(zero);
    EXPECT_TRUE(wait_until([&] { return s.commands() > before; }, 10000));
    EXPECT_EQ(s.commands(), before + 1) << "the zero key went through the message box";

    // The version window: the dialog's face, white on black only for the four values.
    d = s.probe_.dump();
    x.click(centre(d->control(kBar, "1000")));
    d = s.probe_.wait([](const Dump& v) { return v.shown(kVersion); });
    ASSERT_TRUE(on_screen(x, d, kVersion));
    EXPECT_EQ(d->place(kVersion), QRect(250, 150, 390, 400));
    QImage version = x.grab(kShots + "/version.png", d->place(kVersion));
    const QPoint origin = d->place(kVersion).topLeft();
    const QColor face = main_colour(version, QRect(0, 0, 4, 4));
    EXPECT_NE(face, QColor(Qt::black)) << "the window is painted black";
    struct Shown {
        const char* id;
        bool value;  // white on black; a label keeps the face
    } shown[] = {{"1008", false}, {"1028", false}, {"1029", false}, {"1042", false},
                 {"1001", true},  {"1031", true},  {"1032", true},  {"1043", true}};
    for (const auto& [id, value] : shown) {
        const ProbedControl* c = d->control(kVersion, id);
        ASSERT_NE(c, nullptr) << id;
        const QRect in_shot = c->place.translated(-origin);
        const QColor behind = main_colour(version, in_shot);
        EXPECT_EQ(behind, value ? QColor(Qt::black) : face)
            << id << " on " << behind.name().toStdString();
        EXPECT_GT(std::abs(behind.lightness() - c->colour.lightness()), 100)
            << id << " text " << c->colour.name().toStdString() << " on "
            << behind.name().toStdString();
        EXPECT_GT(pixels_like(version, in_shot, c->colour, 60), 10) << id << " shows no text";
    }
    expect_whole_texts(*d, kVersion, 9);

    // The wizard, once the span switch is open (the scale sees it a cycle later: a box that
    // still says it is closed is answered and the click repeated).
    s.board_->send_line("span open");
    bool opened = false;
    for (int tries = 0; tries < 20 && !opened && !HasFatalFailure(); ++tries) {
        x.click(centre(d->control(kBar, "1002")));
        d = s.probe_.wait([](const Dump& v) { return v.shown(kWizard) || v.shown("QMessageBox"); });
        ASSERT_TRUE(d);
        opened = d->shown(kWizard);
        if (!opened) {
            ASSERT_TRUE(on_screen(x, d, "QMessageBox"));
            x.click(centre(ok_button(*d)));
            d = s.probe_.wait([](const Dump& v) { return !v.shown("QMessageBox"); });
            ASSERT_TRUE(d);
        }
    }
    ASSERT_TRUE(opened && on_screen(x, d, kWizard));
    s.probe_.set(kWizard, 1036, "-8388608");
    s.probe_.set(kWizard, 1037, "16777215");
    d = s.probe_.dump();
    ASSERT_TRUE(d);
    expect_whole_texts(*d, kWizard, 6);
    x.grab(kShots + "/wizard.png", d->place(kWizard));
    x.click(centre(d->control(kWizard, "1039")));
    d = s.probe_.wait([](const Dump& v) { return v.shown(kStep1); });
    ASSERT_TRUE(on_screen(x, d, kStep1));
    EXPECT_EQ(d->place(kStep1), QRect(250, 150, 390, 304));
    x.grab(kShots + "/wizard_step1.png", d->place(kStep1));
    expect_whole_texts(*d, kStep1, 3);
    x.click(centre(d->control(kStep1, "1039")));
    d = s.probe_.wait([](const Dump& v) { return v.shown(kStep2); });
    if (!d) {
        std::cerr << "DEBUG " << x.run({"/usr/bin/xdotool", "getmouselocation"}).out
                  << x.run({"/usr/bin/xdotool", "getwindowfocus", "getwindowname"}).out << "\n";
        auto dd = s.probe_.dump();
        for (auto& w : dd->windows)
            if (w.visible)
                std::cerr << w.cls << " " << w.place.x() << "," << w.place.y() << " "
                          << w.place.width() << "x" << w.place.height() << "\n";
        x.click(centre(dd->control(kStep1, "1039")));
        d = s.probe_.wait([](const Dump& v) { return v.shown(kStep2); });
        std::cerr << "second try " << bool(d) << "\n";
    }
    ASSERT_TRUE(on_screen(x, d, kStep2));
    EXPECT_EQ(d->place(kStep2), QRect(250, 150, 390, 304));
    x.grab(kShots + "/wizard_step2.png", d->place(kStep2));
    expect_whole_texts(*d, kStep2, 3);
    x.click(centre(d->control(kStep2, "1040")));
    ASSERT_TRUE(s.probe_.wait([](const Dump& v) { return !v.shown(kStep2); }));

    // The tray icon: a click hides both display windows, the next shows them again (the
    // session paces them, or two clicks would be a double click, which ends the program).
    d = s.probe_.dump();
    const ProbedWindow* icon = d->window("QSystemTrayIconSys");
    ASSERT_TRUE(on_screen(x, d, "QSystemTrayIconSys")) << "no tray icon";
    x.click(icon->place.center());
    ASSERT_TRUE(s.probe_.wait([](const Dump& v) { return !v.shown(kBar) && !v.shown(kCustomer); }));
    x.click(icon->place.center());
    ASSERT_TRUE(s.probe_.wait([](const Dump& v) { return v.shown(kBar) && v.shown(kCustomer); }));
}

// One monitor and no notification area: the display-1 windows get the -1 sizes and nothing
// crashes or hangs; the customer window in its fixed look over the built-in bitmaps.
TEST_F(Desktop, OneMonitorAndTheFixedCustomerLook) {
    XSession x({QSize(800, 600)}, false);
    ASSERT_TRUE(x.ready()) << x.why();
    ScaleRun s(x, "[windowMain2]\nx=0\ny=120\nw=640\nh=200",
               "[windowMain2]\ntype=1\nx=0\ny=120\nw=256\nh=120");
    EXPECT_TRUE(screens_show(x, {{2, 100}, {797, 560}}, kCrimson, "boot_one_monitor.png"));
    ASSERT_TRUE(s.tarvelo_->wait_output("tarvelo: scale ready", 30000)) << s.tarvelo_->err();
    auto d = s.probe_.wait([](const Dump& v) { return v.shown(kBar) && v.shown(kCustomer); });
    ASSERT_TRUE(on_screen(x, d, kBar) && on_screen(x, d, kCustomer));
    EXPECT_EQ(d->window("QSystemTrayIconSys"), nullptr);
    EXPECT_EQ(d->place(kBoot2).topLeft(), QPoint(800, 0));
    EXPECT_EQ(d->place(kCustomer), QRect(0, 120, 256, 120));
    for (const auto& [id, text] : kLargestBarValues) s.probe_.set(kCustomer, id, text);
    d = s.probe_.dump();
    ASSERT_TRUE(d);
    expect_whole_texts(*d, kCustomer, 5);
    s.probe_.set(kCustomer, 1054, " 0,000");
    s.probe_.set(kCustomer, 1046, " 1,234");
    s.probe_.set(kCustomer, 1050, "   1,50");
    s.probe_.set(kCustomer, 1052, "   1,85");
    s.probe_.set(kCustomer, 1056, "APPLES");
    d = s.probe_.wait([](const Dump& v) { return v.text(kCustomer, "1056") == "APPLES"; });
    ASSERT_TRUE(on_screen(x, d, kCustomer));
    x.grab(kShots + "/customer_window_fixed.png", d->place(kCustomer));
    // Still answering: the bar takes a click on its brand.
    x.click(centre(d->control(kBar, "1000")));
    EXPECT_TRUE(s.probe_.wait([](const Dump& v) { return v.shown(kVersion); }));
}

}  // namespace
}  // namespace tarvelo::test
