#include "tests/desktop/desktop_support.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>

namespace tarvelo::test {

std::string run_command_settings(const std::string& run_dir, const std::string& customer_place) {
    std::istringstream place(customer_place);
    std::string customer_x = "0", customer_y = "0";
    place >> customer_x >> customer_y;
    const std::map<std::string, std::string> values{
        {"run", run_dir}, {"customer_x", customer_x}, {"customer_y", customer_y}};
    std::ifstream in(SOURCE_DIR "/scripts/run.sh");
    std::string ini, line;
    bool inside = false;
    while (std::getline(in, line)) {
        if (inside && line == "INI") break;
        if (inside) {
            for (const auto& [name, value] : values)
                line = std::regex_replace(line, std::regex("\\$" + name + "\\b"), value);
            ini += line + "\n";
        }
        if (line.find("tarvelo.ini\" <<INI") != std::string::npos) inside = true;
    }
    EXPECT_EQ(ini.find('$'), std::string::npos) << "a variable of run.sh left in:\n" << ini;
    return ini;
}

std::string with_settings(std::string ini, const std::vector<Setting>& changes) {
    for (const Setting& c : changes) {
        const std::string header = "[" + c.section + "]\n";
        auto section = ini.find(header);
        if (section == std::string::npos) {
            ini += header + c.key + "=" + c.value + "\n";
            continue;
        }
        const auto body = section + header.size();
        auto end = ini.find("\n[", body);
        end = end == std::string::npos ? ini.size() : end + 1;
        const auto key = ini.find("\n" + c.key + "=", body - 1);
        if (key != std::string::npos && key < end) {
            const auto value = key + 1 + c.key.size() + 1;
            ini.replace(value, ini.find('\n', value) - value, c.value);
        } else {
            ini.insert(end, c.key + "=" + c.value + "\n");
        }
    }
    return ini;
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
    auto at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

std::string setting(const std::string& ini, const std::string& section, const std::string& key,
                    const std::string& fallback) {
    std::istringstream lines(ini);
    std::string current;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.front() == '[') current = line.substr(1, line.find(']') - 1);
        if (current == section && line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    }
    return fallback;
}

const std::vector<std::pair<int, std::string>> kLargestBarValues = {
    {1046, "-99,999"},   {1054, "-99,999"},       {1050, "9999,99"},
    {1052, "999989,00"}, {1056, "WWWWWWWWWWWWW"}, {1001, "DDDDDDDD"}};

void expect_whole_texts(const Dump& d, const std::string& cls, int at_least) {
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

std::vector<QPoint> corners(const QRect& r) {
    return {r.topLeft(), r.topRight(), r.bottomLeft(), r.bottomRight()};
}

QPoint centre(const ProbedControl* c) {
    EXPECT_NE(c, nullptr);
    return c ? c->place.center() : QPoint(-1, -1);
}

void press(XSession& x, const Dump& d, const char* cls, const char* id) {
    const ProbedWindow* w = d.window(cls);
    EXPECT_TRUE(w && w->visible) << cls;
    x.click(centre(d.control(cls, id)), w ? w->id : 0);
}

bool on_screen(XSession& x, const std::optional<Dump>& d, const char* cls) {
    const ProbedWindow* w = d ? d->window(cls) : nullptr;
    return w && w->visible && x.settle(w->id, w->place);
}

const ProbedControl* ok_button(const Dump& d) {
    if (!d.shown(kBox)) return nullptr;
    for (const ProbedControl& c : d.controls)
        if (c.window == kBox && c.kind == "button" && c.visible) return &c;
    return nullptr;
}

bool screens_show(XSession& x, const std::vector<QPoint>& points, const QColor& colour,
                  const std::string& shot, const std::vector<QPoint>& desktop) {
    // A colour phase of the start-up lasts a second here, a grab three hundredths of one.
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
    screen.save(QString::fromStdString(kShots + "/" + shot));  // what it showed last
    return shown;
}

ScaleRun::ScaleRun(XSession& x, const std::vector<Setting>& changes,
                   const std::vector<std::string>& board_lines)
    : x_(x), probe_(x, x.dir().file("probe")) {
    // Where the run command would put the customer window on this desktop.
    const CommandResult place =
        x.run({"/bin/bash", SOURCE_DIR "/scripts/place-customer-window.sh"});
    EXPECT_EQ(place.code, 0) << place.out;
    start(with_settings(run_command_settings(dir_.path().string(), place.out), changes),
          board_lines);
}

ScaleRun::ScaleRun(XSession& x, const std::string& ini_changes_from,
                   const std::string& ini_changes_to, const std::vector<std::string>& board_lines)
    : x_(x), probe_(x, x.dir().file("probe")) {
    const CommandResult place =
        x.run({"/bin/bash", SOURCE_DIR "/scripts/place-customer-window.sh"});
    std::string ini = run_command_settings(dir_.path().string(), place.out);
    if (!ini_changes_from.empty()) ini = replace(ini, ini_changes_from, ini_changes_to);
    start(ini, board_lines);
}

void ScaleRun::start(std::string ini, const std::vector<std::string>& board_lines) {
    board_ = std::make_unique<Process>(
        BIN_DIR "/boardsim", std::vector<std::string>{"--link", dir_.file("board")}, dir_.path(),
        std::map<std::string, std::string>{}, dir_.file("boardsim"));
    EXPECT_TRUE(board_->wait_output("ready:", 5000)) << board_->err();
    for (const std::string& line : board_lines) board(line);
    ini_ = std::move(ini);
    write_file(dir_.file("tarvelo.ini"), ini_);
    tarvelo_ = std::make_unique<Process>(BIN_DIR "/tarvelo", std::vector<std::string>{},
                                         dir_.path(), environment(), dir_.file("tarvelo"));
}

ScaleRun::~ScaleRun() {
    if (!::testing::Test::HasFailure()) return;
    x_.grab(kShots + "/failed_" + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
            ".png");
    auto tail = [](const std::string& t) {
        return t.substr(t.size() > 3000 ? t.size() - 3000 : 0);
    };
    std::cerr << "tarvelo's output:\n"
              << tail(tarvelo_->out()) << "\ntarvelo's errors:\n"
              << tail(tarvelo_->err()) << "\n";
}

std::map<std::string, std::string> ScaleRun::environment() {
    return {{"DISPLAY", x_.display()},
            {"QT_QPA_PLATFORM", "xcb"},
            {"XDG_RUNTIME_DIR", dir_.path()},
            {"TARVELO_TIME_DIVISOR", "2"},
            {"QT_PLUGIN_PATH", TEST_PLUGIN_DIR},
            {"QT_QPA_GENERIC_PLUGINS", "windowprobe:" + probe_.fifo()}};
}

int ScaleRun::commands() {
    const std::string out = tarvelo_->out();
    int n = 0;
    for (auto at = out.find("Send write command:"); at != std::string::npos;
         at = out.find("Send write command:", at + 1))
        ++n;
    return n;
}

int ScaleRun::board_answers() {
    const std::string out = "\n" + board_->out();
    int answers = 0;
    for (auto at = out.find("\nok\n"); at != std::string::npos; at = out.find("\nok\n", at + 1))
        ++answers;
    return answers;
}

void ScaleRun::board(const std::string& line) {
    const int before = board_answers();
    board_->send_line(line);
    EXPECT_TRUE(wait_until([&] { return board_answers() > before; }, 5000))
        << line << ": " << board_->out();
}

KestrinRun::KestrinRun(XSession& x, ScaleRun& s)
    : probe_(x, x.dir().file("kestrin-probe")),
      process_(
          BIN_DIR "/kestrin", {}, s.dir_.path(),
          [&] {
              auto env = s.environment();
              env["QT_QPA_GENERIC_PLUGINS"] = "windowprobe:" + probe_.fifo();
              return env;
          }(),
          s.dir_.file("kestrin")) {}

void clean_environment(const std::filesystem::path& home) {
    // Not the developer's D-Bus with a tray of its own, nor Qt's scaling, style and theme
    // variables, nor the settings folders.
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

void Desktop::SetUp() {
    std::filesystem::create_directories(kShots);
    // A picture of an earlier failure would pass for one of this run.
    std::filesystem::remove(kShots + "/failed_" +
                            ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                            ".png");
    clean_environment(home_.path());
}

}  // namespace tarvelo::test
