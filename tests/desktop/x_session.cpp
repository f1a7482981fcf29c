#include "tests/desktop/x_session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QStringList>
#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

namespace tarvelo::test {
namespace {

// Polls every 20 ms: each look runs a program or reads a file.
bool poll(const std::function<bool()>& done, int timeout_ms) {
    return test::wait_until(done, timeout_ms, 20);
}

}  // namespace

namespace {

std::vector<QRect> side_by_side(const std::vector<QSize>& sizes) {
    std::vector<QRect> monitors;
    int x = 0;
    for (const QSize& s : sizes) {
        monitors.emplace_back(QPoint(x, 0), s);
        x += s.width();
    }
    return monitors;
}

}  // namespace

XSession::XSession(const std::vector<QRect>& monitors, bool tray) {
    ready_ = start(monitors, tray);
}

XSession::XSession(const std::vector<QSize>& monitors, bool tray)
    : XSession(side_by_side(monitors), tray) {}

bool XSession::start(const std::vector<QRect>& monitors, bool tray) {
    QRect root;
    for (const QRect& m : monitors) root |= m;
    const int width = root.right() + 1, height = root.bottom() + 1;
    // The server picks a free display number itself and writes it to its standard output;
    // it never takes one that is in use. -noreset keeps the monitors when a client leaves.
    const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
    xvfb_ = std::make_unique<Process>(
        "/usr/bin/Xvfb",
        std::vector<std::string>{"-displayfd", "1", "-screen", "0", screen, "-nolisten", "tcp",
                                 "-noreset"},
        dir_.path(), std::map<std::string, std::string>{}, dir_.file("xvfb"));
    if (!xvfb_->started() || !xvfb_->wait_output("\n", 10000)) {
        why_ = "Xvfb did not start: " + xvfb_->err();
        return false;
    }
    std::string number = xvfb_->out();
    number.erase(number.find_last_not_of("\r\n ") + 1);
    display_ = ":" + number;

    // Monitors as RandR 1.5 defines them: Qt makes one screen of each.
    if (monitors.size() > 1) {
        for (size_t i = 0; i < monitors.size(); ++i) {
            const QRect& m = monitors[i];
            std::string geometry =
                std::to_string(m.width()) + "/" + std::to_string(m.width() * 254 / 960) + "x" +
                std::to_string(m.height()) + "/" + std::to_string(m.height() * 254 / 960) + "+" +
                std::to_string(m.x()) + "+" + std::to_string(m.y());
            CommandResult r =
                run({"/usr/bin/xrandr", "--setmonitor", (i == 0 ? "*M" : "M") + std::to_string(i),
                     geometry, i == 0 ? "screen" : "none"});
            if (r.code != 0) {
                why_ = "xrandr --setmonitor failed: " + r.out;
                return false;
            }
        }
    }
    // A grey desktop: a black window then shows as itself.
    run({"/usr/bin/xsetroot", "-solid", "#505050"});

    std::map<std::string, std::string> env{{"DISPLAY", display_}, {"HOME", dir_.path()}};
    wm_ = std::make_unique<Process>("/usr/bin/openbox", std::vector<std::string>{"--sm-disable"},
                                    dir_.path(), env, dir_.file("openbox"));
    if (!poll(
            [&] {
                return run({"/usr/bin/xprop", "-root", "_NET_SUPPORTING_WM_CHECK"})
                           .out.find("window id") != std::string::npos;
            },
            10000)) {
        why_ = "openbox did not start: " + wm_->err();
        return false;
    }
    if (tray) {
        tray_ = std::make_unique<Process>(
            "/usr/bin/trayer",
            std::vector<std::string>{"--edge", "bottom", "--align", "right", "--widthtype", "pixel",
                                     "--width", "64", "--heighttype", "pixel", "--height", "24",
                                     "--monitor", "primary"},
            dir_.path(), env, dir_.file("trayer"));
        if (!poll(
                [&] {
                    return run({"/usr/bin/xdotool", "search", "--class", "trayer"}).code == 0;
                },
                10000)) {
            why_ = "trayer did not start: " + tray_->err();
            return false;
        }
    }
    return true;
}

XSession::~XSession() {
    // The clients first, the server last; each by its own process id.
    tray_.reset();
    wm_.reset();
    xvfb_.reset();
}

CommandResult XSession::run(const std::vector<std::string>& argv) {
    std::string prefix = dir_.file("run" + std::to_string(++runs_));
    Process p(argv[0], std::vector<std::string>(argv.begin() + 1, argv.end()), dir_.path(),
              {{"DISPLAY", display_}}, prefix);
    CommandResult r;
    r.code = p.wait_exit(15000);
    r.out = p.out() + p.err();
    std::filesystem::remove(prefix + ".out");
    std::filesystem::remove(prefix + ".err");
    return r;
}

bool XSession::merge_resources(const std::string& lines) {
    const std::string file = dir_.file("resources");
    write_file(file, lines);
    return run({"/usr/bin/xrdb", "-merge", file}).code == 0;
}

QImage XSession::grab(const std::string& path, const QRect& part) {
    // Uncompressed: a grab is quick, several in each second of a colour phase.
    const std::string file = dir_.file("screen.ppm");
    if (run({"/usr/bin/import", "-window", "root", file}).code != 0) return {};
    QImage screen = QImage(QString::fromStdString(file)).convertToFormat(QImage::Format_RGB32);
    if (part.isValid()) screen = screen.copy(part);
    if (!path.empty()) screen.save(QString::fromStdString(path));
    return screen;
}

bool XSession::settle(unsigned long window, const QRect& place) {
    QImage last;
    return poll(
        [&] {
            if (run({"/usr/bin/xwininfo", "-id", std::to_string(window)}).out.find("IsViewable") ==
                std::string::npos)
                return false;
            QImage now = grab("", place);
            bool same = !now.isNull() && now == last;
            last = now;
            return same;
        },
        10000);
}

QRect XSession::window_place(unsigned long window) {
    // The client area itself, wherever a frame of the window manager puts it.
    CommandResult r = run({"/usr/bin/xwininfo", "-id", std::to_string(window)});
    std::map<std::string, int> v;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        auto first = line.find_first_not_of(' ');
        v[line.substr(first, colon - first)] = std::atoi(line.c_str() + colon + 1);
    }
    return QRect(v["Absolute upper-left X"], v["Absolute upper-left Y"], v["Width"], v["Height"]);
}

