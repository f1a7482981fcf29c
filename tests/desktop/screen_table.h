#pragma once
// A table of screens: each row is something the ECR, the board or the operator does, and what
// the screen must then show, read off the captured screen (see screen_text.h). The programs'
// probes say only where a window's controls lie within it and which windows there are; the
// screen says what they show, and the settings say where the windows belong.

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <functional>
#include <string>
#include <vector>

#include "tests/desktop/screen_text.h"
#include "tests/desktop/x_session.h"

namespace tarvelo::test {

// A window as a row names it: its class, and where on the screen it belongs (empty for a
// window that the window manager places, such as a message box).
struct Win {
    const char* cls = "";
    QRect place;
};

// One thing the screen must show.
struct Look {
    enum Kind { text, lacks_text, fill, gone, colours, holds } kind = text;
    Win window;
    std::string control;  // a control of the window, by its template id
    QRect part;           // else this part of the window, in its own pixels (empty: all of it)
    Text shown;           // text, lacks_text
    // The face the program reports for the control: for Qt's own message boxes, whose face is
    // the desktop's, not one the settings or the templates name.
    bool program_face = false;
    QColor colour;                        // fill, colours
    double share = 0, most = 1;           // fill: the share of the place in `colour` lies between
    std::vector<QPoint> points, desktop;  // colours: on the screen
    std::function<std::string()> check;   // holds: "" when it does
};

// The text is shown in the control, or in a part of the window.
Look shows(const Win& w, const std::string& control, const Text& t);
Look shows_in(const Win& w, const QRect& part, const Text& t);
// The text in the face the program reports for the control.
Look shows_in_its_face(const Win& w, const std::string& control, const Text& t);
// Where the text would be drawn, nothing is.
Look lacks(const Win& w, const std::string& control, const Text& t);
Look lacks_in(const Win& w, const QRect& part, const Text& t);
// At least `share` of the window (or its part) shows `colour`, and at most `most`.
Look filled(const Win& w, const QColor& colour, double share, const QRect& part = QRect(),
            double most = 1);
// The same for the place of one of its controls.
Look backs(const Win& w, const std::string& control, const QColor& colour, double share,
           double most = 1);
// The window's place shows the bare desktop.
Look gone(const Win& w);
// Every point shows `colour`, every point of `desktop` the bare desktop.
Look covers(const std::vector<QPoint>& points, const QColor& colour,
            const std::vector<QPoint>& desktop = {});
// Something that is not on the screen but must hold as well.
Look holds(std::function<std::string()> check);

struct Row {
    std::string screen;         // the screenshot: build/screenshots/desktop/<screen>.png
    std::function<void()> act;  // none: the row looks at what the row before brought
    std::vector<Look> looks;
};

// Plays rows against the programs whose probes it has.
class ScreenTable {
  public:
    ScreenTable(XSession& x, std::vector<Probe*> probes) : x_(x), probes_(std::move(probes)) {}
    void add_probe(Probe* p) { probes_.push_back(p); }
    void remove_probe(Probe* p);
    // Acts, then waits until the screen shows every look of the row (a check fails after
    // 30 s); saves the screenshot either way. False when the row failed.
    bool play(const Row& row);
    // The programs' windows as they are now.
    Dump dump();

  private:
    std::string check(const Look& look, const QImage& screen, const Dump& d);
    XSession& x_;
    std::vector<Probe*> probes_;
};

// The first shown window of the class, else the first of the class; null when there is none.
const ProbedWindow* find_window(const Dump& d, const std::string& cls);

}  // namespace tarvelo::test
