#include "tests/desktop/screen_text.h"

#include <QGuiApplication>
#include <QPainter>
#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <vector>

namespace tarvelo::test {
namespace {

// Fonts need an application; the test's own draws offscreen.
void ensure_fonts() {
    if (QGuiApplication::instance()) return;
    static int argc = 3;
    static char name[] = "desktop_test", option[] = "-platform", platform[] = "offscreen";
    static char* argv[] = {name, option, platform, nullptr};
    new QGuiApplication(argc, argv);  // lives as long as the test program
}

// A mask over an area: 1 where there is ink.
struct Mask {
    int w = 0, h = 0;
    std::vector<uint8_t> bits;
    Mask(int width, int height) : w(width), h(height), bits(size_t(width) * height) {}
    bool at(int x, int y) const { return x >= 0 && y >= 0 && x < w && y < h && bits[y * w + x]; }
    void set(int x, int y) { bits[y * w + x] = 1; }
    QRect box() const {
        QRect b;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                if (at(x, y)) b |= QRect(x, y, 1, 1);
        return b;
    }
    int count(const QRect& r) const {
        int n = 0;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x) n += at(x, y);
        return n;
    }
};

// How much of each pixel the text covers (0 to 255) as a label draws it in an area of this
// size.
QImage coverage(const Text& t, QSize size) {
    ensure_fonts();
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::black);
    QPainter p(&image);
    QFont font(t.face.family);
    font.setPixelSize(t.face.pixels);
    font.setBold(t.face.bold);
    p.setFont(font);
    p.setPen(Qt::white);
    p.drawText(QRect(QPoint(0, 0), size), int(t.align) | (t.wrap ? Qt::TextWordWrap : 0), t.text);
    p.end();
    return image;
}

// The pixels of an image for which `take` holds.
Mask where(const QImage& image, const std::function<bool(QRgb)>& take) {
    Mask m(image.width(), image.height());
    for (int y = 0; y < m.h; ++y)
        for (int x = 0; x < m.w; ++x)
            if (take(image.pixel(x, y))) m.set(x, y);
    return m;
}

// The pixels covered at least to `level`: ink from half-way, the glyphs' cores near 255.
Mask covered(const QImage& coverage, int level) {
    return where(coverage, [level](QRgb p) { return qRed(p) >= level; });
}

// What the area is painted with behind its text: its most frequent colour.
QColor ground(const QImage& area) {
    std::map<QRgb, int> count;
    for (int y = 0; y < area.height(); ++y)
        for (int x = 0; x < area.width(); ++x) ++count[area.pixel(x, y) & 0xFFFFFF];
    QRgb best = 0;
    int most = -1;
    for (auto [rgb, n] : count)
        if (n > most) best = rgb, most = n;
    return QColor(best);
}

// A text pixel blends the text's colour over the ground: it lies on the line between the two.
// Ink is at least half-way along that line and close to it; another colour is no ink.
Mask ink_of(const QImage& area, const QColor& ground, const QColor& colour) {
    const double gr = ground.red(), gg = ground.green(), gb = ground.blue();
    const double cr = colour.red() - gr, cg = colour.green() - gg, cb = colour.blue() - gb;
    const double length2 = cr * cr + cg * cg + cb * cb;
    return where(area, [&](QRgb p) {
        if (length2 < 1) return false;
        const double pr = qRed(p) - gr, pg = qGreen(p) - gg, pb = qBlue(p) - gb;
        const double t = (pr * cr + pg * cg + pb * cb) / length2;
        const double dr = pr - t * cr, dg = pg - t * cg, db = pb - t * cb;
        return t >= 0.5 && std::sqrt(dr * dr + dg * dg + db * db) <= 24;
    });
}

// The pixels of the colour itself, as the glyphs' cores show it.
Mask colour_of(const QImage& area, const QColor& colour) {
    return where(area, [&](QRgb p) {
        const int dr = qRed(p) - colour.red(), dg = qGreen(p) - colour.green(),
                  db = qBlue(p) - colour.blue();
        return dr * dr + dg * dg + db * db <= 16 * 16;
    });
}

// Whatever stands out from the ground, in any colour.
Mask marks_of(const QImage& area, const QColor& ground) {
    return where(area, [&](QRgb p) {
        return std::max({std::abs(qRed(p) - ground.red()), std::abs(qGreen(p) - ground.green()),
                         std::abs(qBlue(p) - ground.blue())}) > 60;
    });
}

std::string name(const QColor& c) {
    return c.name().toStdString();
}

// What the area shows where the text's ink should be: the size of whatever stands out there
// and its colour farthest from the ground.
std::string seen(const QImage& area, const QColor& ground, const QRect& where) {
    const Mask marks = marks_of(area, ground);
    QRect box;
    QColor strongest = ground;
    int far = -1;
    for (int y = std::max(0, where.top()); y <= std::min(marks.h - 1, where.bottom()); ++y)
        for (int x = std::max(0, where.left()); x <= std::min(marks.w - 1, where.right()); ++x) {
            if (!marks.at(x, y)) continue;
            box |= QRect(x, y, 1, 1);
            const QColor c(area.pixel(x, y));
            const int d = std::abs(c.red() - ground.red()) + std::abs(c.green() - ground.green()) +
                          std::abs(c.blue() - ground.blue());
            if (d > far) far = d, strongest = c;
        }
    if (box.isEmpty()) return "nothing but " + name(ground);
    return "marks " + std::to_string(box.width()) + "x" + std::to_string(box.height()) +
           " px, the strongest " + name(strongest) + ", on " + name(ground);
}

