#pragma once
// A private X desktop for the desktop tests: Xvfb on a display number that no one uses (the
// server picks it and tells us), one or two monitors side by side, the openbox window manager
// and, when asked, trayer as the notification area. Everything it starts it stops again by
// process id, also when a check fails.

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <QSize>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace tarvelo::test {

struct CommandResult {
    int code = -1;
    std::string out;
};

class XSession {
  public:
    // Monitors where they lie on the root window, the first one primary.
    XSession(const std::vector<QRect>& monitors, bool tray);
    // Monitors side by side at the top, left to right, the first one primary.
    XSession(const std::vector<QSize>& monitors, bool tray);
    ~XSession();

    bool ready() const { return ready_; }
    const std::string& display() const { return display_; }
    const std::string& why() const { return why_; }
    TempDir& dir() { return dir_; }

    // A program of this machine on this display, waited for (15 s at most).
    CommandResult run(const std::vector<std::string>& argv);
    // Merges X resources ("Xft.dpi: 144") as a desktop's settings do; programs started
    // afterwards read them.
    bool merge_resources(const std::string& lines);
    // The screen as a person sees it, also saved to `path` when one is given.
    QImage grab(const std::string& path = "", const QRect& part = QRect());
    // Waits until the window is mapped and its picture has stopped changing: a window that the
    // program has just shown may not take clicks, or show its face, for a moment yet.
    bool settle(unsigned long window, const QRect& place);
    // X's own idea of where a window is.
    QRect window_place(unsigned long window);
    // With `window`, the click waits until X has that window under the pointer (5 s at most):
    // a window that has just replaced another at the same place may not be there for X yet.
    void click(const QPoint& at, unsigned long window = 0);
    // Two clicks within the double-click time.
    void double_click(const QPoint& at);
    void type(const std::string& text);
    void key(const std::string& name);

  private:
    bool start(const std::vector<QRect>& monitors, bool tray);
    // Waits until a click at `at` can no longer make a double click with the one before.
    void pace(const QPoint& at);

    TempDir dir_;
    std::string display_;
    std::unique_ptr<Process> xvfb_, wm_, tray_;
    bool ready_ = false;
    std::string why_;
    int runs_ = 0;
    static constexpr std::chrono::milliseconds kDoubleClickTime{700};
    QPoint last_click_at_{-100, -100};
    std::chrono::steady_clock::time_point last_click_;
};

// One line of a window probe's dump (see window_probe_plugin.cpp).
struct ProbedWindow {
    std::string cls;
    unsigned long id = 0;
    bool visible = false;
    QRect place;  // on the screen
};
struct ProbedControl {
    std::string window, id, kind;
    bool visible = false;
    QRect place;
    bool fits = false;
    QColor colour;
    std::string family;
    int pixels = 0;
    std::string text;
};
struct Dump {
    std::vector<ProbedWindow> windows;
    std::vector<ProbedControl> controls;
    const ProbedWindow* window(const std::string& cls) const;
    const ProbedControl* control(const std::string& cls, const std::string& id) const;
    // Empty (never a crash that would leave the desktop running) when there is no such thing.
    std::string text(const std::string& cls, const std::string& id) const {
        const ProbedControl* c = control(cls, id);
        return c ? c->text : "";
    }
    QRect place(const std::string& cls) const {
        const ProbedWindow* w = window(cls);
        return w ? w->place : QRect();
    }
    bool shown(const std::string& cls) const {
        const ProbedWindow* w = window(cls);
        return w && w->visible;
    }
};
Dump parse_dump(const std::string& text);

// Talks to the probe inside one program through its FIFO. Its dumps give every place on the
// screen: a shown window where X has it, its controls within it.
class Probe {
  public:
    Probe(XSession& x, std::string fifo);
    ~Probe();
    const std::string& fifo() const { return fifo_; }
    // Empty when the program did not answer within 5 s.
    std::optional<Dump> dump();
    void set(const std::string& cls, int id, const std::string& text);
    // What became of the program's windows so far, in order ("shown CLASS", "exposed CLASS",
    // "closed CLASS", "hidden CLASS"); empty when the program did not answer within 5 s.
    std::vector<std::string> events();
    // Dumps until `done` holds (20 s at most): that dump, or empty.
    std::optional<Dump> wait(const std::function<bool(const Dump&)>& done);

  private:
    // Sends "COMMAND PATH" and reads what the program wrote to PATH.
    std::optional<std::string> ask(const std::string& command);

    XSession& x_;
    std::string fifo_;
    int fd_ = -1;
    int answers_ = 0;
};

// The colour most of the rectangle shows: the background behind a text.
QColor main_colour(const QImage& image, const QRect& rect);
// The colour of most of the rectangle, counting alike colours together (a shaded button face
// is many colours, a frame round it one): what a text in the rectangle is read against.
QColor ground_colour(const QImage& image, const QRect& rect);
// How many pixels of the rectangle are within `tolerance` of `colour` in every channel.
int pixels_like(const QImage& image, const QRect& rect, const QColor& colour, int tolerance = 40);

}  // namespace tarvelo::test

// Readable failure messages for Qt's value types (found by argument-dependent lookup).
inline void PrintTo(const QPoint& p, std::ostream* os) {
    *os << "(" << p.x() << "," << p.y() << ")";
}
inline void PrintTo(const QSize& s, std::ostream* os) {
    *os << s.width() << "x" << s.height();
}
inline void PrintTo(const QRect& r, std::ostream* os) {
    *os << r.width() << "x" << r.height() << " at (" << r.x() << "," << r.y() << ")";
}
inline void PrintTo(const QColor& c, std::ostream* os) {
    *os << c.name().toStdString();
}
