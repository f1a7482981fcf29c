#include "ui/layout.h"

#include <algorithm>

#include "ui/templates.h"

namespace tarvelo::ui {
namespace {

bool share_ok(int share) {
    return share >= 1 && share <= 100;
}

struct Block {
    int share;
    std::vector<int> ids;
};

void hide_all(std::vector<LayoutOp>& ops, const std::vector<int>& ids) {
    for (int id : ids) ops.push_back({id, true, {}});
}

// Frame, caption row and value of a value block. `caption_ids` all share the caption row.
void value_block(std::vector<LayoutOp>& ops, int x, int top, int width, int inner, int frame,
                 const std::vector<int>& caption_ids, int value) {
    int caption = 3 * inner / 10;
    ops.push_back({frame, false, QRect(x + 2, top + 2, width - 4, inner)});
    for (int id : caption_ids)
        ops.push_back({id, false, QRect(x + 2, top + 2, width - 4, caption)});
    ops.push_back({value, false, QRect(x + 2, top + 2 + caption, width - 4, inner - caption)});
}

// The six blocks both windows share, left to right, each with its width share.
std::vector<Block> value_blocks(const WindowSettings& s) {
    return {
        {s.approval_fg, {IDC_BRAND, IDC_CHECKSUM, IDC_APPROVAL}},
        {s.scale_span_fg, {IDC_MAX, IDC_MIN, IDC_ED}},
        {s.tare_fg, {IDC_TARE_FRAME, IDC_TARE_CAPTION, IDC_TARE}},
        {s.weight_fg, {IDC_WEIGHT_FRAME, IDC_WEIGHT_UNIT, IDC_ZERO_MARK, IDC_NET_MARK, IDC_WEIGHT}},
        {s.uprice_fg, {IDC_UPRICE_FRAME, IDC_UPRICE_CAPTION, IDC_UPRICE}},
        {s.tprice_fg, {IDC_TPRICE_FRAME, IDC_CURRENCY, IDC_TPRICE}},
    };
}

}  // namespace

std::vector<LayoutOp> layout_main(int w, int h, const WindowSettings& s, const HeightOf& height) {
    std::vector<Block> blocks = value_blocks(s);
    blocks.push_back({s.zero_btn_fg, {IDC_ZERO_KEY}});
    blocks.push_back({s.tare_btn_fg, {IDC_TARE_KEY}});
    std::vector<LayoutOp> ops;
    int remaining = w, x = 0;
    for (size_t b = 0; b < blocks.size(); ++b) {
        const Block& block = blocks[b];
        if (remaining < 1 || !share_ok(block.share)) {
            hide_all(ops, block.ids);
            continue;
        }
        int bw = std::min(block.share * w / 100, remaining);
        int cw = bw - 4;
        switch (b) {
            case 0: {
                int m = (h - 4) / 2;
                ops.push_back({IDC_BRAND, false,
                               QRect(x + 2, m - height(IDC_BRAND) - 4, cw, height(IDC_BRAND))});
                ops.push_back({IDC_CHECKSUM, false, QRect(x + 2, m + 2, cw, height(IDC_CHECKSUM))});
                ops.push_back(
                    {IDC_APPROVAL, false, QRect(x + 2, m + 16, cw, height(IDC_APPROVAL))});
                break;
            }
            case 1: {
                int c = (h - 4) / 2 + 2;
                ops.push_back(
                    {IDC_MAX, false, QRect(x + 2, c - height(IDC_MAX) - 10, cw, height(IDC_MAX))});
                ops.push_back(
                    {IDC_MIN, false, QRect(x + 2, c - height(IDC_MIN) / 2, cw, height(IDC_MIN))});
                ops.push_back({IDC_ED, false, QRect(x + 2, c + 10, cw, height(IDC_ED))});
                break;
            }
            case 2:
                value_block(ops, x, 0, bw, h - 4, IDC_TARE_FRAME, {IDC_TARE_CAPTION}, IDC_TARE);
                break;
            case 3:
                value_block(ops, x, 0, bw, h - 4, IDC_WEIGHT_FRAME,
                            {IDC_WEIGHT_UNIT, IDC_ZERO_MARK, IDC_NET_MARK}, IDC_WEIGHT);
                break;
            case 4:
                value_block(ops, x, 0, bw, h - 4, IDC_UPRICE_FRAME, {IDC_UPRICE_CAPTION},
                            IDC_UPRICE);
                break;
            case 5:
                value_block(ops, x, 0, bw, h - 4, IDC_TPRICE_FRAME, {IDC_CURRENCY}, IDC_TPRICE);
                break;
            default:
                ops.push_back({block.ids[0], false, QRect(x + 2, 2, cw, h - 4)});
                break;
        }
        remaining -= bw;
        x += bw;
    }
    return ops;
}

std::vector<LayoutOp> layout_second(int w, int h, const WindowSettings& s, const HeightOf& height) {
    std::vector<LayoutOp> ops;
    int top = 0, row = h;
    if (share_ok(s.name_fg)) {
        int band = s.name_fg * h / 100;
        ops.push_back({IDC_TEXT_FRAME, false, QRect(2, 2, w - 4, band - 4)});
        // The article text takes its whole band: a 2 x 2 control would hide the text.
        ops.push_back({IDC_TEXT, false, QRect(2, 2, w - 4, band - 4)});
        top = band;
        row = h - band;
    } else {
        hide_all(ops, {IDC_TEXT_FRAME, IDC_TEXT});
    }
    const std::vector<Block> columns = value_blocks(s);
    int remaining = w, x = 0;
    int inner = row - 4;
    int m = (row - 4) / 2 + top + 2;
    for (size_t c = 0; c < columns.size(); ++c) {
        const Block& col = columns[c];
        if (remaining < 1 || !share_ok(col.share)) {
            hide_all(ops, col.ids);
            continue;
        }
        int cw = std::min(col.share * w / 100, remaining);
        switch (c) {
            case 0:
                // The approval column is always the first one placed, at the left edge.
                ops.push_back({IDC_BRAND, false,
                               QRect(2, m - height(IDC_BRAND) - 6, cw - 4, height(IDC_BRAND))});
                ops.push_back({IDC_CHECKSUM, false, QRect(2, m, cw - 4, height(IDC_CHECKSUM))});
                ops.push_back(
                    {IDC_APPROVAL, false, QRect(2, m + 14, cw - 4, height(IDC_APPROVAL))});
                break;
            case 1:
                ops.push_back({IDC_MAX, false,
                               QRect(x + 2, m - height(IDC_MAX) - 10, cw - 4, height(IDC_MAX))});
                ops.push_back({IDC_MIN, false,
                               QRect(x + 2, m - height(IDC_MIN) / 2, cw - 4, height(IDC_MIN))});
                ops.push_back({IDC_ED, false, QRect(x + 2, m + 10, cw - 4, height(IDC_ED))});
                break;
            case 2:
                value_block(ops, x, top, cw, inner, IDC_TARE_FRAME, {IDC_TARE_CAPTION}, IDC_TARE);
                break;
            case 3:
                value_block(ops, x, top, cw, inner, IDC_WEIGHT_FRAME,
                            {IDC_WEIGHT_UNIT, IDC_ZERO_MARK, IDC_NET_MARK}, IDC_WEIGHT);
                break;
            case 4:
                value_block(ops, x, top, cw, inner, IDC_UPRICE_FRAME, {IDC_UPRICE_CAPTION},
                            IDC_UPRICE);
                break;
            default:
                value_block(ops, x, top, cw, inner, IDC_TPRICE_FRAME, {IDC_CURRENCY}, IDC_TPRICE);
                break;
        }
        remaining -= cw;
        x += cw;
    }
    return ops;
}

std::vector<LayoutOp> layout_fixed() {
    std::vector<LayoutOp> ops;
    hide_all(ops, {IDC_TEXT_FRAME, IDC_BRAND, IDC_CHECKSUM, IDC_APPROVAL, IDC_MAX, IDC_MIN, IDC_ED,
                   IDC_TARE_FRAME, IDC_TARE_CAPTION, IDC_WEIGHT_FRAME, IDC_WEIGHT_UNIT,
                   IDC_UPRICE_FRAME, IDC_UPRICE_CAPTION, IDC_TPRICE_FRAME, IDC_CURRENCY});
    ops.push_back({IDC_TEXT, false, QRect(2, 4, 251, 25)});
    ops.push_back({IDC_TARE, false, QRect(2, 55, 80, 25)});
    ops.push_back({IDC_WEIGHT, false, QRect(87, 55, 80, 25)});
    ops.push_back({IDC_UPRICE, false, QRect(172, 55, 80, 25)});
    ops.push_back({IDC_TPRICE, false, QRect(142, 92, 98, 25)});
    ops.push_back({IDC_ZERO_MARK, false, QRect(18, 87, 50, 10)});
    ops.push_back({IDC_NET_MARK, false, QRect(18, 100, 50, 10)});
    return ops;
}

}  // namespace tarvelo::ui
