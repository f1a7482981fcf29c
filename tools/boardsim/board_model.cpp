#include "tools/boardsim/board_model.h"

namespace tarvelo::sim {

std::unique_ptr<BoardModel> BoardModel::create(BoardType type) {
    return type == BoardType::xon ? make_xon_board_model() : make_letter_board_model();
}

std::vector<uint8_t> BoardModel::answer(BoardState& state,
                                        const std::vector<uint8_t>& frame) const {
    if (frame.size() < 3) return {};
    std::string_view payload(reinterpret_cast<const char*>(frame.data()) + 1, frame.size() - 3);
    if (!check_good(payload, frame.back())) return answer_bad_check(payload);
    if (payload.size() < 2 || state.mute) return {};
    if (state.reply) {
        BoardState::Reply r = *state.reply;
        state.reply.reset();
        return encode_reply(r.code, r.result, r.data);
    }
    return answer_command(state, payload);
}

std::vector<uint8_t> BoardModel::weight_frame(BoardState& state) const {
    Damage damage = state.take_damage();
    std::vector<uint8_t> frame = damage.overlong ? encode_overlong() : encode_weight(state);
    if (damage.garble && !damage.overlong) garble(frame);
    if (damage.corrupt) corrupt(frame);
    if (damage.noise) frame.insert(frame.end(), {0x7f, 0x01, 'n', 'o', 'i', 's', 'e', 0x03, 0x00});
    return frame;
}

}  // namespace tarvelo::sim
