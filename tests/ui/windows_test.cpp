#include <gtest/gtest.h>

#include <QApplication>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QPushButton>
#include <functional>

#include <filesystem>

#include "platform/window_messages.h"
#include "qt_printers.h"
#include "tests/support/null_scale.h"
#include "tests/support/test_support.h"
#include "ui/background.h"
#include "ui/main_window.h"
#include "ui/templates.h"

namespace tarvelo::ui {
namespace {

// `scale` lines go into the [scale] section.
Configuration working_configuration(const std::string& bg_image = "",
                                    const std::string& scale = "") {
    Configuration c = load_settings(IniFile::parse(
        "[windowMain1]\nw=800\nh=60\napproval_fg=10\nscale_span_fg=10\ntare_fg=15\nweight_fg="
        "20\nuprice_fg=15\n"
        "tprice_fg=20\nzero_btn_fg=5\ntare_btn_fg=5\nfont_size=200\nfont_color=0,0,255\n"
        "[windowMain2]\nw=640\nh=200\nname_fg=30\napproval_fg=12\nscale_span_fg=12\ntare_fg="
        "18\nweight_fg=20\n"
        "uprice_fg=18\ntprice_fg=20\nfont_color=255,0,0\n"
        "[scale]\n" +
        scale));
    c.main1.bg_image = bg_image;
    c.main2.bg_image = bg_image;
    return c;
}

// The desktop's displays as a test lays them out: one display of 1024 x 768 unless it says
// otherwise.
struct FakeDisplays : Displays {
    int metric(int index, int capability) const override { return metric_of(index, capability); }
    std::optional<QPoint> origin(int index) const override { return origin_of(index); }
    std::function<int(int, int)> metric_of = [](int index, int capability) {
        return index == 0 ? (capability == kHorizontalResolution ? 1024 : 768) : -1;
    };
    std::function<std::optional<QPoint>(int)> origin_of = display_origin;
};

// The main window with its program and displays replaced, recording the order of the start-up
// steps, the keys and the wizard's calls into `steps`, and the message boxes into `boxes`.
struct Fixture : Program {
    explicit Fixture(std::optional<Configuration> config = working_configuration())
        : settings(std::move(config)) {}
    std::unique_ptr<CTarveloDlg> make() { return std::make_unique<CTarveloDlg>(*this, displays); }

    std::optional<Configuration> load_settings() override {
        steps.push_back("settings");
        return settings;
    }
    int open_board(MessageSink*, const std::string& port) override {
        steps.push_back("open " + port);
        return open_result;
    }
    std::optional<std::string> read_checksum() override {
        steps.push_back("checksum");
        if (checksum_result < 0) return std::nullopt;
        return "1A2B3C4D";
    }
    bool start_display_thread(CTarveloDlg&) override {
        steps.push_back("display thread");
        return threads_ok;
    }
    bool start_pipe_thread(CTarveloDlg&) override {
        steps.push_back("pipe thread");
        return threads_ok;
    }
    void exit_process(int code) override { exit_code = code; }
    void display_shown() override {}
    Scale& scale() override { return board; }
    weighing_snapshot saved_snapshot() const override { return saved; }
    LibraryVersions library_versions() const override { return {105, 110}; }

    struct Board : test::NullScale {
        explicit Board(Fixture& fixture) : f(fixture) {}
        void on_zero_button() override { f.steps.push_back("zero key"); }
        void on_tare_button() override { f.steps.push_back("tare key"); }
        int calibrate_zero() override { return f.calibrate_zero_result; }
        int calibrate_span() override { return f.calibrate_span_result; }
        int init_rezero() override {
            f.steps.push_back("init rezero");
            return 0;
        }
        Fixture& f;
    } board{*this};