std::string describe(const Text& t) {
    return "\"" + t.text.toStdString() + "\" in " + name(t.colour) + ", " +
           t.face.family.toStdString() + (t.face.bold ? " bold " : " ") +
           std::to_string(t.face.pixels) + " px";
}

}  // namespace

Face points_face(const std::string& name, double points) {
    std::string family = name;
    bool bold = false;
    if (family.size() > 5 && family.compare(family.size() - 5, 5, " Bold") == 0) {
        family.resize(family.size() - 5);
        bold = true;
    }
    if (family == "Arial") family = "Liberation Sans";
    return {QString::fromStdString(family), int(std::lround(points * 96 / 72.0)), bold};
}

std::string find_text(const QImage& screen, const QRect& area, const Text& text) {
    const QRect on_screen = area & screen.rect();
    if (on_screen != area || area.isEmpty()) return "the place is not (all) on the screen";
    const QImage crop = screen.copy(area);
    const QImage drawn = coverage(text, area.size());
    const Mask want = covered(drawn, 128), cores = covered(drawn, 250);
    const QRect box = want.box();
    if (box.isEmpty()) return "the text " + describe(text) + " has no ink";
    const QColor behind = ground(crop);
    // Ink by the blend towards the colour, which a slightly other size or wording does not
    // match; cores by the colour itself, which a darker or paler one does not reach.
    const Mask ink = ink_of(crop, behind, text.colour), pure = colour_of(crop, text.colour);
    const int wanted = want.count(box);
    double best_hits = 0, best_stray = 1;
    int best_dx = 0, best_dy = 0;
    for (int dy = -3; dy <= 3; ++dy)
        for (int dx = -3; dx <= 3; ++dx) {
            int hits = 0;
            for (int y = box.top(); y <= box.bottom(); ++y)
                for (int x = box.left(); x <= box.right(); ++x)
                    hits += want.at(x, y) && ink.at(x + dx, y + dy);
            int there = 0, stray = 0;
            const QRect window = box.adjusted(-2, -2, 2, 2).translated(dx, dy);
            for (int y = window.top(); y <= window.bottom(); ++y)
                for (int x = window.left(); x <= window.right(); ++x) {
                    if (!ink.at(x, y)) continue;
                    ++there;
                    stray += !want.at(x - dx, y - dy);
                }
            const double h = double(hits) / wanted, s = there ? double(stray) / there : 1;
            if (h - s > best_hits - best_stray)
                best_hits = h, best_stray = s, best_dx = dx, best_dy = dy;
        }
    int core = 0, core_pure = 0;
    for (int y = box.top(); y <= box.bottom(); ++y)
        for (int x = box.left(); x <= box.right(); ++x)
            if (cores.at(x, y)) ++core, core_pure += pure.at(x + best_dx, y + best_dy);
    const bool coloured = core_pure * 5 >= core * 4;
    if (best_hits >= 0.95 && best_stray <= 0.05 && coloured) return "";
    return "no " + describe(text) + " (best match: " + std::to_string(int(best_hits * 100)) +
           " % of its ink, " + std::to_string(int(best_stray * 100)) + " % stray, " +
           std::to_string(core ? core_pure * 100 / core : 100) +
           " % of its core in its colour; the text's ink " + std::to_string(box.width()) + "x" +
           std::to_string(box.height()) + " px, the screen's " +
           seen(crop, behind, box.adjusted(-3, -3, 3, 3)) + ")";
}

std::string no_text(const QImage& screen, const QRect& area, const Text& text) {
    const QRect on_screen = area & screen.rect();
    if (on_screen.isEmpty()) return "the place is not on the screen";
    const QImage crop = screen.copy(area);
    const Mask want = covered(coverage(text, area.size()), 128);
    const QRect box = want.box().adjusted(-2, -2, 2, 2);
    const QColor behind = ground(crop);
    const int marks = marks_of(crop, behind).count(box & QRect(0, 0, want.w, want.h));
    if (marks <= std::max(2, want.count(box) / 20)) return "";
    return describe(text) + " shown: " + seen(crop, behind, box);
}

double share_like(const QImage& screen, const QRect& rect, const QColor& colour, int tolerance) {
    const QRect r = rect & screen.rect();
    if (r.isEmpty()) return 0;
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QColor c(screen.pixel(x, y));
            n += std::abs(c.red() - colour.red()) <= tolerance &&
                 std::abs(c.green() - colour.green()) <= tolerance &&
                 std::abs(c.blue() - colour.blue()) <= tolerance;
        }
    return double(n) / (double(rect.width()) * rect.height());
}

}  // namespace tarvelo::test
