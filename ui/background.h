#pragma once
// Backgrounds of the display windows: a bitmap file read on every paint and stretched over
// the client area (so a changed file shows at the next paint), and the two built-in 256 x 120
// bitmaps of the second window's fixed look.

#include <QImage>
#include <QPainter>
#include <QRect>
#include <string>

namespace tarvelo::ui {

// A bitmap of a few screens at full colour fits well within this; a larger file is not read.
constexpr size_t kMaxBackgroundBytes = 64u << 20;

// Nothing is drawn for an empty path or a file that does not load; only a regular file is read.
void PaintBackgroundImage(QPainter& painter, const QRect& client, const std::string& path);

constexpr QRgb kAmber = qRgb(248, 204, 0);
constexpr QRgb kTeal = qRgb(0, 148, 108);

// Black with amber grid lines and the captions over the cells; quantity mode shows QTY and
// the per-piece unit price and no tare caption.
QImage builtin_bitmap(bool quantity_mode);

}  // namespace tarvelo::ui
