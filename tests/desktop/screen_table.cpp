#include "tests/desktop/screen_table.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tests/desktop/desktop_support.h"

namespace tarvelo::test {

Look shows(const Win& w, const std::string& control, const Text& t) {
    Look l;
    l.window = w;
    l.control = control;
    l.shown = t;
    return l;
}

Look shows_in(const Win& w, const QRect& part, const Text& t) {
    Look l;
    l.window = w;
    l.part = part;
    l.shown = t;
    return l;
}

Look shows_in_its_face(const Win& w, const std::string& control, const Text& t) {
    Look l = shows(w, control, t);
    l.program_face = true;
    return l;
}

Look lacks(const Win& w, const std::string& control, const Text& t) {
    Look l = shows(w, control, t);
    l.kind = Look::lacks_text;
    return l;
}

Look lacks_in(const Win& w, const QRect& part, const Text& t) {
    Look l = shows_in(w, part, t);
    l.kind = Look::lacks_text;
    return l;
}

Look filled(const Win& w, const QColor& colour, double share, const QRect& part, double most) {
    Look l;
    l.kind = Look::fill;
    l.window = w;
    l.colour = colour;
    l.share = share;
    l.most = most;
    l.part = part;
    return l;
}

Look backs(const Win& w, const std::string& control, const QColor& colour, double share,
           double most) {
    Look l = filled(w, colour, share, QRect(), most);
    l.control = control;
    return l;
}

Look gone(const Win& w) {
    Look l;
    l.kind = Look::gone;
    l.window = w;
    return l;
}

Look covers(const std::vector<QPoint>& points, const QColor& colour,
            const std::vector<QPoint>& desktop) {
    Look l;
    l.kind = Look::colours;
    l.points = points;
    l.colour = colour;
    l.desktop = desktop;
    return l;
}

Look holds(std::function<std::string()> check) {
    Look l;
    l.kind = Look::holds;
    l.check = std::move(check);
    return l;
}

const ProbedWindow* find_window(const Dump& d, const std::string& cls) {
    const ProbedWindow* any = nullptr;
    for (const ProbedWindow& w : d.windows) {
        if (w.cls != cls) continue;
        if (w.visible) return &w;
        if (!any) any = &w;
    }
    return any;
}

void ScreenTable::remove_probe(Probe* p) {
    probes_.erase(std::remove(probes_.begin(), probes_.end(), p), probes_.end());
}

Dump ScreenTable::dump() {
    Dump all;
    for (Probe* p : probes_) {
        std::optional<Dump> d = p->dump();
        if (!d) continue;
        all.windows.insert(all.windows.end(), d->windows.begin(), d->windows.end());
        all.controls.insert(all.controls.end(), d->controls.begin(), d->controls.end());
    }
    return all;
}

namespace {

std::string rect_text(const QRect& r) {
    return ::testing::PrintToString(r);
}

bool needs_places(const Look& l) {
    return l.kind == Look::text || l.kind == Look::lacks_text || l.kind == Look::fill;
}

}  // namespace

std::string ScreenTable::check(const Look& look, const QImage& screen, const Dump& d) {
    const std::string cls = look.window.cls;
    switch (look.kind) {
        case Look::gone:
            if (share_like(screen, look.window.place, kDesktop, 2) >= 0.98) return "";
            return cls + " still shows at " + rect_text(look.window.place);
        case Look::colours: {
            for (const QPoint& p : look.points)
                if (share_like(screen, QRect(p, QSize(1, 1)), look.colour, 2) < 1)
                    return "(" + std::to_string(p.x()) + "," + std::to_string(p.y()) + ") is not " +
                           look.colour.name().toStdString();
            for (const QPoint& p : look.desktop)
                if (share_like(screen, QRect(p, QSize(1, 1)), kDesktop, 2) < 1)
                    return "(" + std::to_string(p.x()) + "," + std::to_string(p.y()) +
                           ") is not the bare desktop";
            return "";
        }
        case Look::holds:
            return look.check();
        default:
            break;
    }
    const ProbedWindow* w = find_window(d, cls);
    if (!w || !w->visible) return cls + " is not shown";
    if (look.window.place.isValid() && w->place != look.window.place)
        return cls + " is at " + rect_text(w->place) + ", not at " + rect_text(look.window.place);
    QRect area = look.part.isValid() ? look.part.translated(w->place.topLeft()) : w->place;
    if (!look.control.empty()) {
        const ProbedControl* c = d.control(cls, look.control);
        if (!c) return cls + " has no control " + look.control;
        area = c->place;
    }
    Text shown = look.shown;
    if (look.program_face) {
        const ProbedControl* c = d.control(cls, look.control);
        shown.face = {QString::fromStdString(c->family), c->pixels, false};
    }
    std::string problem;
    if (look.kind == Look::text) problem = find_text(screen, area, shown);
    if (look.kind == Look::lacks_text) problem = no_text(screen, area, shown);
    if (look.kind == Look::fill) {
        const double share = share_like(screen, area, look.colour, 8);
        if (share < look.share || share > look.most)
            problem = std::to_string(share * 100) + " % " + look.colour.name().toStdString() +
                      ", not " + std::to_string(look.share * 100) + " to " +
                      std::to_string(look.most * 100) + " %";
    }
    return problem.empty()
               ? ""
               : cls + (look.control.empty() ? "" : " " + look.control) + ": " + problem;
}

bool ScreenTable::play(const Row& row) {
    if (row.act) row.act();
    const bool places = std::any_of(row.looks.begin(), row.looks.end(), needs_places);
    Dump d;
    QImage screen;
    std::vector<std::string> problems;
    const bool shown = wait_until(
        [&] {
            problems.clear();
            if (places) d = dump();
            screen = x_.grab();
            if (screen.isNull()) {
                problems.push_back("no screen to capture");
                return false;
            }
            for (const Look& look : row.looks)
                if (std::string p = check(look, screen, d); !p.empty()) problems.push_back(p);
            return problems.empty();
        },
        30000, 20);
    // The picture shows the windows the row looks at; what it showed last, shown or not.
    QRect picture;
    for (const Look& look : row.looks) {
        if (look.kind == Look::gone) picture |= look.window.place;
        if (!needs_places(look)) continue;
        if (const ProbedWindow* w = find_window(d, look.window.cls); w && w->visible)
            picture |= w->place;
    }
    picture = picture.isValid() ? picture & screen.rect() : screen.rect();
    screen.copy(picture).save(QString::fromStdString(kShots + "/" + row.screen + ".png"));
    std::string all;
    for (const std::string& p : problems) all += "\n  " + p;
    EXPECT_TRUE(shown) << row.screen << ":" << all;
    return shown;
}

}  // namespace tarvelo::test
