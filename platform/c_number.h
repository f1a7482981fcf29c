#pragma once
// Numbers as the C library's atoi reads them: leading white space, an optional sign, then
// decimal digits up to the first other character; no digits gives 0. Values past the 32-bit
// range saturate instead of wrapping (atoi leaves them undefined).

#include <cstdint>
#include <string_view>

namespace tarvelo {

int32_t c_atoi(std::string_view text);

}  // namespace tarvelo
