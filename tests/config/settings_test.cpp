#include "config/settings.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <functional>

#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

Configuration load(const std::string& text) {
    return load_settings(IniFile::parse(text));
}

TEST(Settings, EmptyFileGivesEveryDefault) {
    Configuration c = load("");
    const Settings& s = c.scale;
    EXPECT_EQ(s.serial_port, "COM4");
    EXPECT_EQ(s.pipe_name, "kv2170");
    EXPECT_EQ(s.log_fg, 100);
    EXPECT_EQ(s.verify, 0);
    EXPECT_EQ(s.max_label, "Max.6/15kg");
    EXPECT_EQ(s.min_label, "Min.40g");
    EXPECT_EQ(s.ed_label, "e=d=2/5g");
    EXPECT_EQ(s.tare_label, "TARE");
    EXPECT_EQ(s.zero_symbol, ">0<");
    EXPECT_EQ(s.net_symbol, "NET");
    EXPECT_EQ(s.weight_symbol, "kg");
    EXPECT_EQ(s.quantity_symbol, "pcs");
    EXPECT_EQ(s.currency_symbol, "\x80");
    EXPECT_EQ(s.unit_price_caption_weight, "\x80/kg");
    EXPECT_EQ(s.unit_price_caption_quantity, "\x80/pcs");
    EXPECT_EQ(s.ad_type, 0);
    EXPECT_EQ(s.min_wgt_fg, 1);
    EXPECT_EQ(s.auto_clear_fg, 1);
    EXPECT_EQ(s.set_force_fg, 0);
    EXPECT_EQ(s.approval_text, "TC4702");
    EXPECT_FALSE(s.manufacturer.empty());
    EXPECT_LE(s.manufacturer.size(), 31u);

    // An empty windowMain1: placed at 0,0 with size 0x0, every block hidden, buttons 1 %.
    const WindowSettings& m = c.main1;
    EXPECT_EQ(m.x + m.y + m.w + m.h, 0);
    EXPECT_EQ(m.approval_fg + m.scale_span_fg + m.tare_fg + m.weight_fg + m.uprice_fg + m.tprice_fg,
              0);
    EXPECT_EQ(m.zero_btn_fg, 1);
    EXPECT_EQ(m.tare_btn_fg, 1);
    EXPECT_EQ(m.font_name, "Arial");
    EXPECT_EQ(m.font_size, 260);
    EXPECT_EQ(m.bg_image, "bg.bmp");
    EXPECT_EQ(m.font_color, "0,0,0");
    EXPECT_EQ(m.hide_fg, 0);
    EXPECT_EQ(c.main2.font_color, "0,0,0");
    EXPECT_EQ(c.main2.hide_fg, 0);
    EXPECT_EQ(c.main2.zero_btn_fg, 0);  // the second window has no buttons
    EXPECT_EQ(c.main2.type, 0);
}

TEST(Settings, ReadsEveryWindowAndPopupSection) {
    Configuration c = load(
        "[windowMain1]\nx=10\ny=20\nw=800\nh=60\napproval_fg=10\nscale_span_fg=10\ntare_fg=15\n"
        "weight_fg=20\nuprice_fg=15\ntprice_fg=20\nzero_btn_fg=5\ntare_btn_fg=5\nfont_name="
        "Courier\n"
        "font_size=180\nfont_color=1,2,3\nbg_image=/tmp/bar.bmp\nhide_fg=1\ntype=9\nname_fg=9\n"
        "[windowMain2]\ntype=1\nname_fg=30\nzero_btn_fg=7\n"
        "[windowPop1]\nx=5\ny=6\n[windowPop2]\nx=-7\ny=8\n");
    EXPECT_EQ(c.main1.x, 10);
    EXPECT_EQ(c.main1.h, 60);
    EXPECT_EQ(c.main1.tprice_fg, 20);
    EXPECT_EQ(c.main1.zero_btn_fg, 5);
    EXPECT_EQ(c.main1.font_name, "Courier");
    EXPECT_EQ(c.main1.font_size, 180);
    EXPECT_EQ(c.main1.colorref(), 0x030201u);
    EXPECT_EQ(c.main1.bg_image, "/tmp/bar.bmp");
    EXPECT_EQ(c.main1.hide_fg, 1);
    EXPECT_EQ(c.main1.type, 0);  // not read for the main window
    EXPECT_EQ(c.main2.type, 1);
    EXPECT_EQ(c.main2.name_fg, 30);
    EXPECT_EQ(c.main2.zero_btn_fg, 0);
    EXPECT_EQ(c.pop1.x, 5);
    EXPECT_EQ(c.pop2.x, -7);
    EXPECT_EQ(c.pop2.y, 8);
}

