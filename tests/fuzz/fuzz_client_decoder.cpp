// Any bytes through the clients' decoder, in both directions: never a crash, and a frame
// called well-formed is covered by its fields byte for byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "client/ecr_decoder.h"
#include "client/frame_text.h"

namespace {

void check(const kestrin::Frame& f, const std::string& bytes) {
    if (!f.well_formed()) {
        if (f.problem_at > bytes.size() || !f.items.empty()) __builtin_trap();
        return;
    }
    size_t at = 0;
    for (const kestrin::Item& item : f.items) {
        if (item.offset != at || bytes.compare(at, item.bytes.size(), item.bytes) != 0)
            __builtin_trap();
        at += item.bytes.size();
    }
    if (at != f.length || f.length != bytes.size()) __builtin_trap();
    kestrin::summary(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    check(kestrin::decode_request(bytes), bytes);
    check(kestrin::decode_reply(bytes), bytes);
    kestrin::decode_report(bytes, std::nullopt);
    return 0;
}