    std::optional<Configuration> settings;
    FakeDisplays displays;
    test::InstalledBoxes boxes;
    std::vector<std::string> steps;
    int exit_code = 0, open_result = 0, checksum_result = 0, calibrate_zero_result = 0,
        calibrate_span_result = 0;
    bool threads_ok = true;
    weighing_snapshot saved;
};

PostedMessage text_message(uint32_t id, const std::string& text) {
    PostedMessage m;
    m.id = id;
    m.text = text;
    return m;
}

TEST(StartUp, StepsRunInOrderAndFillTheWindows) {
    Fixture f;
    auto dlg = f.make();
    EXPECT_TRUE(dlg->OnInitDialog());
    EXPECT_EQ(f.steps, (std::vector<std::string>{"settings", "open COM4", "checksum",
                                                 "display thread", "pipe thread"}));
    EXPECT_TRUE(f.boxes.texts().empty());
    EXPECT_EQ(dlg->text(IDC_CHECKSUM), "1A2B3C4D");
    EXPECT_EQ(dlg->text(IDC_APPROVAL), "TC4702");
    EXPECT_EQ(dlg->text(IDC_TARE_CAPTION), "TARE kg");
    EXPECT_EQ(dlg->text(IDC_UPRICE_CAPTION), QString(QChar(0x20AC)) + "/kg");
    EXPECT_EQ(dlg->second().text(IDC_CURRENCY), QString(QChar(0x20AC)));
    EXPECT_FALSE(dlg->control_visible(IDC_ZERO_MARK));
    EXPECT_FALSE(dlg->second().isVisible());
    EXPECT_EQ(dlg->geometry().size(), QSize(800, 60));
    EXPECT_EQ(dlg->version().text(IDC_VER_PELLUM), "105");
    EXPECT_EQ(dlg->version().text(IDC_VER_DRAVIX), "110");
    EXPECT_EQ(dlg->version().text(IDC_CHECKSUM), "1A2B3C4D");
    // A display that does not exist gives -1, used as it is.
    EXPECT_EQ(dlg->boot2().geometry().x(), 1024);
    EXPECT_TRUE(dlg->flash().isVisible());
    EXPECT_FALSE(dlg->boot().isVisible());
    EXPECT_FALSE(dlg->boot().control_visible(IDC_EXIT));
}

// Each display's start-up screens where that display lies on the desktop. With display 1 right
// of display 0 at the top, that is the width of display 0 along; a display 1 that does not
// exist gives -1 sizes and its screens stay right of display 0, out of sight.
TEST(StartUp, StartUpScreensWhereTheirDisplaysLie) {
    struct Display {
        int w, h;
        std::optional<QPoint> at;
    };
    struct Case {
        const char* name;
        Display d0, d1;
        QRect display0, display1;
    } cases[] = {
        {"right",
         {800, 600, QPoint(0, 0)},
         {640, 480, QPoint(800, 0)},
         {0, 0, 800, 600},
         {800, 0, 640, 480}},
        {"left",
         {800, 600, QPoint(640, 0)},
         {640, 480, QPoint(0, 0)},
         {640, 0, 800, 600},
         {0, 0, 640, 480}},
        {"above",
         {800, 600, QPoint(0, 480)},
         {640, 480, QPoint(0, 0)},
         {0, 480, 800, 600},
         {0, 0, 640, 480}},
        {"none",
         {800, 600, QPoint(0, 0)},
         {-1, -1, std::nullopt},
         {0, 0, 800, 600},
         {800, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        Fixture f;
        const Display displays[] = {c.d0, c.d1};
        f.displays.metric_of = [displays](int index, int cap) {
            return index > 1                      ? -1
                   : cap == kHorizontalResolution ? displays[index].w
                                                  : displays[index].h;
        };
        f.displays.origin_of = [displays](int index) {
            return index > 1 ? std::nullopt : displays[index].at;
        };
        auto dlg = f.make();
        ASSERT_TRUE(dlg->OnInitDialog());
        for (QWidget* w :
             {static_cast<QWidget*>(&dlg->boot()), static_cast<QWidget*>(&dlg->flash())})
            EXPECT_EQ(w->geometry(), c.display0) << c.name;
        for (QWidget* w :
             {static_cast<QWidget*>(&dlg->boot2()), static_cast<QWidget*>(&dlg->flash2())}) {
            EXPECT_EQ(w->geometry().topLeft(), c.display1.topLeft()) << c.name;
            if (!c.display1.isEmpty()) {
                EXPECT_EQ(w->geometry().size(), c.display1.size()) << c.name;
            }
        }
    }
}

// The captions join symbols that each may be UTF-8 or Windows-1252 (the default currency is
// the byte 0x80): each is read on its own. A symbol cut to its six bytes inside a character
// loses that character only.
TEST(StartUp, CaptionsJoinSymbolsOfEitherEncoding) {
    const QString euro(QChar(0x20AC));
    struct Case {
        std::string scale;
        QString currency, weight_caption, quantity_caption, tare_caption;
    } cases[] = {
        {"quantity_symbol=St\xC3\xBC"
         "ck\n",
         euro, euro + "/kg", euro + "/St" + QChar(0xFC) + "ck", "TARE kg"},
        {"currency_symbol=x\xE2\x82\xAC\xE2\x82\xAC\n", "x" + euro, "x" + euro + "/kg",
         "x" + euro + "/pcs", "TARE kg"},
        {"tare_label=T\xC3\xA1ra\nweight_symbol=\xB5g\n", euro, euro + "/" + QChar(0xB5) + "g",
         euro + "/pcs", "T" + QString(QChar(0xE1)) + "ra " + QChar(0xB5) + "g"},
    };
    for (const Case& c : cases) {
        Fixture f(working_configuration("", c.scale));
        auto dlg = f.make();
        ASSERT_TRUE(dlg->OnInitDialog());
        for (TemplateDialog* w : {static_cast<TemplateDialog*>(dlg.get()),
                                  static_cast<TemplateDialog*>(&dlg->second())}) {
            EXPECT_EQ(w->text(IDC_CURRENCY), c.currency) << c.scale;
            EXPECT_EQ(w->text(IDC_UPRICE_CAPTION), c.weight_caption) << c.scale;
            EXPECT_EQ(w->text(IDC_TARE_CAPTION), c.tare_caption) << c.scale;
        }
        dlg->SetQuantityMode(1);
        EXPECT_EQ(dlg->text(IDC_UPRICE_CAPTION), c.quantity_caption) << c.scale;
    }
}

TEST(StartUp, FailuresShowTheirBoxesAndCloseButStartUpGoesOn) {
    struct Case {
        const char* name;
        int open_result, checksum_result;
        bool threads_ok;
        std::vector<std::string> boxes;
    } cases[] = {
        {"port", -1, 0, true, {"Scale initialize failed!"}},
        {"reader", -2, 0, true, {"Failed to start scale!"}},
        {"checksum", 0, -1, true, {"Failed to get scale module checksum!"}},
        {"threads", 0, 0, false, {"Create Thread Error!", "Create Thread Error!"}},
        {"two at once",
         -1,
         -1,
         true,
         {"Scale initialize failed!", "Failed to get scale module checksum!"}},
    };
    for (const Case& c : cases) {
        Fixture f;
        f.open_result = c.open_result;
        f.checksum_result = c.checksum_result;
        f.threads_ok = c.threads_ok;
        auto dlg = f.make();
        EXPECT_FALSE(dlg->OnInitDialog()) << c.name;
        EXPECT_EQ(f.boxes.texts(), c.boxes) << c.name;
        EXPECT_EQ(f.steps.size(), 5u) << c.name;  // every later step still ran
        EXPECT_TRUE(dlg->close_requested());
    }
}

TEST(StartUp, MissingSettingsEndTheProcess) {
    Fixture f(std::nullopt);
    auto dlg = f.make();
    EXPECT_FALSE(dlg->OnInitDialog());
    EXPECT_EQ(f.boxes.texts(), std::vector<std::string>{"Could not find tarvelo.ini"});
    EXPECT_EQ(f.exit_code, -1);
    EXPECT_EQ(f.steps, std::vector<std::string>{"settings"});
}

class MainWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        dlg_ = f_.make();
        ASSERT_TRUE(dlg_->OnInitDialog());
    }
    Fixture f_;
    std::unique_ptr<CTarveloDlg> dlg_;
};

TEST_F(MainWindow, ValueMessagesReachBothWindows) {
    dlg_->handle_message(text_message(WM_SHOW_WEIGHT, " 1,234"));
    dlg_->handle_message(text_message(WM_SHOW_TARE, " 0,150"));
    dlg_->handle_message(text_message(WM_SHOW_UNIT_PRICE, "   2,99"));
    dlg_->handle_message(text_message(WM_SHOW_TOTAL_PRICE, "   3,69"));
    dlg_->handle_message(text_message(WM_SHOW_TEXT, "K\xC4SE"));
    for (TemplateDialog* w : {static_cast<TemplateDialog*>(dlg_.get()),
                              static_cast<TemplateDialog*>(&dlg_->second())}) {
        EXPECT_EQ(w->text(IDC_WEIGHT), " 1,234");
        EXPECT_EQ(w->text(IDC_TARE), " 0,150");
        EXPECT_EQ(w->text(IDC_UPRICE), "   2,99");
        EXPECT_EQ(w->text(IDC_TPRICE), "   3,69");
    }
    EXPECT_EQ(dlg_->second().text(IDC_TEXT), QString("K") + QChar(0xC4) + "SE");
    EXPECT_EQ(dlg_->text(IDC_TEXT), "");  // the bar has no article text

    dlg_->handle_message(text_message(WM_ZERO_ON, ""));
    dlg_->handle_message(text_message(WM_NET_ON, ""));
    EXPECT_TRUE(dlg_->control_visible(IDC_ZERO_MARK));
    EXPECT_TRUE(dlg_->second().control_visible(IDC_NET_MARK));
    dlg_->handle_message(text_message(WM_ZERO_OFF, ""));
    EXPECT_FALSE(dlg_->second().control_visible(IDC_ZERO_MARK));
}

// Counts the messages that reach a window's event queue.
class PostedCounter : public QObject {
  public:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == static_cast<QEvent::Type>(QEvent::User + 1)) ++count;
        return false;
    }
    int count = 0;
};

