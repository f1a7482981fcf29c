#include "app/board_listening.h"

#include <cstdio>
#include <cstdlib>

#include "scale/letter_board.h"
#include "scale/letter_board_codec.h"
#include "scale/xon_board.h"
#include "scale/xon_board_codec.h"

namespace tarvelo::app {
namespace {

// Enough frames to be sure of the board type and its weight; a board streams several a second.
constexpr int kFramesEnough = 3;

std::string thousandths(int32_t value, const std::string& unit) {
    char text[32];
    std::snprintf(text, sizeof text, "%s%d.%03d", value < 0 ? "-" : "", std::abs(value / 1000),
                  std::abs(value % 1000));
    return text + (unit.empty() ? "" : " " + unit);
}

std::string weighing_text(int32_t weight, int32_t tare, bool stable, bool over, bool under,
                          const std::string& unit) {
    std::string text = over    ? "overload"
                       : under ? "underload"
                               : "weight " + thousandths(weight, unit);
    return text + ", tare " + thousandths(tare, unit) + (stable ? ", stable" : ", not stable");
}

}  // namespace

const BoardType& xon_board_type() {
    static const BoardType type{0, "xon/xoff board", XonBoard::line_settings(), xo::DC1, xo::DC2};
    return type;
}

const BoardType& letter_board_type() {
    static const BoardType type{1, "letter-command board", LetterBoard::line_settings(), lcmd::DC1,
                                lcmd::DC3};
    return type;
}

const BoardType& other_board_type(const BoardType& type) {
    return type.ad_type == 0 ? letter_board_type() : xon_board_type();
}

Heard listen_to_board(SerialLine& line, int ms, const std::string& weight_unit, Clock& clock) {
    Heard heard;
    xo::FrameReader xon;
    lcmd::FrameReader letter;
    const int64_t end = clock.now_ms() + ms;
    while (clock.now_ms() < end && heard.frames[0] < kFramesEnough &&
           heard.frames[1] < kFramesEnough) {
        uint8_t byte = 0;
        ReadStatus status = line.read_byte(byte);
        if (status == ReadStatus::gone) break;
        if (status != ReadStatus::byte) {
            clock.sleep_ms(10);
            continue;
        }
        ++heard.bytes;
        if (auto payload = xon.feed(byte); payload && !payload->empty()) {
            auto kind = xo::classify_payload(payload->data(), payload->size()).kind;
            auto block = kind == xo::PayloadKind::weight
                             ? xo::parse_weight_frame(payload->data(), payload->size())
                             : std::nullopt;
            if (block) {
                const xo::StatusBlock& b = *block;
                ++heard.frames[0];
                heard.last[0] = weighing_text(b[xo::weight], b[xo::tare], b[xo::stable],
                                              b[xo::overload], b[xo::underload], weight_unit);
            }
        }
        if (auto frame = letter.feed(byte); frame && frame->result == 27) {
            const int kind = lcmd::frame27_kind(frame->payload.data());
            if (kind < 0) continue;
            const lcmd::lcmd_status s = lcmd::decode_frame27(frame->payload.data());
            ++heard.frames[1];
            heard.last[1] = kind == 1 ? "count frame: AD count " + std::to_string(s.ad_count) +
                                            ", internal count " + std::to_string(s.internal_count)
                                      : weighing_text(s.weight, s.tare, s.stable, s.load_state == 2,
                                                      s.load_state == 1, weight_unit);
        }
    }
    return heard;
}

}  // namespace tarvelo::app
