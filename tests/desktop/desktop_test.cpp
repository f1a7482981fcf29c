// Every window on a real X server: tarvelo and kestrin with the xcb platform under openbox, on
// one or two monitors, clicked with xdotool and captured with import. A probe inside each
// program reports its windows, controls, fonts and colours; the screen shows the rest.
// Screenshots go to build/screenshots/desktop/.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QImage>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>

#include "tests/desktop/x_session.h"

namespace tarvelo::test {
namespace {

const std::string kShots = SCREENSHOT_DIR;
const QColor kGreen(0, 255, 169), kBlue(135, 206, 250), kCrimson(220, 20, 60);
const QColor kDesktop(0x50, 0x50, 0x50);  // the root window's grey

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

// Every shown text of the window stands out from what is behind it on the screen: a text in
// its background's colour, or near it, is not there for the person in front of the scale.
void expect_legible(const QImage& screen, const Dump& d, const std::string& cls, int at_least) {
    const QRect window = d.place(cls);
    int seen = 0;
    for (const ProbedControl& c : d.controls) {
        if (c.window != cls || !c.visible) continue;
        ++seen;
        const QRect rect = c.place & window;
        const QColor behind = ground_colour(screen, rect);
        EXPECT_GT(std::abs(behind.lightness() - c.colour.lightness()), 100)
            << cls << " " << c.id << " \"" << c.text << "\": " << c.colour.name().toStdString()
            << " on " << behind.name().toStdString();
        EXPECT_GT(pixels_like(screen, rect, c.colour, 60), 4)
            << cls << " " << c.id << " \"" << c.text << "\" shows no text";
    }
    EXPECT_GE(seen, at_least) << cls;
}

// The four corner pixels of a rectangle.
std::vector<QPoint> corners(const QRect& r) {
    return {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight()};
}

QPoint centre(const ProbedControl* c) {
    EXPECT_NE(c, nullptr);
    return c ? c->place.center() : QPoint(-1, -1);
}

// A click on the control's centre, once X has its window under the pointer.
void press(XSession& x, const Dump& d, const char* cls, const char* id) {
    const ProbedWindow* w = d.window(cls);
    EXPECT_TRUE(w && w->visible) << cls;
    x.click(centre(d.control(cls, id)), w ? w->id : 0);
}

// The window is on the screen, painted, and takes clicks.
bool on_screen(XSession& x, const std::optional<Dump>& d, const char* cls) {
    const ProbedWindow* w = d ? d->window(cls) : nullptr;
    return w && w->visible && x.settle(w->id, w->place);
}

const ProbedControl* ok_button(const Dump& d) {
    if (!d.shown("QMessageBox")) return nullptr;
    for (const ProbedControl& c : d.controls)
        if (c.window == "QMessageBox" && c.kind == "button" && c.visible) return &c;
    return nullptr;
}

class ScaleRun {
  public:
    // `board_lines` go to the board before the scale starts, each answered before the next.
    ScaleRun(XSession& x, const std::string& ini_changes_from, const std::string& ini_changes_to,
             const std::vector<std::string>& board_lines = {})
        : x_(x), probe_(x, x.dir().file("probe")) {
        board_ = std::make_unique<Process>(
            BIN_DIR "/boardsim", std::vector<std::string>{"--link", dir_.file("board")},
            dir_.path(), std::map<std::string, std::string>{}, dir_.file("boardsim"));
        EXPECT_TRUE(board_->wait_output("ready:", 5000)) << board_->err();
        for (size_t i = 0; i < board_lines.size(); ++i) {
            board_->send_line(board_lines[i]);
            EXPECT_TRUE(wait_until(
                [&] {
                    const std::string out = board_->out();
                    size_t answers = 0;
                    for (auto at = out.find("\nok\n"); at != std::string::npos;
                         at = out.find("\nok\n", at + 1))
                        ++answers;
                    return answers > i;
                },
                5000))
                << board_lines[i] << ": " << board_->out();
        }
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

// Waits until every point of `points` shows `colour` and every point of `desktop` the bare
// desktop; saves that screen. A colour phase of the start-up lasts a second here, a grab
// three hundredths of one.
bool screens_show(XSession& x, const std::vector<QPoint>& points, const QColor& colour,
                  const std::string& shot, const std::vector<QPoint>& desktop = {}) {
    const std::string path = kShots + "/" + shot;
    auto shows = [](const QImage& screen, const QPoint& p, const QColor& c) {
        return pixels_like(screen, QRect(p, QSize(1, 1)), c, 2) == 1;
    };
    QImage screen;
    const bool shown = wait_until(
        [&] {
            screen = x.grab();
            if (screen.isNull()) return false;
            for (const QPoint& p : points)
                if (!shows(screen, p, colour)) return false;
            for (const QPoint& p : desktop)
                if (!shows(screen, p, kDesktop)) return false;
            return true;
        },
        20000);
    screen.save(QString::fromStdString(path));  // what the screen showed last, shown or not
    return shown;
}

// The programs under test see only what the test gives them: nothing of the developer's
// desktop session (its D-Bus with a tray of its own, Qt's scaling, style and theme variables,
// its settings folders) reaches them.
void clean_environment(const std::filesystem::path& home) {
    static const std::set<std::string> kept{
        "PATH",         "LANG",          "LANGUAGE",     "TMPDIR",      "LD_LIBRARY_PATH",
        "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"};
    std::vector<std::string> dropped;
    for (char** e = environ; *e; ++e) {
        const std::string name = std::string(*e).substr(0, std::string(*e).find('='));
        if (kept.count(name) == 0 && name.rfind("LC_", 0) != 0) dropped.push_back(name);
    }
    for (const std::string& name : dropped) ::unsetenv(name.c_str());
    ::setenv("HOME", home.c_str(), 1);
    for (const char* folder : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        ::setenv(folder, (home / folder).c_str(), 1);
}

class Desktop : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directories(kShots);
        // A picture of an earlier failure would pass for one of this run.
        std::filesystem::remove(kShots + "/failed_" +
                                ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                                ".png");
        clean_environment(home_.path());
    }
    TempDir home_;
};

// Qt's value types print as themselves in a failure's message.
TEST(DesktopMessages, PrintQtValuesReadably) {
    EXPECT_EQ(::testing::PrintToString(QRect(800, 0, 640, 480)), "640x480 at (800,0)");
    EXPECT_EQ(::testing::PrintToString(QPoint(1439, 479)), "(1439,479)");
    EXPECT_EQ(::testing::PrintToString(QSize(482, 327)), "482x327");
    EXPECT_EQ(::testing::PrintToString(QColor(220, 20, 60)), "#dc143c");
}

// Two monitors, 800 x 600 and 640 x 480 to its right, and a notification area: the start-up
// screens on both, the bar, the customer window on the customer monitor, the version window,
// the wizard, the tray icon, a message box and kestrin.
TEST_F(Desktop, TheScaleOnTwoMonitors) {
    XSession x({QSize(800, 600), QSize(640, 480)}, true);
    ASSERT_TRUE(x.ready()) << x.why();
    ScaleRun s(x, "[windowMain2]\nx=0\ny=560", "[windowMain2]\nx=800\ny=0");

    // The colour test and the boot screen cover both monitors to their last pixel; beyond the
    // second monitor's 480 lines the desktop shows. (The bar, shown from the start, may stand in
    // front along the top of the first monitor; trayer sits in its right-hand bottom corner.)
    const std::vector<QPoint> both{{0, 60},  {799, 60}, {0, 599},   {735, 599}, {799, 575},
                                   {800, 0}, {1439, 0}, {800, 479}, {1439, 479}};
    const std::vector<QPoint> beyond{{800, 480}, {1439, 480}};
    EXPECT_TRUE(screens_show(x, both, kGreen, "flash_green.png", beyond));
    EXPECT_TRUE(screens_show(x, both, kBlue, "flash_blue.png", beyond));
    EXPECT_TRUE(screens_show(x, both, kCrimson, "boot.png", beyond));
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
    QImage screen = x.grab();
    screen.copy(d->place(kBar)).save(QString::fromStdString(kShots + "/display_bar.png"));
    screen.copy(d->place(kCustomer)).save(QString::fromStdString(kShots + "/customer_window.png"));
    expect_legible(screen, *d, kBar, 12);
    expect_legible(screen, *d, kCustomer, 10);

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
        press(x, *k, kKestrin, "1001");
        x.type("1A2B");
        press(x, *k, kKestrin, "1000");
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
        ASSERT_TRUE(k);
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
    press(x, *d, kBar, "1002");  // the span switch is closed
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
    // A click that went through the box may reach the board after the one that counts.
    EXPECT_FALSE(wait_until([&] { return s.commands() > before + 1; }, 1000))
        << "the zero key went through the message box";

    // The version window: the dialog's face, white on black only for the four values.
    d = s.probe_.dump();
    ASSERT_TRUE(d);
    press(x, *d, kBar, "1000");
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
        EXPECT_EQ(main_colour(version, c->place.translated(-origin)),
                  value ? QColor(Qt::black) : face)
            << id;
    }
    expect_legible(x.grab(), *d, kVersion, 9);
    expect_whole_texts(*d, kVersion, 9);

