#include "config/settings.h"

#include <unistd.h>
#include <cstdint>

#include "libs/dravix.h"
#include "platform/c_number.h"
#include "platform/regular_file.h"

namespace tarvelo {
namespace {

// Reader sizes: a text keeps one byte less than this.
constexpr size_t kPortSize = 255;
constexpr size_t kLabelSize = 15;
constexpr size_t kSymbolSize = 7;
constexpr size_t kFontNameSize = 31;
constexpr size_t kFontColorSize = 31;
constexpr size_t kImageSize = 63;

WindowSettings load_window(const IniFile& ini, const char* section, bool main_window) {
    WindowSettings w;
    w.x = ini.get_int(section, "x", "0");
    w.y = ini.get_int(section, "y", "0");
    w.w = ini.get_int(section, "w", "0");
    w.h = ini.get_int(section, "h", "0");
    w.approval_fg = ini.get_int(section, "approval_fg", "0");
    w.scale_span_fg = ini.get_int(section, "scale_span_fg", "0");
    w.tare_fg = ini.get_int(section, "tare_fg", "0");
    w.weight_fg = ini.get_int(section, "weight_fg", "0");
    w.uprice_fg = ini.get_int(section, "uprice_fg", "0");
    w.tprice_fg = ini.get_int(section, "tprice_fg", "0");
    if (main_window) {
        w.zero_btn_fg = ini.get_int(section, "zero_btn_fg", "1");
        w.tare_btn_fg = ini.get_int(section, "tare_btn_fg", "1");
    } else {
        w.type = ini.get_int(section, "type", "0");
        w.name_fg = ini.get_int(section, "name_fg", "0");
    }
    w.font_name = ini.get(section, "font_name", "Arial", kFontNameSize);
    w.font_size = ini.get_int(section, "font_size", "260");
    w.font_color = ini.get(section, "font_color", "0,0,0", kFontColorSize);
    parse_font_color(w.font_color, w.color_r, w.color_g, w.color_b);
    w.bg_image = ini.get(section, "bg_image", "bg.bmp", kImageSize);
    w.hide_fg = ini.get_int(section, "hide_fg", "0");
    return w;
}

}  // namespace

uint32_t WindowSettings::colorref() const {
    return (static_cast<uint32_t>(color_r) & 0xFF) |
           ((static_cast<uint32_t>(color_g) & 0xFF) << 8) |
           ((static_cast<uint32_t>(color_b) & 0xFF) << 16);
}

void parse_font_color(const std::string& text, int32_t& r, int32_t& g, int32_t& b) {
    int32_t* out[] = {&r, &g, &b};
    r = g = b = 0;
    size_t field = 0, pos = 0;
    while (pos < text.size() && field < 3) {
        size_t comma = text.find(',', pos);
        size_t end = comma == std::string::npos ? text.size() : comma;
        if (end > pos) *out[field++] = c_atoi(std::string_view(text).substr(pos, end - pos));
        pos = end + 1;
    }
}

std::vector<std::string> default_settings_paths() {
    return {"./tarvelo.ini", "/etc/tarvelo.ini"};
}

std::optional<std::string> find_settings_file(const std::vector<std::string>& candidates,
                                              std::vector<std::string>* passed_over) {
    // Only a regular file counts as found: a directory, a FIFO or a link to a device is passed
    // over for the next place.
    for (const std::string& path : candidates) {
        Result<int> fd = open_regular_file(path);
        if (!fd) {
            if (passed_over) passed_over->push_back(fd.error());
            continue;
        }
        ::close(*fd);
        return path;
    }
    return std::nullopt;
}

Configuration load_settings(const IniFile& ini) {
    Configuration c;
    c.main1 = load_window(ini, "windowMain1", true);
    c.main2 = load_window(ini, "windowMain2", false);
    c.pop1 = {ini.get_int("windowPop1", "x", "0"), ini.get_int("windowPop1", "y", "0")};
    c.pop2 = {ini.get_int("windowPop2", "x", "0"), ini.get_int("windowPop2", "y", "0")};

    Settings& s = c.scale;
    s.serial_port = ini.get("scale", "serial_port", "COM4", kPortSize);
    s.pipe_name = ini.get("scale", "pipe_name", "kv2170", kPortSize);
    int32_t lines = ini.get_int("scale", "log_fg", "100");
    s.log_fg = lines >= 0 ? lines : (lines == INT32_MIN ? INT32_MAX : -lines);
    s.verify = static_cast<uint8_t>(ini.get_int("scale", "verify", "0") & 0xFF);
    s.max_label = ini.get("scale", "max_label", "Max.6/15kg", kLabelSize);
    s.min_label = ini.get("scale", "min_label", "Min.40g", kLabelSize);
    s.ed_label = ini.get("scale", "ed_label", "e=d=2/5g", kLabelSize);
    s.tare_label = ini.get("scale", "tare_label", "TARE", kLabelSize);
    s.zero_symbol = ini.get("scale", "zero_symbol", ">0<", kSymbolSize);
    s.net_symbol = ini.get("scale", "net_symbol", "NET", kSymbolSize);
    s.weight_symbol = ini.get("scale", "weight_symbol", "kg", kSymbolSize);
    s.quantity_symbol = ini.get("scale", "quantity_symbol", "pcs", kSymbolSize);
    s.currency_symbol = ini.get("scale", "currency_symbol", "\x80", kSymbolSize);
    s.ad_type = ini.get_int("scale", "ad_type", "0");
    s.unit_price_caption_weight = s.currency_symbol + "/" + s.weight_symbol;
    s.unit_price_caption_quantity = s.currency_symbol + "/" + s.quantity_symbol;

    s.min_wgt_fg = static_cast<uint8_t>(ini.get_int("spec", "min_wgt_fg", "1") & 0xFF);
    s.auto_clear_fg = static_cast<uint8_t>(ini.get_int("spec", "auto_clear_fg", "1") & 0xFF);
    s.set_force_fg = ini.get_int("spec", "set_force_fg", "0");

    s.approval_text = "TC4702";
    char manufacturer[32] = {};
    dravix_get_manufacturer(manufacturer);
    manufacturer[31] = '\0';
    s.manufacturer = manufacturer;
    return c;
}

}  // namespace tarvelo
