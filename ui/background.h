#pragma once
// Backgrounds of the display windows: a bitmap file stretched over the client area, and the
// two built-in 256 x 120 bitmaps of the second window's fixed look.

#include <QImage>
#include <QPainter>
#include <QRect>
#include <optional>
#include <string>

#include "platform/regular_file.h"

namespace tarvelo::ui {

// A bitmap of a few screens at full colour fits well within this; a larger file is not read.
constexpr size_t kMaxBackgroundBytes = 64u << 20;

// One window's background file. Every value change repaints the window behind its label, so
// the decoded bitmap is kept and the file read again only when it changed: a changed file
// still shows at the next paint. Nothing is drawn for an empty path or a file that does not
// load; only a regular file is read.
class BackgroundImage {
  public:
    void paint(QPainter& painter, const QRect& client, const std::string& path);

  private:
    std::string path_;
    std::optional<FileStamp> stamp_;
    QImage image_;  // null when that version of the file did not load
};

constexpr QRgb kAmber = qRgb(248, 204, 0);
constexpr QRgb kTeal = qRgb(0, 148, 108);

// Black with amber grid lines and the captions over the cells; quantity mode shows QTY and
// the per-piece unit price and no tare caption. Drawn once per mode.
const QImage& builtin_bitmap(bool quantity_mode);

}  // namespace tarvelo::ui