    // The wizard, once the span switch is open (the scale sees it a cycle later: a box that
    // still says it is closed is answered and the click repeated).
    s.board_->send_line("span open");
    bool opened = false;
    for (int tries = 0; tries < 20 && !opened && !HasFatalFailure(); ++tries) {
        press(x, *d, kBar, "1002");
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
    press(x, *d, kWizard, "1039");
    d = s.probe_.wait([](const Dump& v) { return v.shown(kStep1); });
    ASSERT_TRUE(on_screen(x, d, kStep1));
    EXPECT_EQ(d->place(kStep1), QRect(250, 150, 390, 304));
    x.grab(kShots + "/wizard_step1.png", d->place(kStep1));
    expect_whole_texts(*d, kStep1, 3);
    press(x, *d, kStep1, "1039");
    d = s.probe_.wait([](const Dump& v) { return v.shown(kStep2) || v.shown("QMessageBox"); });
    ASSERT_TRUE(d);
    ASSERT_FALSE(d->shown("QMessageBox")) << "the zero calibration failed: " << s.tarvelo_->err();
    ASSERT_TRUE(on_screen(x, d, kStep2));
    EXPECT_EQ(d->place(kStep2), QRect(250, 150, 390, 304));
    x.grab(kShots + "/wizard_step2.png", d->place(kStep2));
    expect_whole_texts(*d, kStep2, 3);
    press(x, *d, kStep2, "1040");
    ASSERT_TRUE(s.probe_.wait([](const Dump& v) { return !v.shown(kStep2); }));

    // The tray icon: a click hides both display windows, the next shows them again (the
    // session paces them, or two clicks would be a double click, which ends the program).
    d = s.probe_.dump();
    ASSERT_TRUE(d);
    const ProbedWindow* icon = d->window("QSystemTrayIconSys");
    ASSERT_TRUE(on_screen(x, d, "QSystemTrayIconSys")) << "no tray icon";
    x.click(icon->place.center());
    ASSERT_TRUE(s.probe_.wait([](const Dump& v) { return !v.shown(kBar) && !v.shown(kCustomer); }));
    x.click(icon->place.center());
    ASSERT_TRUE(s.probe_.wait([](const Dump& v) { return v.shown(kBar) && v.shown(kCustomer); }));
}

// One monitor and no notification area: the display-1 windows get the -1 sizes and nothing
// crashes or hangs; the customer window in its fixed look over the built-in bitmaps. The bar's
// font_size of 0 still draws its values large enough to read.
TEST_F(Desktop, OneMonitorAndTheFixedCustomerLook) {
    XSession x({QSize(800, 600)}, false);
    ASSERT_TRUE(x.ready()) << x.why();
    const std::string between = "font_color=0,0,160\nbg_image=\n[windowMain2]\n";
    ScaleRun s(x, "font_size=200\n" + between + "x=0\ny=560\nw=640\nh=200",
               "font_size=0\n" + between + "type=1\nx=0\ny=120\nw=256\nh=120");
    EXPECT_TRUE(screens_show(x, corners({0, 60, 800, 540}), kCrimson, "boot_one_monitor.png"));
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
    QImage screen = x.grab();
    screen.copy(d->place(kCustomer))
        .save(QString::fromStdString(kShots + "/customer_window_fixed.png"));
    expect_legible(screen, *d, kCustomer, 5);
    d = s.probe_.dump();
    ASSERT_TRUE(on_screen(x, d, kBar));
    screen = x.grab();
    screen.copy(d->place(kBar))
        .save(QString::fromStdString(kShots + "/display_bar_font_size_0.png"));
    expect_legible(screen, *d, kBar, 12);
    expect_whole_texts(*d, kBar, 10);
    // Still answering: the bar takes a click on its brand.
    press(x, *d, kBar, "1000");
    EXPECT_TRUE(s.probe_.wait([](const Dump& v) { return v.shown(kVersion); }));
}

// The start-up screens cover each monitor exactly, wherever the second monitor lies beside the
// primary one. A start-up that fails (the board refuses the checksum) leaves them standing with
// their message, white on crimson.
TEST_F(Desktop, StartUpScreensCoverEachMonitorWhereverItLies) {
    struct Arrangement {
        const char* name;
        QRect primary, second;
        std::vector<QPoint> desktop;  // on the root window, outside both monitors
    } arrangements[] = {
        {"left", {640, 0, 800, 600}, {0, 0, 640, 480}, {{0, 480}, {639, 599}}},
        {"above", {0, 480, 800, 600}, {0, 0, 640, 480}, {{640, 0}, {799, 479}}},
    };
    for (const Arrangement& a : arrangements) {
        SCOPED_TRACE(std::string("second monitor ") + a.name);
        XSession x(std::vector<QRect>{a.primary, a.second}, false);
        ASSERT_TRUE(x.ready()) << x.why();
        // The bar on the primary monitor, along its top.
        const std::string bar_at = "[windowMain1]\nx=" + std::to_string(a.primary.x()) +
                                   "\ny=" + std::to_string(a.primary.y());
        ScaleRun s(x, "[windowMain1]\nx=0\ny=0", bar_at, {"integrity fail"});
        std::vector<QPoint> points = corners(a.primary.adjusted(0, 60, 0, 0));
        for (const QPoint& p : corners(a.second)) points.push_back(p);
        const std::string shot = std::string("second_") + a.name;
        EXPECT_TRUE(screens_show(x, points, kGreen, shot + "_flash.png", a.desktop));
        EXPECT_TRUE(screens_show(x, points, kCrimson, shot + "_boot.png", a.desktop));

        auto d = s.probe_.wait([](const Dump& v) {
            return v.text(kBoot2, "1041") == "Scale driver checksum error!" && v.shown(kBoot) &&
                   v.shown(kBoot2);
        });
        ASSERT_TRUE(on_screen(x, d, kBoot) && on_screen(x, d, kBoot2)) << s.tarvelo_->err();
        EXPECT_EQ(d->place(kBoot), a.primary);
        EXPECT_EQ(d->place(kBoot2), a.second);
        const QImage screen = x.grab(kShots + "/" + shot + "_boot_message.png");
        for (const char* boot : {kBoot, kBoot2}) {
            expect_legible(screen, *d, boot, boot == kBoot ? 2 : 1);
            expect_whole_texts(*d, boot);
        }
    }
}

// A desktop scaled to 150 % (Xft.dpi 144) changes nothing on the scale: the windows are
// designed in pixels for 96 dpi, the settings' places and sizes are the screen's pixels, and
// every text keeps the size it has at 96 dpi. Also kestrin. With the run command's settings
// unchanged, on 1024 x 768 with a second monitor to its right; its customer window clears the
// version window and the wizard.
TEST_F(Desktop, AScaledDesktopKeepsThePixelsOfTheSettings) {
    XSession x({QSize(1024, 768), QSize(640, 480)}, false);
    ASSERT_TRUE(x.ready()) << x.why();
    ASSERT_TRUE(x.merge_resources("Xft.dpi: 144\n"));
    ScaleRun s(x, "", "");
    const std::vector<QPoint> both{{0, 60},   {1023, 60}, {0, 767},    {1023, 767},
                                   {1024, 0}, {1663, 0},  {1024, 479}, {1663, 479}};
    const std::vector<QPoint> beyond{{1024, 480}, {1663, 767}};
    EXPECT_TRUE(screens_show(x, both, kGreen, "scaled_flash.png", beyond));
    EXPECT_TRUE(screens_show(x, both, kCrimson, "scaled_boot.png", beyond));
    ASSERT_TRUE(s.tarvelo_->wait_output("tarvelo: scale ready", 30000)) << s.tarvelo_->err();

    auto d = s.probe_.wait([](const Dump& v) { return v.shown(kBar) && v.shown(kCustomer); });
    ASSERT_TRUE(on_screen(x, d, kBar) && on_screen(x, d, kCustomer));
    EXPECT_EQ(d->place(kBar), QRect(0, 0, 800, 60));
    EXPECT_EQ(d->place(kCustomer), QRect(0, 560, 640, 200));
    for (const auto& [id, text] : kLargestBarValues)
        for (const char* w : {kBar, kCustomer}) s.probe_.set(w, id, text);
    d = s.probe_.dump();
    ASSERT_TRUE(d);
    expect_whole_texts(*d, kBar, 10);
    expect_whole_texts(*d, kCustomer, 10);
    // The wizard's windows, as they will show.
    expect_whole_texts(*d, kWizard, 6);
    expect_whole_texts(*d, kStep1, 3);
    expect_whole_texts(*d, kStep2, 3);

    press(x, *d, kBar, "1000");
    d = s.probe_.wait([](const Dump& v) { return v.shown(kVersion); });
    ASSERT_TRUE(on_screen(x, d, kVersion));
    x.grab(kShots + "/scaled_version.png", d->place(kVersion));
    EXPECT_EQ(d->place(kVersion), QRect(250, 150, 390, 400));
    EXPECT_FALSE(d->place(kVersion).intersects(d->place(kCustomer)));
    expect_whole_texts(*d, kVersion, 9);

    Probe kp(x, x.dir().file("kestrin-probe"));
    auto env = s.environment();
    env["QT_QPA_GENERIC_PLUGINS"] = "windowprobe:" + kp.fifo();
    Process kestrin(BIN_DIR "/kestrin", {}, s.dir_.path(), env, s.dir_.file("kestrin"));
    auto k = kp.wait([](const Dump& v) { return v.shown(kKestrin); });
    ASSERT_TRUE(on_screen(x, k, kKestrin)) << kestrin.err();
    x.grab(kShots + "/scaled_kestrin.png", k->place(kKestrin));
    EXPECT_EQ(k->place(kKestrin).size(), QSize(482, 327));
    expect_whole_texts(*k, kKestrin, 7);
    kestrin.stop();
}

}  // namespace
}  // namespace tarvelo::test