// The display thread sends both indicators every cycle: one that repeats the last changes nothing
// and does not wake the user-interface thread, while a change still reaches both windows at once,
// and so does the first message after a mode switch, which hid the marks meanwhile.
TEST_F(MainWindow, RepeatedIndicatorsStayOutOfTheQueueChangesGetThrough) {
    PostedCounter posted;
    dlg_->installEventFilter(&posted);
    auto post = [&](uint32_t id, const char* text = "") {
        dlg_->post(text_message(id, text));
        QApplication::processEvents();
    };
    auto shown = [&](int id) {
        return dlg_->control_visible(id) && dlg_->second().control_visible(id);
    };
    for (int cycle = 0; cycle < 3; ++cycle) post(WM_ZERO_ON), post(WM_NET_OFF);
    EXPECT_EQ(posted.count, 2);
    EXPECT_TRUE(shown(IDC_ZERO_MARK));
    post(WM_ZERO_OFF);
    post(WM_NET_ON);
    EXPECT_EQ(posted.count, 4);
    EXPECT_FALSE(dlg_->control_visible(IDC_ZERO_MARK));
    EXPECT_TRUE(shown(IDC_NET_MARK));

    for (DisplayWindow w : {DisplayWindow::main, DisplayWindow::second})
        dlg_->set_quantity_mode(w, 1);
    QApplication::processEvents();
    EXPECT_FALSE(dlg_->control_visible(IDC_NET_MARK));
    for (DisplayWindow w : {DisplayWindow::main, DisplayWindow::second})
        dlg_->set_quantity_mode(w, 0);
    QApplication::processEvents();
    post(WM_NET_ON);
    EXPECT_TRUE(shown(IDC_NET_MARK));

    const int before = posted.count;
    post(WM_SHOW_WEIGHT, " 1,234");
    post(WM_SHOW_WEIGHT, " 1,234");  // value texts are the display thread's to hold back
    EXPECT_EQ(posted.count, before + 2);
    dlg_->removeEventFilter(&posted);
}

