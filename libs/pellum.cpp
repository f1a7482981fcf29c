#include "libs/pellum.h"

extern "C" int32_t pellum_getversion(void) {
    return 105;
}