TEST(Settings, FontColourFollowsStrtokAndKeepsTheLowByte) {
    struct Case {
        const char* text;
        int32_t r, g, b;
        uint32_t colorref;
    } cases[] = {
        {"255,,0", 255, 0, 0, 0x0000FF},  // the empty field is skipped: 0 lands in green
        {"10,20", 10, 20, 0, 0x00140A},
        {"1,2,3,4", 1, 2, 3, 0x030201},
        {"300,0,0", 300, 0, 0, 0x00002C},  // 300 contributes its low byte, 44
        {",,,7", 7, 0, 0, 0x000007},
        {"", 0, 0, 0, 0},
        {"red", 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        Configuration cfg = load(std::string("[windowMain2]\nfont_color=") + c.text + "\n");
        EXPECT_EQ(cfg.main2.color_r, c.r) << c.text;
        EXPECT_EQ(cfg.main2.color_g, c.g) << c.text;
        EXPECT_EQ(cfg.main2.color_b, c.b) << c.text;
        EXPECT_EQ(cfg.main2.colorref(), c.colorref) << c.text;
    }
}

TEST(Settings, NumbersAndFlagsKeepWhatTheirStorageHolds) {
    struct Case {
        const char* ini;
        int32_t log_fg;
        int verify, min_wgt, auto_clear;
    } cases[] = {
        {"[scale]\nlog_fg=-20\n", 20, 0, 1, 1},
        {"[scale]\nlog_fg=lots\n", 0, 0, 1, 1},   // not a number: log off
        {"[scale]\nverify=256\n", 100, 0, 1, 1},  // the low byte of 256 is 0: verification off
        {"[scale]\nverify=257\n", 100, 1, 1, 1},
        {"[spec]\nmin_wgt_fg=512\nauto_clear_fg=3x\n", 100, 0, 0, 3},
    };
    for (const Case& c : cases) {
        Configuration cfg = load(c.ini);
        EXPECT_EQ(cfg.scale.log_fg, c.log_fg) << c.ini;
        EXPECT_EQ(cfg.scale.verify, c.verify) << c.ini;
        EXPECT_EQ(cfg.scale.min_wgt_fg, c.min_wgt) << c.ini;
        EXPECT_EQ(cfg.scale.auto_clear_fg, c.auto_clear) << c.ini;
    }
}

TEST(Settings, TextsAreCutToTheirBuffers) {
    struct Case {
        const char* section;
        const char* key;
        std::string (*value)(const Configuration&);
        size_t kept;
    } cases[] = {
        {"scale", "serial_port", [](const Configuration& c) { return c.scale.serial_port; }, 254},
        {"scale", "pipe_name", [](const Configuration& c) { return c.scale.pipe_name; }, 254},
        {"scale", "max_label", [](const Configuration& c) { return c.scale.max_label; }, 14},
        {"scale", "min_label", [](const Configuration& c) { return c.scale.min_label; }, 14},
        {"scale", "ed_label", [](const Configuration& c) { return c.scale.ed_label; }, 14},
        {"scale", "tare_label", [](const Configuration& c) { return c.scale.tare_label; }, 14},
        {"scale", "zero_symbol", [](const Configuration& c) { return c.scale.zero_symbol; }, 6},
        {"scale", "net_symbol", [](const Configuration& c) { return c.scale.net_symbol; }, 6},
        {"scale", "weight_symbol", [](const Configuration& c) { return c.scale.weight_symbol; }, 6},
        {"scale", "quantity_symbol", [](const Configuration& c) { return c.scale.quantity_symbol; },
         6},
        {"scale", "currency_symbol", [](const Configuration& c) { return c.scale.currency_symbol; },
         6},
        {"windowMain1", "font_name", [](const Configuration& c) { return c.main1.font_name; }, 30},
        {"windowMain1", "font_color", [](const Configuration& c) { return c.main1.font_color; },
         30},
        {"windowMain2", "font_color", [](const Configuration& c) { return c.main2.font_color; },
         30},
        {"windowMain1", "bg_image", [](const Configuration& c) { return c.main1.bg_image; }, 62},
    };
    for (const Case& c : cases) {
        std::string ini = std::string("[") + c.section + "]\n" + c.key + "=";
        EXPECT_EQ(c.value(load(ini + std::string(c.kept, '7') + "\n")), std::string(c.kept, '7'))
            << c.key;
        EXPECT_EQ(c.value(load(ini + std::string(c.kept + 1, '7') + "\n")),
                  std::string(c.kept, '7'))
            << c.key;
    }
    // Both captions fit their 16 bytes whatever the symbols.
    Configuration c = load(
        "[scale]\nweight_symbol=abcdefg\ncurrency_symbol=EURO12345\nquantity_symbol=pieces!\n");
    EXPECT_EQ(c.scale.unit_price_caption_weight, "EURO12/abcdef");
    EXPECT_EQ(c.scale.unit_price_caption_quantity, "EURO12/pieces");
}

TEST(SettingsFile, CurrentDirectoryWinsOverTheSystemFile) {
    test::TempDir dir;
    std::string local = dir.file("local.ini"), system = dir.file("system.ini");
    EXPECT_FALSE(find_settings_file({local, system}).has_value());
    test::write_file(system, "[scale]\n");
    EXPECT_EQ(find_settings_file({local, system}), system);
    test::write_file(local, "[scale]\n");
    EXPECT_EQ(find_settings_file({local, system}), local);
    EXPECT_EQ(default_settings_paths(),
              (std::vector<std::string>{"./tarvelo.ini", "/etc/tarvelo.ini"}));
}

// A first place that holds no regular file is passed over, never read: a directory would read
// as empty, a FIFO would hang the start, a link to /dev/zero would never end.
TEST(SettingsFile, OnlyARegularFileCountsAsFound) {
    test::TempDir dir;
    const std::string system = dir.file("system.ini");
    test::write_file(system, "[scale]\npipe_name=found\n");
    const std::string linked = dir.file("linked.ini");
    ASSERT_EQ(symlink(system.c_str(), linked.c_str()), 0);
    EXPECT_EQ(find_settings_file({linked, system}), linked);  // a link to a regular file counts

    struct Case {
        const char* name;
        std::function<int(const std::string&)> make;
    } cases[] = {
        {"directory", [](const std::string& p) { return mkdir(p.c_str(), 0700); }},
        {"fifo", [](const std::string& p) { return mkfifo(p.c_str(), 0600); }},
        {"device", [](const std::string& p) { return symlink("/dev/zero", p.c_str()); }},
        {"dangling",
         [](const std::string& p) { return symlink("/nonexistent/tarvelo.ini", p.c_str()); }},
    };
    for (const Case& c : cases) {
        std::string local = dir.file(c.name);
        ASSERT_EQ(c.make(local), 0) << c.name;
        EXPECT_EQ(find_settings_file({local, system}), system) << c.name;
        EXPECT_EQ(find_settings_file({local}), std::nullopt) << c.name;
        EXPECT_FALSE(static_cast<bool>(IniFile::load(local))) << c.name;
    }
}

// A huge settings file (a sparse one costs nothing to make) is refused, not read into memory.
TEST(SettingsFile, AHugeFileIsRefusedUnread) {
    test::TempDir dir;
    const std::string huge = dir.file("huge.ini");
    test::write_file(huge, "[scale]\npipe_name=huge\n");
    ASSERT_EQ(truncate(huge.c_str(), 3LL << 30), 0);
    auto loaded = IniFile::load(huge);
    ASSERT_FALSE(loaded);
    EXPECT_NE(loaded.error().find("larger than"), std::string::npos) << loaded.error();
    ASSERT_EQ(truncate(huge.c_str(), IniFile::kMaxBytes), 0);
    EXPECT_TRUE(IniFile::load(huge));  // exactly the limit is read
}

}  // namespace
}  // namespace tarvelo