// A repeated indicator is held back on the strength of what the windows' marks still show:
// hiding and showing the windows (the ECR's DC2 and DC1, the tray icon) keeps them as they were,
// so the marks are seen again without a new message.
TEST_F(MainWindow, MarksAreSeenAgainWhenHiddenWindowsAreShown) {
    auto post = [&](uint32_t id) {
        dlg_->post(text_message(id, ""));
        QApplication::processEvents();
    };
    auto seen = [&](int id) {
        return dlg_->control(id)->isVisible() && dlg_->second().control(id)->isVisible();
    };
    auto unseen = [&](int id) {
        return !dlg_->control(id)->isVisible() && !dlg_->second().control(id)->isVisible();
    };
    dlg_->show();
    dlg_->second().show();
    post(WM_ZERO_ON);
    post(WM_NET_OFF);
    const std::pair<const char*, std::function<void()>> hide_and_show[] = {
        {"ECR",
         [&] {
             for (bool show : {false, true})
                 for (DisplayWindow w : {DisplayWindow::main, DisplayWindow::second})
                     dlg_->show_window(w, show);
         }},
        {"tray",
         [&] {
             dlg_->tray_notify(WM_LBUTTONDOWN);
             dlg_->tray_notify(WM_LBUTTONDOWN);
         }},
    };
    for (const auto& [by, hide_then_show] : hide_and_show) {
        SCOPED_TRACE(by);
        hide_then_show();
        QApplication::processEvents();
        post(WM_ZERO_ON);  // repeats: held back
        post(WM_NET_OFF);
        EXPECT_TRUE(seen(IDC_ZERO_MARK));
        EXPECT_TRUE(unseen(IDC_NET_MARK));
    }
}

TEST_F(MainWindow, QuantityModeAndBack) {
    dlg_->handle_message(text_message(WM_NET_ON, ""));
    dlg_->SetQuantityMode(1);
    dlg_->second().SetQuantityMode(1);
    for (TemplateDialog* w : {static_cast<TemplateDialog*>(dlg_.get()),
                              static_cast<TemplateDialog*>(&dlg_->second())}) {
        EXPECT_EQ(w->text(IDC_WEIGHT_UNIT), "pcs");
        EXPECT_EQ(w->text(IDC_WEIGHT), "0");
        EXPECT_EQ(w->text(IDC_UPRICE_CAPTION), QString(QChar(0x20AC)) + "/pcs");
        EXPECT_FALSE(w->control_visible(IDC_TARE));
        EXPECT_FALSE(w->control_visible(IDC_NET_MARK));
    }
    dlg_->handle_message(text_message(WM_SHOW_TARE, " 9,999"));  // ignored in quantity mode
    dlg_->handle_message(text_message(WM_ZERO_ON, ""));          // likewise
    dlg_->handle_message(text_message(WM_SHOW_WEIGHT, "3"));     // the quantity
    EXPECT_NE(dlg_->text(IDC_TARE), " 9,999");
    EXPECT_FALSE(dlg_->control_visible(IDC_ZERO_MARK));
    EXPECT_EQ(dlg_->second().text(IDC_WEIGHT), "3");

    dlg_->SetQuantityMode(0);
    EXPECT_EQ(dlg_->text(IDC_WEIGHT), "0,00");
    EXPECT_EQ(dlg_->text(IDC_WEIGHT_UNIT), "kg");
    EXPECT_TRUE(dlg_->control_visible(IDC_TARE));
}

