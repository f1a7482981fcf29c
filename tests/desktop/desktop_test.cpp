// Windows on a real X server that the table of screens (screen_table_test.cpp) does not
// cover: tarvelo and kestrin on a desktop scaled to 150 %. Screenshots go to
// build/screenshots/desktop/.

#include <gtest/gtest.h>

#include <QImage>

#include "tests/desktop/desktop_support.h"
#include "tests/desktop/screen_text.h"

namespace tarvelo::test {
namespace {

// Qt's value types print as themselves in a failure's message.
TEST(DesktopMessages, PrintQtValuesReadably) {
    EXPECT_EQ(::testing::PrintToString(QRect(800, 0, 640, 480)), "640x480 at (800,0)");
    EXPECT_EQ(::testing::PrintToString(QPoint(1439, 479)), "(1439,479)");
    EXPECT_EQ(::testing::PrintToString(QSize(482, 327)), "482x327");
    EXPECT_EQ(::testing::PrintToString(QColor(220, 20, 60)), "#dc143c");
}

// A desktop scaled to 150 % (Xft.dpi 144) changes nothing on the scale: the windows are
// designed in pixels for 96 dpi, the settings' places and sizes are the screen's pixels, and
// every text keeps the size it has at 96 dpi. Also kestrin. With the run command's settings
// unchanged, on 1024 x 768 with a second monitor to its right, where the run command puts the
// customer window. The screen shows each text at its size for 96 dpi; kestrin is checked on the
// screen with the version window closed, which would otherwise stand in front of it.
TEST_F(Desktop, AScaledDesktopKeepsThePixelsOfTheSettings) {
    XSession x({QSize(1024, 768), QSize(640, 480)}, false);
    ASSERT_TRUE(x.ready()) << x.why();
    ASSERT_TRUE(x.merge_resources("Xft.dpi: 144\n"));
    ScaleRun s(x, "", "");
    const std::vector<QPoint> both{{0, 60},   {1023, 60}, {0, 767},    {1023, 767},
                                   {1024, 0}, {1663, 0},  {1024, 479}, {1663, 479}};
    const std::vector<QPoint> beyond{{1024, 480}, {1663, 767}};
    EXPECT_TRUE(screens_show(x, both, kGreen, "scaled_flash.png", beyond));
    EXPECT_TRUE(screens_show(x, both, kCrimson, "scaled_boot.png", beyond));
    ASSERT_TRUE(s.tarvelo_->wait_output("tarvelo: scale ready", 30000)) << s.tarvelo_->err();

    auto d = s.probe_.wait([](const Dump& v) { return v.shown(kBar) && v.shown(kCustomer); });
    ASSERT_TRUE(on_screen(x, d, kBar) && on_screen(x, d, kCustomer));
    EXPECT_EQ(d->place(kBar), QRect(0, 0, 800, 60));
    EXPECT_EQ(d->place(kCustomer), QRect(1024, 0, 640, 200));
    QImage screen = x.grab();
    EXPECT_EQ(
        find_text(screen, d->control(kBar, "1000")->place,
                  {"VEKO", points_face("Arial Bold", 18), QColor(0, 148, 108), Qt::AlignCenter}),
        "");
    for (const auto& [id, text] : kLargestBarValues)
        for (const char* w : {kBar, kCustomer}) s.probe_.set(w, id, text);
    d = s.probe_.dump();
    ASSERT_TRUE(d);
    expect_whole_texts(*d, kBar, 10);
    expect_whole_texts(*d, kCustomer, 10);
    // The wizard's windows, as they will show.
    expect_whole_texts(*d, kWizard, 6);
    expect_whole_texts(*d, kStep1, 3);
    expect_whole_texts(*d, kStep2, 3);

    press(x, *d, kBar, "1000");
    d = s.probe_.wait([](const Dump& v) { return v.shown(kVersion); });
    ASSERT_TRUE(on_screen(x, d, kVersion));
    x.grab(kShots + "/scaled_version.png", d->place(kVersion));
    EXPECT_EQ(d->place(kVersion), QRect(250, 150, 390, 400));
    EXPECT_FALSE(d->place(kVersion).intersects(d->place(kCustomer)));
    expect_whole_texts(*d, kVersion, 9);
    screen = x.grab();
    EXPECT_EQ(find_text(screen, d->control(kVersion, "1008")->place,
                        {"CHECKSUM", points_face("Arial Bold", 12), Qt::black,
                         Qt::AlignLeft | Qt::AlignTop, true}),
              "");
    press(x, *d, kVersion, "1033");
    ASSERT_TRUE(s.probe_.wait([](const Dump& v) { return !v.shown(kVersion); }));

    Probe kp(x, x.dir().file("kestrin-probe"));
    auto env = s.environment();
    env["QT_QPA_GENERIC_PLUGINS"] = "windowprobe:" + kp.fifo();
    Process kestrin(BIN_DIR "/kestrin", {}, s.dir_.path(), env, s.dir_.file("kestrin"));
    auto k = kp.wait([](const Dump& v) { return v.shown(kKestrin); });
    ASSERT_TRUE(on_screen(x, k, kKestrin)) << kestrin.err();
    screen = x.grab();
    const Text weight{
        "0.000", {"Liberation Sans", 11, false}, Qt::black, Qt::AlignRight | Qt::AlignTop};
    EXPECT_EQ(find_text(screen, k->control(kKestrin, "1003")->place, weight), "");
    x.grab(kShots + "/scaled_kestrin.png", k->place(kKestrin));
    EXPECT_EQ(k->place(kKestrin).size(), QSize(482, 327));
    expect_whole_texts(*k, kKestrin, 7);
    kestrin.stop();
}

}  // namespace
}  // namespace tarvelo::test
