#include "ecr/sale_state.h"

#include <gtest/gtest.h>

#include "platform/window_messages.h"
#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

TEST(Prices, RecordTotalRoundsHalfUpAndIsFormedIn64Bits) {
    struct Case {
        int32_t unit_price, weight, total;
    } cases[] = {
        {150, 333, 50},  // 49950: hundreds place 9
        {150, 330, 50},  // 49500: hundreds place 5
        {150, 329, 49},  // 49350
        {1, 1499, 1},
        {1, 1500, 2},
        {150, -333, -49},  // negative products truncate towards zero
        {150, -330, -49},
        {0, 5000, 0},
        {299, 1234, 369},
        {999999, 6000, 5999994},  // 5 999 994 000 does not fit 32 bits
        {999999, 2148, 2147998},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(compute_total_price(c.unit_price, c.weight), c.total)
            << c.unit_price << " x " << c.weight;
        if (c.weight >= 0) {
            EXPECT_EQ(display_total_price(c.unit_price, c.weight, 0), c.total);
        }
    }
    EXPECT_EQ(display_total_price(150, -333, 0), 0);
    EXPECT_EQ(display_total_price(150, 333, 1), 0);
}

TEST(Prices, FormatWithDecimalComma) {
    EXPECT_EQ(format_price(150), "   1,50");
    EXPECT_EQ(format_price(0), "   0,00");
    EXPECT_EQ(format_price(123456), "1234,56");
    EXPECT_EQ(format_price(-5), "  -0,05");
    EXPECT_EQ(format_price(99999800001LL), "999998000,01");
}

TEST(SaleText, KeepsThirteenBytesWithoutTrailingBlanks) {
    struct Case {
        std::string field, text;
    } cases[] = {
        {"APPLES       ", "APPLES"},
        {"  lead  \t\r\n ", "  lead"},
        {"ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLM"},
        {std::string("AB\0CD", 5), "AB"},
        {"             ", ""},
    };
    SaleState sale;
    for (const Case& c : cases) {
        sale.set_text(c.field);
        EXPECT_EQ(sale.text(), c.text) << c.field;
    }
}

class SaleCycle : public ::testing::Test {
  protected:
    // One display cycle with the platform showing weight/tare/zero, settled.
    void cycle(int32_t weight, int32_t tare = 0, bool auto_clear = true, int32_t stable = 1) {
        weighing_snapshot fresh;
        fresh.weight = weight;
        fresh.tare = tare;
        fresh.zero = weight + tare == 0 ? 1 : 0;
        fresh.stable = stable;
        run_sale_cycle(sale_, fresh, auto_clear, &sink_, [this] { ++refreshes_; });
        saved_ = fresh;
    }
    // Record 02 went out with this weight.
    void sold(int32_t weight) {
        sale_.sent_weight = weight;
        sale_.weight_sent = 1;
    }
    void price(int32_t unit_price, const std::string& text) {
        sale_.unit_price = unit_price;
        sale_.set_text(text);
        sale_.price_set = 1;
        sale_.price_accept = 0;
        sale_.sale_active = 1;
    }
    SaleState sale_;
    weighing_snapshot saved_;
    test::RecordingSink sink_;
    int refreshes_ = 0;
};

TEST_F(SaleCycle, GoodsOnAndOffClearTheSaleWithAutoClear) {
    price(150, "APPLES");
    cycle(0);
    EXPECT_EQ(sale_.sale_armed.load(), 0);
    cycle(500);
    EXPECT_EQ(sale_.sale_armed.load(), 1);
    sold(500);
    cycle(500);
    EXPECT_EQ(sale_.weight_sent.load(), 1);  // no change of weight
    cycle(520);
    EXPECT_EQ(sale_.weight_sent.load(), 0);
    // The ECR read 600 g before the display saw the weight change: the display's "change" to
    // 600 must not open a second reading of the same weighing.
    sold(600);
    cycle(600);
    EXPECT_EQ(sale_.weight_sent.load(), 1);
    cycle(610);
    EXPECT_EQ(sale_.weight_sent.load(), 0);
    cycle(0);
    EXPECT_EQ(sale_.sale_armed.load(), 0);
    EXPECT_EQ(sale_.price_accept.load(), 1);
    EXPECT_EQ(sale_.unit_price.load(), 0);
    EXPECT_EQ(sale_.price_set.load(), 0);
    EXPECT_EQ(sale_.text(), "");
    EXPECT_EQ(refreshes_, 1);
    auto posted = sink_.messages();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].id, WM_SHOW_TEXT);
    EXPECT_EQ(posted[0].text, "");
}