// Record 00 in weight mode puts the placeholder in the weight field; the same weight posted
// again afterwards must replace it, not be dropped as already shown.
TEST_F(MainWindow, AModeSwitchNeverLeavesAPlaceholderStanding) {
    dlg_->handle_message(text_message(WM_SHOW_WEIGHT, " 1,234"));
    dlg_->SetQuantityMode(0);
    dlg_->second().SetQuantityMode(0);
    EXPECT_EQ(dlg_->text(IDC_WEIGHT), "0,00");
    dlg_->handle_message(text_message(WM_SHOW_WEIGHT, " 1,234"));
    EXPECT_EQ(dlg_->text(IDC_WEIGHT), " 1,234");
    EXPECT_EQ(dlg_->second().text(IDC_WEIGHT), " 1,234");
}

// A block without width hides all its controls, and no indicator message or mode switch
// brings one of them back at its template place.
TEST(HiddenBlocks, StayHiddenWhateverTheMessagesSay) {
    Configuration c = working_configuration();
    c.main1.weight_fg = 0;
    c.main1.tare_fg = 0;
    c.main2 = WindowSettings{};  // every share of the second window 0
    c.main2.font_name = "Arial";
    c.main2.font_size = 260;
    Fixture f(c);
    auto dlg = f.make();
    ASSERT_TRUE(dlg->OnInitDialog());
    dlg->show();
    dlg->second().show();
    QApplication::processEvents();
    dlg->SetQuantityMode(1);
    dlg->SetQuantityMode(0);  // shows the tare block's controls again, unless laid out hidden
    dlg->second().SetQuantityMode(0);
    for (uint32_t id : {WM_ZERO_ON, WM_NET_ON}) dlg->handle_message(text_message(id, ""));
    for (TemplateDialog* w :
         {static_cast<TemplateDialog*>(dlg.get()), static_cast<TemplateDialog*>(&dlg->second())})
        for (int id : {IDC_ZERO_MARK, IDC_NET_MARK, IDC_WEIGHT, IDC_TARE, IDC_TARE_CAPTION})
            EXPECT_FALSE(w->control_visible(id)) << (w == dlg.get() ? "main " : "second ") << id;
    EXPECT_TRUE(dlg->control_visible(IDC_UPRICE));  // a block with a share is shown as before
    // Placed again by the layout, a control may be shown again.
    dlg->layout_place(IDC_TARE, QRect(0, 0, 10, 10));
    dlg->show_control(IDC_TARE, true);
    EXPECT_TRUE(dlg->control_visible(IDC_TARE));
}

TEST_F(MainWindow, LabelClicksOpenVersionOrWizard) {
    emit dlg_->command(0);  // nothing
    auto click = [&](int id) { static_cast<ClickLabel*>(dlg_->control(id))->clicked(); };
    click(IDC_MAX);  // span switch closed
    EXPECT_EQ(f_.boxes.texts(), std::vector<std::string>{"Please Open Span Switch!"});
    EXPECT_EQ(dlg_->calibration_mode().load(), 0);
    EXPECT_FALSE(dlg_->calibration().isVisible());

    f_.saved.span_switch = 1;
    click(IDC_ED);
    EXPECT_EQ(dlg_->calibration_mode().load(), 1);
    EXPECT_TRUE(dlg_->calibration().isVisible());

    click(IDC_BRAND);
    EXPECT_EQ(dlg_->calibration_mode().load(), 0);
    EXPECT_FALSE(dlg_->calibration().isVisible());
    EXPECT_TRUE(dlg_->version().isVisible());
    static_cast<QPushButton*>(dlg_->version().control(IDC_CLOSE))->click();
    EXPECT_FALSE(dlg_->version().isVisible());

    static_cast<QPushButton*>(dlg_->control(IDC_ZERO_KEY))->click();
    static_cast<QPushButton*>(dlg_->control(IDC_TARE_KEY))->click();
    EXPECT_EQ(f_.steps.back(), "tare key");
}

TEST_F(MainWindow, WizardStepsWithABoardThatFailsAndSucceeds) {
    auto press = [](TemplateDialog& w, int id) {
        static_cast<QPushButton*>(w.control(id))->click();
    };
    CDlg_calbS0& start = dlg_->calibration();
    start.show();
    press(start, IDC_NEXT);
    EXPECT_FALSE(start.isVisible());
    EXPECT_TRUE(start.step1().isVisible());
    f_.calibrate_zero_result = 1;
    press(start.step1(), IDC_NEXT);
    EXPECT_EQ(f_.boxes.texts().back(), "Zero reset failed! Press Next to try again.");
    EXPECT_TRUE(start.step1().isVisible());
    f_.calibrate_zero_result = 0;
    press(start.step1(), IDC_NEXT);
    EXPECT_TRUE(start.step1().step2().isVisible());
    f_.calibrate_span_result = -1;
    press(start.step1().step2(), IDC_NEXT);
    EXPECT_EQ(f_.boxes.texts().back(), "Span calibration failed! Press Next to try again.");
    f_.calibrate_span_result = 0;
    press(start.step1().step2(), IDC_NEXT);
    EXPECT_EQ(f_.boxes.infos(), std::vector<std::string>{"Calibration success."});
    EXPECT_FALSE(start.step1().step2().isVisible());

    start.step1().show();
    press(start.step1(), IDC_EXIT);
    EXPECT_EQ(f_.steps.back(), "init rezero");
    EXPECT_FALSE(start.step1().isVisible());

    dlg_->handle_message(text_message(WM_SHOW_AD_COUNT, "123456"));
    EXPECT_EQ(start.text(IDC_AD_COUNT), "123456");
}

