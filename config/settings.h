#pragma once
// Every setting of the scale program, read once from tarvelo.ini before any worker thread
// starts and read-only afterwards. Texts keep the byte limits of the fixed buffers they stand
// for; numbers are read like atoi; nothing is range-checked here, each user applies its own.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "config/ini_reader.h"

namespace tarvelo {

inline constexpr const char* kMissingSettingsText = "Could not find tarvelo.ini";

// One display window's settings: the main window (section windowMain1) or the second window
// (section windowMain2).
struct WindowSettings {
    int32_t type = 0;
    int32_t x = 0, y = 0, w = 0, h = 0;
    int32_t name_fg = 0;
    int32_t approval_fg = 0;
    int32_t scale_span_fg = 0;
    int32_t tare_fg = 0;
    int32_t weight_fg = 0;
    int32_t uprice_fg = 0;
    int32_t tprice_fg = 0;
    int32_t zero_btn_fg = 0;
    int32_t tare_btn_fg = 0;
    std::string bg_image;  // at most 62 bytes
    int32_t hide_fg = 0;
    std::string font_name;   // at most 30 bytes
    int32_t font_size = 0;   // tenths of a point
    std::string font_color;  // raw text, at most 30 bytes
    int32_t color_r = 0, color_g = 0, color_b = 0;

    // The colour as a Windows COLORREF: the low byte of each component, red in bits 0..7.
    uint32_t colorref() const;
};

struct PopupPosition {
    int32_t x = 0, y = 0;
};

struct Settings {
    std::string serial_port;  // at most 254 bytes
    std::string pipe_name;    // at most 254 bytes
    int32_t log_fg = 0;       // lines per log file, never negative; 0 = log off
    uint8_t verify = 0;
    std::string approval_text;                               // always "TC4702"
    std::string manufacturer;                                // from the scale library
    std::string max_label, min_label, ed_label, tare_label;  // 14 bytes
    std::string zero_symbol, net_symbol, weight_symbol, quantity_symbol,
        currency_symbol;                      // 6 bytes
    std::string unit_price_caption_weight;    // currency "/" weight symbol
    std::string unit_price_caption_quantity;  // currency "/" quantity symbol
    int32_t ad_type = 0;
    uint8_t min_wgt_fg = 0;
    uint8_t auto_clear_fg = 0;
    int32_t set_force_fg = 0;
};

struct Configuration {
    WindowSettings main1;  // windowMain1: the display bar
    WindowSettings main2;  // windowMain2: the second (customer) window
    PopupPosition pop1, pop2;
    Settings scale;
};

// Splits colour text at commas as strtok does (empty fields are skipped, not counted) and
// reads the first three fields like atoi; missing fields give 0.
void parse_font_color(const std::string& text, int32_t& r, int32_t& g, int32_t& b);

// Where tarvelo.ini is looked for, in order: the current directory, then the system-wide file.
std::vector<std::string> default_settings_paths();
// The first of `candidates` that is a regular file (or a link to one) and can be read; into
// *passed_over, why each one before it was not ("PATH: is a directory, not a regular file").
std::optional<std::string> find_settings_file(const std::vector<std::string>& candidates,
                                              std::vector<std::string>* passed_over = nullptr);

// Every key with its default and limit, and the texts that are built rather than read.
Configuration load_settings(const IniFile& ini);

}  // namespace tarvelo
