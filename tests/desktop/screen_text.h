#pragma once
// Reading a text off a captured screen without asking the program: the test draws the text it
// expects itself, in the face, size and colour the settings and the templates ask for, and
// compares the ink with the screen's pixels. A text in another colour, another size, another
// wording, or none at all, does not match.

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <string>

namespace tarvelo::test {

// A face as the scale's windows ask for it: points at the 96 dpi the windows are designed for.
struct Face {
    QString family;  // as installed: "Arial" is drawn with "Liberation Sans"
    int pixels = 0;
    bool bold = false;
};
// "Arial Bold" 20 points -> Liberation Sans, bold, 27 pixels.
Face points_face(const std::string& name, double points);

struct Text {
    QString text;
    Face face;
    QColor colour;
    Qt::Alignment align = Qt::AlignRight | Qt::AlignVCenter;
    bool wrap = false;
};

// "" when `area` of the screen (a control's rectangle) shows the text as a label draws it
// there; otherwise what the screen shows instead.
std::string find_text(const QImage& screen, const QRect& area, const Text& text);
// "" when the place where the text would be drawn shows nothing but its background.
std::string no_text(const QImage& screen, const QRect& area, const Text& text);
// The share of the rectangle's pixels within `tolerance` of `colour` in every channel.
double share_like(const QImage& screen, const QRect& rect, const QColor& colour, int tolerance = 8);

}  // namespace tarvelo::test
