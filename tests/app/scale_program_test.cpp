#include "app/scale_program.h"

#include <gtest/gtest.h>

#include "config/ini_reader.h"
#include "platform/message_box.h"
#include "tests/support/test_support.h"

namespace tarvelo::app {
namespace {

// The facade reaches the sale state only through the program's wiring: the tare key marks an
// operator's tare (which the next unit price must not clear), and a text alone opens a sale.
TEST(ScaleProgram, TheKeysAndTheSaleRefreshReachTheSaleState) {
    test::RecordingBoxes boxes;
    set_message_box(&boxes);
    test::FakeClock clock;
    ScaleProgram program(load_settings(IniFile::parse("[scale]\nad_type=0\n")), clock);

    weighing_snapshot goods_on;  // the display's last snapshot: not at zero
    program.saved().store(goods_on);
    program.facade().on_tare_button();  // no board answers here: "Tare Failed!", but the mark stays
    EXPECT_EQ(program.sale().one_touch_tare.load(), 1);
    weighing_snapshot empty;
    empty.zero = 1;
    program.saved().store(empty);
    program.facade().on_tare_button();
    EXPECT_EQ(program.sale().one_touch_tare.load(), 0);

    test::RecordingSink sink;
    program.sale().set_text("APPLES");
    program.facade().sale_refresh(&sink);
    EXPECT_EQ(program.sale().sale_active.load(), 1);
    program.sale().clear_text();
    program.facade().sale_refresh(&sink);
    EXPECT_EQ(program.sale().sale_active.load(), 0);
    program.sale().price_set = 1;
    program.facade().sale_refresh(&sink);
    EXPECT_EQ(program.sale().sale_active.load(), 1);
    set_message_box(nullptr);
}

}  // namespace
}  // namespace tarvelo::app
