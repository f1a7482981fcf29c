#include "ecr/ecr_frames.h"

#include <cstdio>

namespace tarvelo::ecr {

int32_t field_value(int32_t value, int width) {
    const int32_t places = width == 5 ? 100000 : 1000000;
    // The minus sign takes one of the places: a negative remainder keeps width - 1 digits, so
    // -499850 goes out as -99850 and the record keeps its length instead of growing a byte
    // that would shift every later field for the ECR.
    return value < 0 ? value % (places / 10) : value % places;
}

std::string encode_scale_data(const char* record, int32_t first, int32_t unit_price,
                              int32_t total_price) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%c%c%c%c%c%c%05d%c%06d%c%06d%c", STX, record[0], record[1], ESC,
                  '3', ESC, field_value(first, 5), ESC, field_value(unit_price, 6), ESC,
                  field_value(total_price, 6), ETX);
    return buf;
}

std::string encode_tare(int32_t tare) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%c%c%c%c%c%c%05d%c", STX, '2', '2', ESC, '3', ESC,
                  field_value(tare, 5), ETX);
    return buf;
}

std::string encode_status(char s1, char s0) {
    return {char(STX), '0', '9', char(ESC), s1, s0, char(ETX)};
}

std::string encode_cs_kw_request(uint8_t random_number) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%c%c%c%c%c%02x%c", STX, '1', '1', ESC, '2', random_number, ETX);
    return buf;
}

std::string encode_cs_kw_result(bool valid) {
    return {char(STX), '1', '1', char(ESC), valid ? '1' : '0', char(ETX)};
}

}  // namespace tarvelo::ecr
