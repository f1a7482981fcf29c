// Any byte stream from an xon/xoff board: framing, classification and weight-frame parsing.
#include <cstddef>
#include <cstdint>

#include "scale/xon_board_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    tarvelo::xo::FrameReader reader;
    for (size_t i = 0; i < size; ++i) {
        auto payload = reader.feed(data[i]);
        if (!payload) continue;
        if (payload->size() > tarvelo::xo::kMaxPayload) __builtin_trap();
        tarvelo::xo::classify_payload(payload->data(), payload->size());
        tarvelo::xo::parse_weight_frame(payload->data(), payload->size());
    }
    tarvelo::xo::parse_weight_frame(data, size);
    return 0;
}
