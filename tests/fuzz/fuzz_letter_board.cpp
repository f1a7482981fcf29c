// Any byte stream from a letter-command board: framing with check bytes, 27-byte frames and
// replies decoded as the driver decodes them.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "scale/letter_board_codec.h"

using namespace tarvelo::lcmd;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const uint8_t last_command = data[0];  // the letter the driver last sent
    FrameReader reader;
    for (size_t i = 1; i < size; ++i) {
        auto frame = reader.feed(data[i]);
        if (!frame) continue;
        if (frame->payload.size() > kMaxPayload + 1) __builtin_trap();
        const int n = frame->result;
        const uint8_t* p = frame->payload.data();
        if (n == 27) {
            lcmd_status s = decode_frame27(p);
            if (std::memchr(s.first_text, 0, sizeof s.first_text) == nullptr) __builtin_trap();
        } else if (n == 2 || n == 5 || n == 30 || n == 42) {
            lcmd_reply r = decode_reply(p, static_cast<size_t>(n), last_command);
            if (r.data_length == 40) decode_status_word(r.data);
            if (r.data_length == 28) decode_numbers(r.data);
            if (r.data_length == 3) decode_firmware(r.data);
        }
    }
    normalise_number(std::string_view(reinterpret_cast<const char*>(data), size < 8 ? size : 8));
    return 0;
}
