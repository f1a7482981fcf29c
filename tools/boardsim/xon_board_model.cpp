// The xon/xoff command board: weight frames of tagged lines without a check byte, a
// one-character result for every write command, 'R' for the integrity request.

#include "scale/xon_board_codec.h"
#include "tools/boardsim/board_model.h"

namespace tarvelo::sim {
namespace {

class XonBoardModel : public BoardModel {
  public:
    std::string_view name() const override { return "xon/xoff"; }
    uint8_t pause_byte() const override { return xo::DC2; }

  protected:
    bool check_good(std::string_view payload, uint8_t check) const override {
        auto p = reinterpret_cast<const uint8_t*>(payload.data());
        return check == xo::command_check_byte(p, payload.size(), payload.size() != 2);
    }
    // The board says which frame it could not read: its first byte, result '8'.
    std::vector<uint8_t> answer_bad_check(std::string_view payload) const override {
        if (payload.empty()) return {};
        return encode_reply(payload[0], '8', {});
    }
    std::vector<uint8_t> answer_command(BoardState& state,
                                        std::string_view payload) const override {
        std::string_view data = payload.substr(2);
        if (payload[0] == 'R') return encode_reply('R', state.run('C', data), {});  // 'R' 'C' text
        if (payload[0] == 'W') return encode_reply('W', state.run(payload[1], data), {});
        return {};
    }
    std::vector<uint8_t> encode_reply(char code, char result,
                                      std::string_view data) const override {
        return xo::encode_reply(code, result, data);
    }
    std::vector<uint8_t> encode_weight(const BoardState& s) const override {
        xo::StatusBlock block{};
        block[xo::weight] = s.net();
        block[xo::tare] = s.tare;
        block[xo::stable] = s.stable;
        block[xo::zero] = s.at_zero();
        block[xo::span_switch] = s.span_open;
        block[xo::overload] = s.load == 2;
        block[xo::underload] = s.load == 1;
        block[xo::internal_count] = s.ir;
        block[xo::ad_count] = s.ad;
        return xo::encode_weight_frame(block);
    }
    std::vector<uint8_t> encode_overlong() const override {
        return xo::encode_frame(std::string(300, 'x'));
    }
    // Without a check byte this board's damage shows only in a field's shape: line noise, then
    // a frame whose weight lost its point (" 02500" would read 200 g).
    void corrupt(std::vector<uint8_t>& frame) const override {
        lose_weight_point(frame);
        frame.insert(frame.begin(), {0x7f, 0x01, 'g', 'a', 'r', 'b'});
    }
    void garble(std::vector<uint8_t>& frame) const override { lose_weight_point(frame); }

  private:
    // STX '0' and the weight " 01.234": its point is the frame's sixth byte.
    static void lose_weight_point(std::vector<uint8_t>& frame) {
        constexpr size_t kPoint = 5;
        if (frame.size() > kPoint && frame[1] == '0' && frame[kPoint] == '.')
            frame.erase(frame.begin() + kPoint);
    }
};

}  // namespace

std::unique_ptr<BoardModel> make_xon_board_model() {
    return std::make_unique<XonBoardModel>();
}

}  // namespace tarvelo::sim
