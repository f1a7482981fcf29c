#pragma once
// One board type on the wire: how it frames what it streams and answers, which byte pauses it,
// how it checks a frame from the PC, and where damage hits its frames. Every frame is built by
// the board's codec and damaged afterwards, byte by byte, so a damaged frame differs from a
// good one exactly where the damage says. Nothing here touches the line: the simulator hands a
// model the board state (under its lock) and sends what comes back.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tools/boardsim/board_state.h"

namespace tarvelo::sim {

enum class BoardType { xon, letter };

class BoardModel {
  public:
    static std::unique_ptr<BoardModel> create(BoardType type);
    virtual ~BoardModel() = default;

    virtual std::string_view name() const = 0;  // "xon/xoff", "letter-command"
    virtual uint8_t pause_byte() const = 0;     // the byte that stops the stream (DC1 starts it)

    // The answer to one frame from the PC (STX payload ETX check); empty for none.
    std::vector<uint8_t> answer(BoardState& state, const std::vector<uint8_t>& frame) const;
    // The next weight frame, with the damage that is armed (one-shot damage is used up).
    std::vector<uint8_t> weight_frame(BoardState& state) const;

  protected:
    virtual bool check_good(std::string_view payload, uint8_t check) const = 0;
    // The answer to a frame whose check byte is wrong; empty for none.
    virtual std::vector<uint8_t> answer_bad_check(std::string_view payload) const = 0;
    // The board's own answer to a well-checked command of at least two bytes.
    virtual std::vector<uint8_t> answer_command(BoardState& state,
                                                std::string_view payload) const = 0;
    virtual std::vector<uint8_t> encode_reply(char code, char result,
                                              std::string_view data) const = 0;
    virtual std::vector<uint8_t> encode_weight(const BoardState& state) const = 0;
    virtual std::vector<uint8_t> encode_overlong() const = 0;
    // The frame's own damage: corrupt (one shot) and garble (lasting) differ per board.
    virtual void corrupt(std::vector<uint8_t>& frame) const = 0;
    virtual void garble(std::vector<uint8_t>& frame) const = 0;
};

std::unique_ptr<BoardModel> make_xon_board_model();
std::unique_ptr<BoardModel> make_letter_board_model();

}  // namespace tarvelo::sim
