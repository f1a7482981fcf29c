#pragma once
// Texts from tarvelo.ini and from the ECR are bytes. For display they are read as UTF-8 when
// they are valid UTF-8, else as Windows-1252, so that the default currency byte 0x80 shows as
// the euro sign. A UTF-8 text that a byte limit cut inside its last character shows without
// that character. Texts are decoded each on its own before they are joined: bytes of two
// encodings joined are neither.

#include <QString>
#include <string>

namespace tarvelo::ui {

QString decode_text(const std::string& bytes);

}  // namespace tarvelo::ui