TEST_F(MainWindow, TrayClickTogglesEachWindowByItsOwnState) {
    dlg_->hide();
    dlg_->second().show();
    dlg_->tray_notify(WM_LBUTTONDOWN);
    EXPECT_TRUE(dlg_->isVisible());
    EXPECT_FALSE(dlg_->second().isVisible());
    dlg_->tray_notify(WM_LBUTTONDOWN);
    EXPECT_FALSE(dlg_->isVisible());
    EXPECT_TRUE(dlg_->second().isVisible());
}

// Fonts in points at 96 dots per inch, as whole pixels whatever the screen's resolution:
// 18 points are 24 pixels, 20 are 26.7 and so 27.
TEST_F(MainWindow, FontsAndColoursPerControl) {
    auto colour = [](QWidget* w) { return w->palette().color(QPalette::WindowText); };
    auto pixels = [](QWidget* w) { return w->font().pixelSize(); };
    EXPECT_EQ(colour(dlg_->control(IDC_BRAND)), QColor(0, 148, 108));
    EXPECT_TRUE(dlg_->control(IDC_BRAND)->font().bold());
    EXPECT_EQ(pixels(dlg_->control(IDC_BRAND)), 24);
    EXPECT_EQ(colour(dlg_->control(IDC_WEIGHT)), QColor(0, 0, 255));  // the INI colour
    EXPECT_EQ(pixels(dlg_->control(IDC_WEIGHT)), 27);                 // font_size 200
    EXPECT_EQ(dlg_->control(IDC_WEIGHT)->font().family(), "Arial");
    EXPECT_EQ(colour(dlg_->control(IDC_NET_MARK)), QColor(0, 0, 255));
    EXPECT_EQ(pixels(dlg_->control(IDC_CHECKSUM)), 12);
    EXPECT_EQ(colour(dlg_->second().control(IDC_WEIGHT)), QColor(255, 0, 0));
    EXPECT_EQ(pixels(dlg_->control(IDC_ZERO_KEY)), 27);
    EXPECT_EQ(dlg_->boot().control(IDC_MESSAGE)->palette().color(QPalette::Window),
              QColor(220, 20, 60));
    EXPECT_EQ(pixels(dlg_->version().control(IDC_VER_MANUFACTURER)), 35);
    EXPECT_NE(pixels(dlg_->version().control(IDC_VER_MANUFACTURER_LABEL)), 35);
}

// The whole text of a one-line label as it draws it, measured as the desktop tests measure it:
// its laid-out line across, its ink down.
bool whole(const QLabel* l) {
    const QFontMetrics fm = l->fontMetrics();
    const QRect area = l->contentsRect();
    const QRect line = fm.boundingRect(area, int(l->alignment()), l->text());
    const QRect ink = fm.tightBoundingRect(l->text()).translated(0, line.top() + fm.ascent());
    return area.left() <= line.left() && line.right() <= area.right() &&
           (ink.isEmpty() || (area.top() <= ink.top() && ink.bottom() <= area.bottom()));
}

// Whatever the settings' font size, the display windows show every value whole and readable:
// a font too large shrinks until the value fits across and down (a cut comma turns "0,000"
// into "0.000"), and a size of 1, 0 or below still draws a value as large as its caption,
// 9 points (12 pixels).
TEST(ValueFonts, EveryValueWholeAndReadableWhateverTheSize) {
    const std::vector<std::pair<int, std::string>> values = {
        {IDC_WEIGHT, " 0,000"},  {IDC_WEIGHT, "-99,999"},   {IDC_TARE, "-99,999"},
        {IDC_UPRICE, "9999,99"}, {IDC_TPRICE, "999989,00"}, {IDC_TEXT, "APPLES"}};
    for (int font_size : {1000, 400, 200, 10, 1, 0, -50}) {
        Configuration c = working_configuration();
        c.main1.font_size = c.main2.font_size = font_size;
        Fixture f(c);
        auto dlg = f.make();
        ASSERT_TRUE(dlg->OnInitDialog());
        dlg->show();
        dlg->second().show();
        QApplication::processEvents();
        size_t checked = 0;
        for (TemplateDialog* w : {static_cast<TemplateDialog*>(dlg.get()),
                                  static_cast<TemplateDialog*>(&dlg->second())})
            for (const auto& [id, text] : values) {
                auto* label = static_cast<QLabel*>(w->control(id));
                if (label == nullptr || !label->isVisible())
                    continue;  // no article text on the bar
                w->set_text(id, QString::fromStdString(text));
                EXPECT_TRUE(whole(label)) << font_size << " " << id << " \"" << text << "\" at "
                                          << QFontInfo(label->font()).pixelSize() << " px";
                EXPECT_GE(QFontInfo(label->font()).pixelSize(), 12) << font_size << " " << id;
                ++checked;
            }
        EXPECT_EQ(checked, 2 * values.size() - 1) << font_size;  // all but the bar's text
    }
}

