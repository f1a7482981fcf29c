#include "ui/templates.h"

namespace tarvelo::ui {
namespace {

constexpr auto L = ControlKind::label;
constexpr auto B = ControlKind::button;

// The value blocks of the bar and of the second window; their places are recomputed by the
// layout, only the heights of the brand, checksum, approval and legal labels are kept.
std::vector<ControlTemplate> bar_controls(bool with_keys, bool with_text) {
    std::vector<ControlTemplate> c;
    if (with_keys) {
        c.push_back({IDC_ZERO_KEY, B, ">0<", 440, 5, 36, 35, Align::centre});
        c.push_back({IDC_TARE_KEY, B, ">T<", 478, 5, 36, 35, Align::centre});
    }
    c.insert(c.end(), {
                          {IDC_BRAND, L, "VEKO", 2, 6, 60, 11, Align::centre, true},
                          {IDC_CHECKSUM, L, "00000000", 2, 19, 60, 8, Align::centre, true},
                          {IDC_APPROVAL, L, "11111111", 2, 29, 60, 8, Align::centre, true},
                          {IDC_MAX, L, "Max.6/15kg", 64, 5, 50, 9, Align::left, true},
                          {IDC_MIN, L, "Min.40g", 64, 17, 50, 9, Align::left, true},
                          {IDC_ED, L, "e=d=2/5g", 64, 29, 50, 9, Align::left, true},
                          {IDC_TARE_FRAME, L, "", 116, 2, 70, 41, Align::centre},
                          {IDC_TARE_CAPTION, L, "TARE kg", 116, 2, 70, 12, Align::right},
                          {IDC_TARE, L, "0,000", 116, 14, 70, 29, Align::right},
                          {IDC_WEIGHT_FRAME, L, "", 188, 2, 80, 41, Align::centre},
                          {IDC_ZERO_MARK, L, ">0<", 188, 2, 80, 12, Align::left},
                          {IDC_NET_MARK, L, "NET", 188, 2, 80, 12, Align::centre},
                          {IDC_WEIGHT_UNIT, L, "kg", 188, 2, 80, 12, Align::right},
                          {IDC_WEIGHT, L, "0,000", 188, 14, 80, 29, Align::right},
                          {IDC_UPRICE_FRAME, L, "", 270, 2, 80, 41, Align::centre},
                          {IDC_UPRICE_CAPTION, L, "eur/kg", 270, 2, 80, 12, Align::right},
                          {IDC_UPRICE, L, "0,00", 270, 14, 80, 29, Align::right},
                          {IDC_TPRICE_FRAME, L, "", 352, 2, 86, 41, Align::centre},
                          {IDC_CURRENCY, L, "eur", 352, 2, 86, 12, Align::right},
                          {IDC_TPRICE, L, "0,00", 352, 14, 86, 29, Align::right},
                      });
    if (with_text) {
        c.push_back({IDC_TEXT_FRAME, L, "", 2, 2, 200, 10, Align::centre});
        c.push_back({IDC_TEXT, L, "", 2, 2, 200, 10, Align::centre});
    }
    return c;
}

}  // namespace

const DialogTemplate& template_102() {
    static const DialogTemplate t{102, 516, 45, kSansSerif8, bar_controls(true, false), true};
    return t;
}

const DialogTemplate& template_135() {
    static const DialogTemplate t{135, 516, 45, kSansSerif8, bar_controls(false, true), true};
    return t;
}

const DialogTemplate& template_139() {
    static const DialogTemplate t{
        139,
        195,
        200,
        kSystem10,
        {
            {IDC_VER_CHECKSUM_LABEL, L, "CHECKSUM", 5, 15, 52, 16},
            {IDC_VER_PELLUM_LABEL, L, "Pellum Ver.", 5, 50, 52, 16},
            {IDC_VER_DRAVIX_LABEL, L, "Dravix Ver.", 5, 85, 52, 16},
            {IDC_VER_MANUFACTURER_LABEL, L, "Manufacturer", 5, 120, 52, 16},
            {IDC_CHECKSUM, L, "00000000", 70, 10, 100, 25, Align::centre},
            {IDC_VER_PELLUM, L, "0", 70, 45, 100, 25, Align::centre},
            {IDC_VER_DRAVIX, L, "0", 70, 80, 100, 25, Align::centre},
            {IDC_VER_MANUFACTURER, L, "VENTARO", 70, 115, 100, 25, Align::centre},
            {IDC_CLOSE, B, "Close", 65, 150, 65, 25, Align::centre},
        }};
    return t;
}

const DialogTemplate& template_140() {
    static const DialogTemplate t{
        140,
        195,
        152,
        kSystem10,
        {
            {IDC_AD_LABEL, L, "AD Count", 5, 15, 52, 16},
            {IDC_IR_LABEL, L, "IR Count", 5, 50, 52, 16},
            {IDC_AD_COUNT, L, "0", 70, 10, 100, 25, Align::centre},
            {IDC_IR_COUNT, L, "0", 70, 45, 100, 25, Align::centre},
            {IDC_NEXT, B, "Start Calibrate", 25, 105, 65, 25, Align::centre},
            {IDC_CLOSE, B, "Close", 100, 105, 65, 25, Align::centre},
        }};
    return t;
}

namespace {
DialogTemplate step_template(int id, const char* text) {
    return {id,
            195,
            152,
            kSystem10,
            {
                {IDC_MESSAGE, L, text, 5, 14, 185, 31, Align::centre},
                {IDC_NEXT, B, "Next", 25, 105, 65, 25, Align::centre},
                {IDC_EXIT, B, "Exit", 100, 105, 65, 25, Align::centre},
            }};
}
}  // namespace

const DialogTemplate& template_141() {
    static const DialogTemplate t =
        step_template(141, "1. Please remove item from scale platform then press Next.");
    return t;
}

const DialogTemplate& template_142() {
    static const DialogTemplate t =
        step_template(142, "2. Please put full weight on scale platform then press Next.");
    return t;
}

const DialogTemplate& template_143() {
    static const DialogTemplate t{
        143,
        405,
        284,
        kSystem10,
        {
            {IDC_MESSAGE, L, "Scale Booting...", 0, 37, 405, 35, Align::centre},
            {IDC_EXIT, B, "Exit", 138, 195, 124, 39, Align::centre, false, false},
        }};
    return t;
}

const DialogTemplate& template_144() {
    static const DialogTemplate t{
        144,
        405,
        200,
        kSystem10,
        {{IDC_MESSAGE, L, "Scale Booting...", 0, 37, 405, 35, Align::centre}}};
    return t;
}

const DialogTemplate& template_145() {
    static const DialogTemplate t{145, 405, 284, kSystem10, {}};
    return t;
}

const DialogTemplate& template_147() {
    static const DialogTemplate t{147, 405, 200, kSystem10, {}};
    return t;
}

}  // namespace tarvelo::ui
