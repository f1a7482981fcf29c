#pragma once
// Texts from tarvelo.ini and from the ECR are bytes. For display they are read as UTF-8 when
// they are valid UTF-8, else as Windows-1252, so that the default currency byte 0x80 shows as
// the euro sign.

#include <QString>
#include <string>

namespace tarvelo::ui {

QString decode_text(const std::string& bytes);

}  // namespace tarvelo::ui
