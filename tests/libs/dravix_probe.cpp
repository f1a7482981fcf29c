// Prints the scale library's checksum as the library that the loader picked computes it.
#include <cstdio>

#include "libs/dravix.h"

int main() {
    char text[40] = {};
    if (get_scale_checksum(text) < 0) return 1;
    std::printf("%s\n", text);
    return 0;
}
