#include "tests/desktop/screen_stage.h"

#include <algorithm>
#include <sstream>

namespace tarvelo::test {
namespace {

int number(const std::string& ini, const char* section, const char* key, const char* fallback) {
    return std::atoi(setting(ini, section, key, fallback).c_str());
}

// Qt's error icon is a red disc; its information icon a white bubble, with no red.
const QColor kErrorRed(255, 0, 0);

}  // namespace

QRect window_place(const std::string& ini, const char* section) {
    return QRect(number(ini, section, "x", "0"), number(ini, section, "y", "0"),
                 number(ini, section, "w", "0"), number(ini, section, "h", "0"));
}

QColor Asked::colour(const char* section) const {
    std::istringstream in(setting(ini, section, "font_color", "0,0,0"));
    int rgb[3] = {};
    char comma;
    in >> rgb[0] >> comma >> rgb[1] >> comma >> rgb[2];
    return QColor(rgb[0] & 0xFF, rgb[1] & 0xFF, rgb[2] & 0xFF);
}

Text Asked::value(const char* section, const QString& text, Qt::Alignment align) const {
    const double points = std::max(number(ini, section, "font_size", "260") / 10.0, 9.0);
    return {text, points_face(setting(ini, section, "font_name", "Arial"), points), colour(section),
            align};
}

Text Asked::caption(const char* section, const QString& text, Qt::Alignment align) const {
    return {text, points_face("Arial Bold", 9), colour(section), align};
}

Text brand() {
    return {"VEKO", points_face("Arial Bold", 18), kTeal, kCentre};
}
Text fixed_value(const QString& t) {
    return {t, points_face("Arial", 16), kAmber};
}
Text fixed_total(const QString& t) {
    return {t, points_face("Arial", 18), kBlack};
}
Text fixed_article(const QString& t) {
    return {t, points_face("Arial", 18), kAmber, kCentre};
}
Text fixed_mark(const QString& t) {
    return {t, points_face("Arial Bold", 9), kBlack, kLeft};
}
Text bitmap_caption(const QString& t) {
    return {t, {"Liberation Sans", 10, true}, kAmber, kCentre};
}

std::vector<Look> box(const QString& text, bool error) {
    const Win w{kBox, {}};
    const Look shown = shows_in_its_face(w, "qt_msgbox_label", {text, {}, kBlack, kLeft, true});
    if (error) return {shown, filled(w, kErrorRed, 0.01)};
    return {shown, filled(w, kWhite, 0.02), filled(w, kErrorRed, 0, {}, 0)};
}

std::map<std::string, std::string> identity() {
    TempDir dir;
    Process p(BIN_DIR "/tarvelo", {"--version"}, dir.path(), {}, dir.file("version"));
    EXPECT_EQ(p.wait_exit(10000), 0) << p.err();
    std::map<std::string, std::string> values;
    std::istringstream lines(p.out());
    for (std::string line; std::getline(lines, line);)
        if (auto gap = line.find("  "); gap != std::string::npos)
            values[line.substr(0, gap)] = line.substr(line.find_first_not_of(' ', gap));
    return values;
}

Stage::Stage(const std::vector<QRect>& monitors, bool tray, const std::vector<Setting>& settings,
             const std::vector<std::string>& board_lines)
    : x(monitors, tray),
      s(x, settings, board_lines),
      table(x, {&s.probe_}),
      asked{s.settings()},
      bar{kBar, window_place(s.settings(), "windowMain1")},
      customer{kCustomer, window_place(s.settings(), "windowMain2")} {}

void Stage::ready() {
    EXPECT_TRUE(s.tarvelo_->wait_output("tarvelo: scale ready", 30000)) << s.tarvelo_->err();
}

void Stage::ecr(const std::vector<std::string>& request) {
    std::vector<std::string> args{"--pipe", "kv2170"};
    args.insert(args.end(), request.begin(), request.end());
    Process p(BIN_DIR "/ecrctl", args, s.dir_.path(), {{"XDG_RUNTIME_DIR", s.dir_.path()}},
              s.dir_.file("ecrctl"));
    EXPECT_EQ(p.wait_exit(10000), 0) << request[0] << ": " << p.out() << p.err();
}

bool Stage::shown(const Dump& d, const char* cls) {
    const ProbedWindow* w = find_window(d, cls);
    return w && w->visible;
}

Dump Stage::wait_for(const std::function<bool(const Dump&)>& done) {
    Dump d;
    wait_until(
        [&] {
            d = table.dump();
            return done(d);
        },
        20000, 20);
    return d;
}

void Stage::click(const char* cls, const char* id) {
    const Dump d = wait_for([&](const Dump& v) { return shown(v, cls); });
    const ProbedWindow* w = find_window(d, cls);
    const ProbedControl* c = d.control(cls, id);
    EXPECT_TRUE(w && w->visible && c) << cls << " " << id << " is not shown";
    if (w && c) x.click(c->place.center(), w->id);
}

void Stage::answer_box() {
    const Dump d = wait_for([](const Dump& v) { return ok_button(v) != nullptr; });
    const ProbedControl* ok = ok_button(d);
    EXPECT_NE(ok, nullptr) << "no message box";
    if (!ok) return;
    const unsigned long answered = find_window(d, kBox)->id;
    x.click(ok->place.center(), answered);
    // Gone, or followed by another box.
    wait_for([answered](const Dump& v) {
        const ProbedWindow* w = find_window(v, kBox);
        return !w || !w->visible || w->id != answered;
    });
}

void Stage::type_into(const char* cls, const char* id, const std::string& text) {
    click(cls, id);
    x.key("ctrl+a");
    x.type(text);
}

void Stage::start_kestrin() {
    kestrin = std::make_unique<KestrinRun>(x, s);
    table.add_probe(&kestrin->probe_);
}

void Stage::stop_kestrin() {
    table.remove_probe(&kestrin->probe_);
    kestrin.reset();
}

QPoint Stage::tray_icon() {
    const Dump d = wait_for([](const Dump& v) { return shown(v, "QSystemTrayIconSys"); });
    const ProbedWindow* icon = find_window(d, "QSystemTrayIconSys");
    EXPECT_TRUE(icon && icon->visible) << "no tray icon";
    return icon ? icon->place.center() : QPoint();
}

Look boot_covers_before_the_colour_test_closes(Probe& probe) {
    return holds([&probe] {
        const std::vector<std::string> events = probe.events();
        auto first = [&](const std::string& what, const char* cls) {
            return std::find(events.begin(), events.end(), what + " " + cls) - events.begin();
        };
        const auto none = std::ssize(events);
        for (const char* flash : {kFlash, kFlash2}) {
            const auto closed = first("closed", flash);
            if (closed == none) return std::string(flash) + " is not closed yet";
            for (const char* boot : {kBoot, kBoot2})
                if (first("exposed", boot) > closed)
                    return std::string(flash) + " closed before " + boot + " was on the screen";
        }
        return std::string();
    });
}

}  // namespace tarvelo::test
