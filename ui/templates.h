#pragma once
// The dialog templates of the scale's windows: control ids, kinds, texts and places.

#include "ui/template_dialog.h"

namespace tarvelo::ui {

// Control ids shared by the display bar and the second window.
enum ControlId {
    IDC_BRAND = 1000,
    IDC_CHECKSUM = 1001,
    IDC_MAX = 1002,
    IDC_MIN = 1003,
    IDC_ED = 1004,
    IDC_ZERO_KEY = 1005,
    IDC_TARE_KEY = 1006,
    IDC_VER_CHECKSUM_LABEL = 1008,
    IDC_WEIGHT_FRAME = 1009,
    IDC_ZERO_MARK = 1011,
    IDC_NET_MARK = 1012,
    IDC_UPRICE_FRAME = 1015,
    IDC_TPRICE_FRAME = 1016,
    IDC_VER_PELLUM_LABEL = 1028,
    IDC_VER_DRAVIX_LABEL = 1029,
    IDC_VER_PELLUM = 1031,
    IDC_VER_DRAVIX = 1032,
    IDC_CLOSE = 1033,
    IDC_AD_LABEL = 1034,
    IDC_IR_LABEL = 1035,
    IDC_AD_COUNT = 1036,
    IDC_IR_COUNT = 1037,
    IDC_NEXT = 1039,
    IDC_EXIT = 1040,
    IDC_MESSAGE = 1041,
    IDC_VER_MANUFACTURER_LABEL = 1042,
    IDC_VER_MANUFACTURER = 1043,
    IDC_APPROVAL = 1044,
    IDC_TARE_FRAME = 1045,
    IDC_WEIGHT = 1046,
    IDC_WEIGHT_UNIT = 1047,
    IDC_TARE_CAPTION = 1048,
    IDC_UPRICE_CAPTION = 1049,
    IDC_UPRICE = 1050,
    IDC_CURRENCY = 1051,
    IDC_TPRICE = 1052,
    IDC_TARE = 1054,
    IDC_TEXT_FRAME = 1055,
    IDC_TEXT = 1056,
};

const DialogTemplate& template_102();  // the display bar
const DialogTemplate& template_135();  // the second window
const DialogTemplate& template_139();  // version
const DialogTemplate& template_140();  // calibration start
const DialogTemplate& template_141();  // calibration step 1
const DialogTemplate& template_142();  // calibration step 2
const DialogTemplate& template_143();  // boot, display 0
const DialogTemplate& template_144();  // boot, display 1
const DialogTemplate& template_145();  // flash, display 0
const DialogTemplate& template_147();  // flash, display 1

}  // namespace tarvelo::ui