void XSession::pace(const QPoint& at) {
    // Two clicks on one spot within the double-click time are a double click (one that does
    // not press a button that has just appeared there): pace them as a hand would.
    const auto now = std::chrono::steady_clock::now();
    if ((at - last_click_at_).manhattanLength() < 10 && now - last_click_ < kDoubleClickTime)
        std::this_thread::sleep_for(kDoubleClickTime - (now - last_click_));
    last_click_at_ = at;
    last_click_ = std::chrono::steady_clock::now();
}

void XSession::click(const QPoint& at, unsigned long window) {
    pace(at);
    // The pointer comes from elsewhere, as a hand's does: a window that appeared under a
    // pointer that has not moved since may not have been told that it is there.
    run({"/usr/bin/xdotool", "mousemove", "--sync", std::to_string(at.x() + 5),
         std::to_string(at.y() + 5), "mousemove", "--sync", std::to_string(at.x()),
         std::to_string(at.y())});
    if (window != 0) {
        // X names the window manager's frame round the window, where there is one.
        const std::string tree =
            run({"/usr/bin/xwininfo", "-id", std::to_string(window), "-tree"}).out;
        auto id_after = [&](const std::string& label) -> unsigned long {
            const auto found = tree.find(label);
            return found == std::string::npos
                       ? 0
                       : std::strtoul(tree.c_str() + found + label.size(), nullptr, 16);
        };
        const unsigned long parent = id_after("Parent window id: ");
        const unsigned long frame =
            parent != 0 && parent != id_after("Root window id: ") ? parent : window;
        poll(
            [&] {
                const std::string under =
                    run({"/usr/bin/xdotool", "getmouselocation", "--shell"}).out;
                return under.find("WINDOW=" + std::to_string(window) + "\n") != std::string::npos ||
                       under.find("WINDOW=" + std::to_string(frame) + "\n") != std::string::npos;
            },
            5000);
    }
    run({"/usr/bin/xdotool", "click", "1"});
}

void XSession::double_click(const QPoint& at) {
    pace(at);
    // (A move that goes nowhere is never seen done: the pointer comes from beside the spot.)
    run({"/usr/bin/xdotool", "mousemove", "--sync", std::to_string(at.x() + 5),
         std::to_string(at.y() + 5), "mousemove", "--sync", std::to_string(at.x()),
         std::to_string(at.y()), "click", "--repeat", "2", "--delay", "100", "1"});
    last_click_ = std::chrono::steady_clock::now();
}

void XSession::type(const std::string& text) {
    run({"/usr/bin/xdotool", "type", "--delay", "20", text});
}

void XSession::key(const std::string& name) {
    run({"/usr/bin/xdotool", "key", name});
}

const ProbedWindow* Dump::window(const std::string& cls) const {
    for (const ProbedWindow& w : windows)
        if (w.cls == cls) return &w;
    return nullptr;
}

const ProbedControl* Dump::control(const std::string& cls, const std::string& id) const {
    for (const ProbedControl& c : controls)
        if (c.window == cls && c.id == id) return &c;
    return nullptr;
}