// Shrinking to fit measures the text as it is drawn: a text the width of its control, to the
// pixel, is never cut by one, on the side its alignment lets it run over. (A text too long for
// the control at the smallest size is cut: there is nothing smaller to draw it in.)
TEST(ValueFonts, ShrinkingMeasuresTheTextAsDrawn) {
    Fixture f;
    auto dlg = f.make();
    ASSERT_TRUE(dlg->OnInitDialog());
    const struct {
        int id;  // right-aligned, left-aligned, centred
        std::vector<const char*> texts;
    } controls[] = {{IDC_WEIGHT, {" 1,234", "-99,999", "0,00"}},
                    {IDC_MAX, {"Max.6/15kg", "Max 999,995kg"}},
                    {IDC_CHECKSUM, {"B7540297", "WWWWWWWW"}}};
    for (const auto& c : controls) {
        auto* label = static_cast<QLabel*>(dlg->control(c.id));
        for (const char* text : c.texts) {
            dlg->set_text(c.id, text);
            int checked = 0;
            for (int width = 30; width <= 120; ++width) {
                dlg->move_control(c.id, QRect(200, 18, width, 40));
                if (QFontInfo(label->font()).pixelSize() == kSmallestFitPixels) continue;
                EXPECT_TRUE(whole(label)) << text << " in " << width << " px at "
                                          << QFontInfo(label->font()).pixelSize() << " px";
                ++checked;
            }
            EXPECT_GT(checked, 0) << text;
        }
    }
}

// The small windows as the dialog framework draws them: the template's font on every control
// (even where the platform names its own for buttons), statics that wrap their words under
// each other from the top, the version window on the dialog's face with only its values white
// on black, and the boot message whole on a display narrower than the template.
TEST(SmallWindows, DrawnAsTheDialogFrameworkDrawsThem) {
    QApplication::setFont(QFont("DejaVu Serif", 15), "QPushButton");  // as a desktop theme does
    Fixture f;
    CDlg_calbS0 wizard(f, nullptr);
    CDlg_ver version(nullptr);
    CDlg_boot2 boot(nullptr);
    QApplication::setFont(QFont(), "QPushButton");
    for (TemplateDialog* w :
         {static_cast<TemplateDialog*>(&wizard.step1()), static_cast<TemplateDialog*>(&version)}) {
        auto* close = w->control(w == &version ? IDC_CLOSE : IDC_EXIT);
        EXPECT_EQ(QFontInfo(close->font()).family(), "Liberation Sans");
        EXPECT_EQ(QFontInfo(close->font()).pixelSize(), 13);
    }
    auto* step = static_cast<QLabel*>(wizard.step1().control(IDC_MESSAGE));
    EXPECT_TRUE(step->wordWrap());
    EXPECT_TRUE(step->alignment() & Qt::AlignTop);
    const QRect lines = step->fontMetrics().boundingRect(
        step->contentsRect(), int(step->alignment()) | Qt::TextWordWrap, step->text());
    EXPECT_TRUE(step->contentsRect().contains(lines)) << lines.height();

    EXPECT_FALSE(version.autoFillBackground());  // the dialog's own face
    for (int id : {IDC_VER_CHECKSUM_LABEL, IDC_VER_MANUFACTURER_LABEL}) {
        QWidget* label = version.control(id);
        EXPECT_FALSE(label->autoFillBackground()) << id;
        EXPECT_EQ(label->palette().color(QPalette::WindowText),
                  version.palette().color(QPalette::WindowText))
            << id;
    }
    QWidget* value = version.control(IDC_VER_MANUFACTURER);
    EXPECT_TRUE(value->autoFillBackground());
    EXPECT_EQ(value->palette().color(QPalette::Window), QColor(Qt::black));
    EXPECT_EQ(value->palette().color(QPalette::WindowText), QColor(Qt::white));
    Configuration c = working_configuration();
    version.set_text(IDC_VER_MANUFACTURER, QString::fromStdString(c.scale.manufacturer));
    EXPECT_LE(value->fontMetrics().horizontalAdvance(static_cast<QLabel*>(value)->text()),
              value->contentsRect().width());

    boot.place_topmost(800, 0, 640, 480);
    boot.show();
    boot.set_text(IDC_MESSAGE, "Please remove item from the scale platform!");
    auto* message = static_cast<QLabel*>(boot.control(IDC_MESSAGE));
    const QRect text = message->fontMetrics().boundingRect(
        message->contentsRect(), int(message->alignment()) | Qt::TextWordWrap, message->text());
    EXPECT_TRUE(QRect(QPoint(0, 0), boot.size())
                    .contains(message->geometry().topLeft() + text.bottomRight()));
    EXPECT_TRUE(message->contentsRect().contains(text));
}

