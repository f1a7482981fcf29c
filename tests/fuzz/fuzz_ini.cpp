// Any tarvelo.ini: parsed and turned into settings; every text keeps its byte limit.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "config/settings.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto ini = tarvelo::IniFile::parse(std::string_view(reinterpret_cast<const char*>(data), size));
    tarvelo::Configuration c = tarvelo::load_settings(ini);
    if (c.scale.serial_port.size() > 254 || c.scale.weight_symbol.size() > 6 ||
        c.scale.max_label.size() > 14 || c.main1.bg_image.size() > 62 ||
        c.main2.font_name.size() > 30 || c.scale.log_fg < 0)
        __builtin_trap();
    return 0;
}