Dump parse_dump(const std::string& text) {
    Dump d;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const QStringList f = QString::fromStdString(line).split('\t');
        auto rect = [&](int i) {
            return QRect(f[i].toInt(), f[i + 1].toInt(), f[i + 2].toInt(), f[i + 3].toInt());
        };
        if (f[0] == "window" && f.size() >= 8) {
            d.windows.push_back({f[1].toStdString(), f[2].toULong(), f[3] == "1", rect(4)});
        } else if (f[0] == "control" && f.size() >= 14) {
            ProbedControl c;
            c.window = f[1].toStdString();
            c.id = f[2].toStdString();
            c.kind = f[3].toStdString();
            c.visible = f[4] == "1";
            c.place = rect(5);
            c.fits = f[9] == "1";
            c.colour = QColor("#" + f[10]);
            c.family = f[11].toStdString();
            c.pixels = f[12].toInt();
            c.text = f.mid(13).join('\t').toStdString();
            d.controls.push_back(c);
        }
    }
    return d;
}

Probe::Probe(XSession& x, std::string fifo) : x_(x), fifo_(std::move(fifo)) {
    ::mkfifo(fifo_.c_str(), 0600);
    // Read and write: opening never waits for the program, and writing never fails for want
    // of a reader while it starts.
    fd_ = ::open(fifo_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
}

Probe::~Probe() {
    if (fd_ >= 0) ::close(fd_);
}

void Probe::set(const std::string& cls, int id, const std::string& text) {
    std::string line = "set " + cls + " " + std::to_string(id) + " " + text + "\n";
    [[maybe_unused]] auto n = ::write(fd_, line.data(), line.size());
}

std::optional<std::string> Probe::ask(const std::string& command) {
    const std::string path = fifo_ + ".answer" + std::to_string(++answers_);
    std::string line = command + " " + path + "\n";
    if (::write(fd_, line.data(), line.size()) != static_cast<ssize_t>(line.size()))
        return std::nullopt;
    if (!poll([&] { return std::filesystem::exists(path); }, 5000)) return std::nullopt;
    std::string answer = read_file(path);
    std::filesystem::remove(path);
    return answer;
}

std::vector<std::string> Probe::events() {
    std::vector<std::string> lines;
    std::istringstream answer(ask("events").value_or(""));
    for (std::string line; std::getline(answer, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

std::optional<Dump> Probe::dump() {
    const std::optional<std::string> answer = ask("dump");
    if (!answer) return std::nullopt;
    Dump d = parse_dump(*answer);
    std::map<std::string, QPoint> origin;
    for (ProbedWindow& w : d.windows) {
        if (w.visible) w.place = x_.window_place(w.id);
        origin[w.cls] = w.place.topLeft();
    }
    for (ProbedControl& c : d.controls) c.place.translate(origin[c.window]);
    return d;
}

std::optional<Dump> Probe::wait(const std::function<bool(const Dump&)>& done) {
    std::optional<Dump> last;
    const bool held = poll(
        [&] {
            last = dump();
            return last && done(*last);
        },
        20000);
    return held ? last : std::nullopt;
}

QColor main_colour(const QImage& image, const QRect& rect) {
    std::map<QRgb, int> count;
    const QRect r = rect & image.rect();
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) ++count[image.pixel(x, y) & 0xFFFFFF];
    QRgb best = 0;
    int most = -1;
    for (auto [rgb, n] : count)
        if (n > most) best = rgb, most = n;
    return QColor(best);
}

QColor ground_colour(const QImage& image, const QRect& rect) {
    struct Sum {
        int n = 0;
        long r = 0, g = 0, b = 0;
    };
    std::map<int, Sum> bins;  // 32 levels a channel
    const QRect area = rect & image.rect();
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c(image.pixel(x, y));
            Sum& s = bins[(c.red() >> 5) << 6 | (c.green() >> 5) << 3 | (c.blue() >> 5)];
            ++s.n;
            s.r += c.red(), s.g += c.green(), s.b += c.blue();
        }
    Sum best;
    for (const auto& [bin, s] : bins)
        if (s.n > best.n) best = s;
    if (best.n == 0) return {};
    return QColor(int(best.r / best.n), int(best.g / best.n), int(best.b / best.n));
}

int pixels_like(const QImage& image, const QRect& rect, const QColor& colour, int tolerance) {
    int n = 0;
    const QRect r = rect & image.rect();
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            QColor c(image.pixel(x, y));
            n += std::abs(c.red() - colour.red()) <= tolerance &&
                 std::abs(c.green() - colour.green()) <= tolerance &&
                 std::abs(c.blue() - colour.blue()) <= tolerance;
        }
    return n;
}

}  // namespace tarvelo::test
