#pragma once
// pellum, the price library: its version is shown in the version window.
#include <cstdint>

extern "C" {
int32_t pellum_getversion(void);
}