// Goods already sold are not sold again because of a reading that does not stand for a new
// weighing: the all-zero, unstable status of a damaged frame, the platform swinging, a board
// that is not heard from. The next settled weight that differs opens the next reading.
TEST_F(SaleCycle, OnlyASettledNewWeightReopensTheWeighing) {
    price(150, "APPLES");
    cycle(2500);
    sold(2500);
    cycle(0, 0, true, 0);  // an over-long frame: all zero, not stable
    cycle(2500);
    EXPECT_EQ(sale_.weight_sent.load(), 1);
    cycle(1800, 0, true, 0);  // swinging
    cycle(2500);
    EXPECT_EQ(sale_.weight_sent.load(), 1);
    weighing_snapshot lost;
    lost.weight = 3000;
    lost.stable = 1;
    lost.link_lost = 1;
    run_sale_cycle(sale_, lost, true, &sink_, [] {});
    EXPECT_EQ(sale_.weight_sent.load(), 1);
    cycle(2600);
    EXPECT_EQ(sale_.weight_sent.load(), 0);
}

TEST_F(SaleCycle, WithoutAutoClearOnlyPriceEntryReopens) {
    price(150, "APPLES");
    cycle(500, 0, false);
    cycle(0, 0, false);
    EXPECT_EQ(sale_.price_accept.load(), 1);
    EXPECT_EQ(sale_.unit_price.load(), 150);
    EXPECT_EQ(sale_.text(), "APPLES");
    EXPECT_EQ(refreshes_, 0);
    EXPECT_TRUE(sink_.messages().empty());
}

TEST_F(SaleCycle, LightGoodsNeverArm) {
    struct Case {
        int32_t weight, tare;
        bool arms;
    } cases[] = {{10, 40, false}, {11, 31, false}, {11, 32, true},
                 {20, 22, false}, {20, 23, true},  {43, 0, true}};
    for (const Case& c : cases) {
        price(150, "");
        sale_.sale_armed = 0;
        cycle(c.weight, c.tare);
        EXPECT_EQ(sale_.sale_armed.load() == 1, c.arms) << c.weight << "+" << c.tare;
    }
    price(150, "X");
    sale_.sale_armed = 0;
    cycle(10);
    cycle(0);
    EXPECT_EQ(sale_.price_accept.load(), 0);  // removing 10 g re-opens nothing
    EXPECT_EQ(sale_.unit_price.load(), 150);
}

TEST_F(SaleCycle, NoSaleNoArming) {
    cycle(500);
    EXPECT_EQ(sale_.sale_armed.load(), 0);
}

TEST(QuantityMode, TotalIsQuantityTimesUnitPrice) {
    SaleState sale;
    test::RecordingSink sink;
    sale.quantity = 3;
    sale.quantity_unit_price = 250;
    refresh_quantity_display(sale, &sink);
    EXPECT_EQ(sale.quantity_total_price.load(), 750);
    auto posted = sink.messages();
    ASSERT_EQ(posted.size(), 3u);
    EXPECT_EQ(posted[0].id, WM_SHOW_WEIGHT);
    EXPECT_EQ(posted[0].text, "3");
    EXPECT_EQ(posted[1].id, WM_SHOW_UNIT_PRICE);
    EXPECT_EQ(posted[1].text, "   2,50");
    EXPECT_EQ(posted[2].id, WM_SHOW_TOTAL_PRICE);
    EXPECT_EQ(posted[2].text, "   7,50");

    sale.quantity = 9999;
    sale.quantity_unit_price = 999999;
    refresh_quantity_display(sale, nullptr);
    EXPECT_EQ(sale.quantity_total_price.load(), 9998990001LL);
}

}  // namespace
}  // namespace tarvelo
