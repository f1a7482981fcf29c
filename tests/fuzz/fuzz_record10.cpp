// Any record 10 payload: split into CS/KW pairs and checked against every challenge byte.
#include <cstddef>
#include <cstdint>
#include <string>

#include "ecr/verification.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string payload(reinterpret_cast<const char*>(data), size);  // NUL-terminated by c_str()
    std::vector<tarvelo::ecr::KeyPair> pairs;
    int n = tarvelo::ecr::parse_key_pairs(payload.c_str(), &pairs, nullptr);
    if (n < 0 || n > 7 || static_cast<size_t>(n) != pairs.size()) __builtin_trap();
    for (const auto& p : pairs)
        if (p.cs.size() != 4 || p.kw.size() != 4) __builtin_trap();
    tarvelo::ecr::check_key_pairs(pairs, size ? data[0] : 0);
    return 0;
}
