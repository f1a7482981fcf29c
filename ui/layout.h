#pragma once
// LayoutByPercent of both display windows as arithmetic: given the client size, the width
// shares of the INI file and the current heights of the small labels, where each control goes
// or that it is hidden. All divisions truncate.

#include <QRect>
#include <functional>
#include <vector>

#include "config/settings.h"

namespace tarvelo::ui {

struct LayoutOp {
    int id;
    bool hide;  // hidden; else moved to rect (never shown by the layout)
    QRect rect;
    bool operator==(const LayoutOp&) const = default;
};

using HeightOf = std::function<int(int id)>;

// The display bar: eight blocks left to right, the two keys last.
std::vector<LayoutOp> layout_main(int w, int h, const WindowSettings& s, const HeightOf& height);

// The second window: the article band on top (name_fg percent of the height), then six
// columns. The article text fills its band.
std::vector<LayoutOp> layout_second(int w, int h, const WindowSettings& s, const HeightOf& height);

// The fixed layout over the built-in 256 x 120 bitmaps.
std::vector<LayoutOp> layout_fixed();

}  // namespace tarvelo::ui
