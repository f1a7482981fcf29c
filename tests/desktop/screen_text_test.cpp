// The screen reader's own judgement, on pictures drawn here as a label draws its text: it
// takes the text the settings ask for, a pixel or two away from where it is expected, and
// nothing a person would read as another text, size or colour, nor a window still in sight.

#include <gtest/gtest.h>

#include <QPainter>
#include <functional>
#include <utility>
#include <vector>

#include "tests/desktop/screen_text.h"

namespace tarvelo::test {
namespace {

const QColor kGround(240, 240, 240), kBarBlue(0, 0, 160);
const QRect kArea(10, 10, 160, 40);

// A screen of the ground's colour with each text drawn into the area, moved by its shift.
QImage screen_with(const std::vector<std::pair<Text, QPoint>>& drawn) {
    ensure_fonts();
    QImage screen(200, 80, QImage::Format_RGB32);
    screen.fill(kGround);
    QPainter p(&screen);
    for (const auto& [t, shift] : drawn) {
        QFont font(t.face.family);
        font.setPixelSize(t.face.pixels);
        font.setBold(t.face.bold);
        p.setFont(font);
        p.setPen(t.colour);
        p.drawText(kArea.translated(shift), int(t.align), t.text);
    }
    return screen;
}

Text with(Text t, const std::function<void(Text&)>& change) {
    change(t);
    return t;
}

const Text kValue{"1,234", {"Liberation Sans", 27, false}, kBarBlue};
const Text kCaption{QString(QChar(0x20AC)) + "/kg", {"Liberation Sans", 12, true}, kBarBlue};

struct Case {
    const char* what;
    Text asked, drawn;
    QPoint shift;
    bool found;
};

TEST(ScreenText, TakesTheTextAsAskedAndNothingElse) {
    const Case cases[] = {
        {"the value as asked", kValue, kValue, {0, 0}, true},
        {"two pixels away", kValue, kValue, {2, -2}, true},
        {"five pixels away", kValue, kValue, {-5, 0}, false},
        {"a colour ten steps away",
         kValue,
         with(kValue, [](Text& t) { t.colour = QColor(0, 0, 150); }),
         {0, 0},
         true},
        {"a colour twenty steps away",
         kValue,
         with(kValue, [](Text& t) { t.colour = QColor(0, 0, 140); }),
         {0, 0},
         false},
        {"black", kValue, with(kValue, [](Text& t) { t.colour = Qt::black; }), {0, 0}, false},
        {"pale, near the ground",
         kValue,
         with(kValue, [](Text& t) { t.colour = QColor(200, 200, 230); }),
         {0, 0},
         false},
        {"a pixel larger",
         kValue,
         with(kValue, [](Text& t) { t.face.pixels = 28; }),
         {0, 0},
         false},
        {"a pixel smaller",
         kValue,
         with(kValue, [](Text& t) { t.face.pixels = 26; }),
         {0, 0},
         false},
        {"bold", kValue, with(kValue, [](Text& t) { t.face.bold = true; }), {0, 0}, false},
        {"one digit other", kValue, with(kValue, [](Text& t) { t.text = "1,284"; }), {0, 0}, false},
        {"at the other end of its place",
         kValue,
         with(kValue, [](Text& t) { t.align = Qt::AlignLeft | Qt::AlignVCenter; }),
         {0, 0},
         false},
        {"the caption as asked", kCaption, kCaption, {0, 0}, true},
        {"the caption twenty steps away",
         kCaption,
         with(kCaption, [](Text& t) { t.colour = QColor(20, 0, 160); }),
         {0, 0},
         false},
        {"the caption a pixel larger",
         kCaption,
         with(kCaption, [](Text& t) { t.face.pixels = 13; }),
         {0, 0},
         false},
    };
    for (const Case& c : cases) {
        const std::string seen = find_text(screen_with({{c.drawn, c.shift}}), kArea, c.asked);
        EXPECT_EQ(seen.empty(), c.found) << c.what << ": " << seen;
    }
}

TEST(ScreenText, ANewTextOverAnOldOneIsNotTheText) {
    const Text old_value = with(kValue, [](Text& t) { t.text = "0,000"; });
    EXPECT_NE(find_text(screen_with({{old_value, {}}, {kValue, {}}}), kArea, kValue), "");
}

TEST(ScreenText, NoTextWhereNothingIsDrawn) {
    const Text zero{
        ">0<", {"Liberation Sans", 12, true}, kBarBlue, Qt::AlignLeft | Qt::AlignVCenter};
    EXPECT_EQ(no_text(screen_with({}), kArea, zero), "");
    EXPECT_NE(no_text(screen_with({{zero, {}}}), kArea, zero), "");
    // A part of it still there is not nothing.
    EXPECT_NE(no_text(screen_with({{with(zero, [](Text& t) { t.text = ">"; }), {}}}), kArea, zero),
              "");
}

TEST(ScreenText, AWindowIsGoneOnlyWhenNothingOfItIsLeft) {
    QImage screen = screen_with({});
    EXPECT_TRUE(shows_only(screen, kArea, kGround));
    // A tenth of the window's last picture still there.
    QPainter(&screen).fillRect(kArea.adjusted(0, 0, -kArea.width() * 9 / 10, 0), Qt::black);
    EXPECT_FALSE(shows_only(screen, kArea, kGround));
}

}  // namespace
}  // namespace tarvelo::test