TEST(SecondWindow, FixedLookOverTheBuiltInBitmaps) {
    Configuration c = working_configuration();
    c.main2.type = 1;
    CTarveloDlg2 w(c.main2, c.scale, nullptr);
    w.resize(256, 120);
    w.LayoutByPercent();
    EXPECT_EQ(w.control(IDC_TPRICE)->geometry(), QRect(142, 92, 98, 25));
    EXPECT_FALSE(w.control_visible(IDC_BRAND));
    EXPECT_EQ(w.control(IDC_TPRICE)->palette().color(QPalette::Window), QColor(248, 204, 0));
    EXPECT_EQ(w.control(IDC_TPRICE)->palette().color(QPalette::WindowText), QColor(Qt::black));
    const QImage &weight = builtin_bitmap(false), &quantity = builtin_bitmap(true);
    EXPECT_EQ(weight.size(), QSize(256, 120));
    EXPECT_EQ(weight.pixel(100, 10), qRgb(0, 0, 0));
    EXPECT_EQ(weight.pixel(200, 100), qRgb(248, 204, 0));  // the amber price field
    EXPECT_NE(weight, quantity);
}

// Every value change repaints a window over its background, which is kept decoded; a file
// written again, removed or put back while the scale runs shows so at the next paint.
TEST(Background, AChangedFileShowsAtTheNextPaint) {
    test::TempDir dir;
    const std::string path = dir.file("bg.png");
    auto save = [&](QColor colour, int width) {  // each width its own file size
        QImage bg(width, 10, QImage::Format_RGB32);
        bg.fill(colour);
        return bg.save(QString::fromStdString(path));
    };
    BackgroundImage background;
    auto painted = [&](const std::string& name) {
        QImage out(40, 10, QImage::Format_RGB32);
        out.fill(Qt::black);
        QPainter p(&out);
        background.paint(p, out.rect(), name);
        p.end();
        return QColor(out.pixel(1, 1));
    };
    const QColor blue(200, 230, 255), amber(255, 200, 0), black(Qt::black);
    ASSERT_TRUE(save(blue, 100));
    EXPECT_EQ(painted(path), blue);
    EXPECT_EQ(painted(path), blue);
    ASSERT_TRUE(save(amber, 101));
    EXPECT_EQ(painted(path), amber);
    std::filesystem::remove(path);
    EXPECT_EQ(painted(path), black);
    ASSERT_TRUE(save(blue, 102));
    EXPECT_EQ(painted(path), blue);
    EXPECT_EQ(painted(dir.path().string()), black);  // a directory is no bitmap
    test::write_file(path, "not an image");
    EXPECT_EQ(painted(path), black);
}

// Renders the bar with known values to a PNG a person can look at, and checks a few pixels.
TEST(Screenshot, BarWithKnownValues) {
    test::TempDir dir;
    QImage bg(100, 10, QImage::Format_RGB32);
    bg.fill(QColor(200, 230, 255));
    std::string bg_path = dir.file("bg.png");
    ASSERT_TRUE(bg.save(QString::fromStdString(bg_path)));
    Fixture f(working_configuration(bg_path));
    auto dlg = f.make();
    ASSERT_TRUE(dlg->OnInitDialog());
    dlg->show();
    dlg->handle_message(text_message(WM_SHOW_WEIGHT, " 1,234"));
    dlg->handle_message(text_message(WM_SHOW_UNIT_PRICE, "   2,99"));
    dlg->handle_message(text_message(WM_SHOW_TOTAL_PRICE, "   3,69"));
    dlg->handle_message(text_message(WM_NET_OFF, ""));
    QApplication::processEvents();
    QImage shot = dlg->grab().toImage();
    std::filesystem::create_directories(SCREENSHOT_DIR);
    ASSERT_TRUE(shot.save(SCREENSHOT_DIR "/display_bar.png"));
    EXPECT_EQ(shot.size(), QSize(800, 60));
    EXPECT_EQ(QColor(shot.pixel(1, 1)), QColor(200, 230, 255));  // the background file, stretched
    // Blue value text inside the weight block (x 200..360, value row y 18..58).
    int blue = 0;
    for (int x = 200; x < 360; ++x)
        for (int y = 18; y < 58; ++y) {
            QColor c(shot.pixel(x, y));
            blue += c.blue() > 200 && c.red() < 80 && c.green() < 80;
        }
    EXPECT_GT(blue, 20);

    dlg->second().show();
    dlg->second().resize(640, 200);
    dlg->handle_message(text_message(WM_SHOW_TEXT, "APPLES"));
    QApplication::processEvents();
    ASSERT_TRUE(dlg->second().grab().toImage().save(SCREENSHOT_DIR "/customer_window.png"));
}

}  // namespace
}  // namespace tarvelo::ui
