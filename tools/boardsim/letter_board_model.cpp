// The letter-command board: 27-byte weighing or count frames under a check byte, 'R' and a
// result character for every command, canned data for the firmware, numbers and status word.

#include "scale/letter_board_codec.h"
#include "tools/boardsim/board_model.h"

namespace tarvelo::sim {
namespace {

class LetterBoardModel : public BoardModel {
  public:
    std::string_view name() const override { return "letter-command"; }
    uint8_t pause_byte() const override { return lcmd::DC3; }

  protected:
    bool check_good(std::string_view payload, uint8_t check) const override {
        return check ==
               lcmd::check_byte(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
    }
    std::vector<uint8_t> answer_bad_check(std::string_view) const override { return {}; }
    std::vector<uint8_t> answer_command(BoardState& state,
                                        std::string_view payload) const override {
        if (payload[0] != 'W') return {};
        switch (payload[1]) {
            case 'F':
                return encode_reply('R', '0', "123");
            case 'D':
                return encode_reply('R', '0', "0000123400005678000090001234");
            case 'C':
                return encode_reply('R', '0', "A5F00C4080" + std::string(30, '0'));
            default:
                return encode_reply('R', state.run(payload[1], payload.substr(2)), {});
        }
    }
    std::vector<uint8_t> encode_reply(char code, char result,
                                      std::string_view data) const override {
        return lcmd::encode_reply(code, result, data);
    }
    std::vector<uint8_t> encode_weight(const BoardState& s) const override {
        lcmd::WeightFrame f;
        f.kind = s.count_frames ? 1 : 0;
        f.first = s.count_frames ? s.ad : s.net();
        f.second = s.count_frames ? s.ir : s.tare;
        f.stable = s.stable;
        f.zero = s.at_zero();
        f.span_switch = s.span_open;
        f.load_state = static_cast<uint8_t>(s.load & 3);
        return lcmd::encode_weight_frame(f);
    }
    std::vector<uint8_t> encode_overlong() const override {
        return lcmd::encode_frame(std::string(300, 'x'));
    }
    // A damaged digit under the check byte of the undamaged frame: only the check byte tells.
    void corrupt(std::vector<uint8_t>& frame) const override {
        constexpr size_t kDigit = 4;  // the payload's fourth byte
        if (frame.size() > kDigit + 3) frame[kDigit] = frame[kDigit] == '9' ? '8' : '9';
    }
    // Frames of no known kind (tags 'x' and 'y'), whole and under a good check byte.
    void garble(std::vector<uint8_t>& frame) const override {
        constexpr size_t kFirstTag = 1, kSecondTag = 11;
        if (frame.size() < kSecondTag + 3) return;
        frame[kFirstTag] = 'x';
        frame[kSecondTag] = 'y';
        frame.back() = lcmd::check_byte(frame.data() + 1, frame.size() - 3);
    }
};

}  // namespace

std::unique_ptr<BoardModel> make_letter_board_model() {
    return std::make_unique<LetterBoardModel>();
}

}  // namespace tarvelo::sim
