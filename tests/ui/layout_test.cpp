#include "ui/layout.h"

#include <gtest/gtest.h>

#include <map>

#include "qt_printers.h"
#include "ui/templates.h"
#include "ui/text_codec.h"

namespace tarvelo::ui {
namespace {

std::map<int, LayoutOp> by_id(const std::vector<LayoutOp>& ops) {
    std::map<int, LayoutOp> m;
    for (const auto& op : ops) m[op.id] = op;
    return m;
}
int fixed_height(int) {
    return 14;
}

TEST(TextCodec, Utf8OrWindows1252) {
    const QString euro(QChar(0x20AC));
    const struct {
        std::string bytes;
        QString text;
    } cases[] = {
        {"\x80", euro},
        {"\xE2\x82\xAC/kg", euro + "/kg"},
        {"K\xC4SE", QString("K") + QChar(0xC4) + "SE"},  // not UTF-8: 1252
        {"plain", "plain"},
        // Cut inside the last character by a byte limit: the character goes, the rest stays.
        {"x\xE2\x82\xAC\xE2\x82", "x" + euro},
        {"\xE2\x82\xAC\xE2", euro},
        {"ab\xE2\x82", "ab"},
        {"St\xC3\xBC"
         "c\xF0\x9F\x98",
         QString("St") + QChar(0xFC) + "c"},
        // A last byte that could begin a character, after plain letters: a 1252 letter.
        {"caf\xE9", QString("caf") + QChar(0xE9)},
        // Overlong forms and surrogates are not UTF-8.
        {"\xC0\xAF", QString(QChar(0xC0)) + QChar(0xAF)},
        {"\xE0\x80\x80", QString(QChar(0xE0)) + euro + euro},
        {"\xED\xA0\x80", QString(QChar(0xED)) + QChar(0xA0) + euro},
        {"\xF0\x80\x80\x80", QString(QChar(0xF0)) + euro + euro + euro},
        // Nothing above U+10FFFF.
        {"\xF4\xBF\x80\x80", QString(QChar(0xF4)) + QChar(0xBF) + euro + euro},
        {"\xF5\x80\x80\x80", QString(QChar(0xF5)) + euro + euro + euro},
    };
    for (const auto& c : cases) EXPECT_EQ(decode_text(c.bytes), c.text) << c.bytes;
}

TEST(DialogUnits, TemplateFontsGiveTheirBaseUnits) {
    EXPECT_EQ(dlu_x(516, kSansSerif8), 774);
    EXPECT_EQ(dlu_y(45, kSansSerif8), 73);
    EXPECT_EQ(dlu_x(195, kSystem10), 390);
    EXPECT_EQ(dlu_y(152, kSystem10), 304);
}

TEST(MainLayout, WeightBlockOf30PercentOn400By60) {
    WindowSettings s;
    s.weight_fg = 30;
    auto ops = by_id(layout_main(400, 60, s, fixed_height));
    EXPECT_EQ(ops[IDC_WEIGHT_FRAME].rect, QRect(2, 2, 116, 56));
    EXPECT_EQ(ops[IDC_WEIGHT_UNIT].rect, QRect(2, 2, 116, 16));
    EXPECT_EQ(ops[IDC_ZERO_MARK].rect, ops[IDC_WEIGHT_UNIT].rect);
    EXPECT_EQ(ops[IDC_WEIGHT].rect, QRect(2, 18, 116, 40));
    EXPECT_TRUE(ops[IDC_TARE].hide);  // share 0
    EXPECT_TRUE(ops[IDC_BRAND].hide);
}

TEST(MainLayout, HiddenBlocksTakeNoRoomAndOverfullSharesRunOut) {
    WindowSettings s;
    s.approval_fg = 10;
    s.scale_span_fg = 10;
    s.tare_fg = 0;
    s.weight_fg = 50;
    s.uprice_fg = 40;
    s.tprice_fg = 20;
    s.zero_btn_fg = 5;
    s.tare_btn_fg = 101;
    auto ops = by_id(layout_main(1000, 80, s, fixed_height));
    EXPECT_EQ(ops[IDC_WEIGHT_FRAME].rect.x(), 202);      // right after the 200 px of blocks 1 and 2
    EXPECT_EQ(ops[IDC_UPRICE_FRAME].rect.width(), 296);  // 300 of 1000 were left
    EXPECT_TRUE(ops[IDC_TPRICE].hide);                   // nothing left
    EXPECT_TRUE(ops[IDC_ZERO_KEY].hide);
    EXPECT_TRUE(ops[IDC_TARE_KEY].hide);
    // Vertical places of the small labels: m = 38, c = 40.
    EXPECT_EQ(ops[IDC_BRAND].rect, QRect(2, 38 - 14 - 4, 96, 14));
    EXPECT_EQ(ops[IDC_CHECKSUM].rect.y(), 40);
    EXPECT_EQ(ops[IDC_APPROVAL].rect.y(), 54);
    EXPECT_EQ(ops[IDC_MAX].rect.y(), 40 - 14 - 10);
    EXPECT_EQ(ops[IDC_MIN].rect.y(), 40 - 7);
    EXPECT_EQ(ops[IDC_ED].rect.y(), 50);
}

TEST(MainLayout, EmptySectionLeavesOnlyTheKeys) {
    WindowSettings s;  // what an empty windowMain1 gives
    s.zero_btn_fg = 1;
    s.tare_btn_fg = 1;
    auto ops = by_id(layout_main(800, 60, s, fixed_height));
    EXPECT_EQ(ops[IDC_ZERO_KEY].rect, QRect(2, 2, 4, 56));
    EXPECT_EQ(ops[IDC_TARE_KEY].rect, QRect(10, 2, 4, 56));
    for (int id : {IDC_BRAND, IDC_MAX, IDC_TARE, IDC_WEIGHT, IDC_UPRICE, IDC_TPRICE})
        EXPECT_TRUE(ops[id].hide) << id;
}

TEST(SecondLayout, ArticleBandAndColumns) {
    WindowSettings s;
    s.name_fg = 30;
    s.weight_fg = 50;
    auto ops = by_id(layout_second(300, 120, s, fixed_height));
    EXPECT_EQ(ops[IDC_TEXT_FRAME].rect, QRect(2, 2, 296, 32));
    EXPECT_EQ(ops[IDC_TEXT].rect, QRect(2, 2, 296, 32));  // the text fills its band
    EXPECT_EQ(ops[IDC_WEIGHT_FRAME].rect, QRect(2, 38, 146, 80));
    EXPECT_EQ(ops[IDC_WEIGHT_UNIT].rect.height(), 24);
    EXPECT_EQ(ops[IDC_WEIGHT].rect, QRect(2, 62, 146, 56));

    WindowSettings none;
    auto hidden = layout_second(300, 120, none, fixed_height);
    for (const auto& op : hidden) EXPECT_TRUE(op.hide) << op.id;
}

}  // namespace
}  // namespace tarvelo::ui
