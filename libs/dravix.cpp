#include "libs/dravix.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/module_path.h"
#include "platform/pipe_endpoint.h"

namespace {

uint32_t crc32_update(uint32_t crc, const unsigned char* data, size_t length) {
    static const auto table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    crc = ~crc;
    for (size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

}  // namespace

extern "C" {

int32_t ReadFileOverLapped(int pipe, void* buffer, uint32_t count, uint32_t* bytes_read, void*) {
    if (buffer == nullptr || count == 0) return 0;
    auto* bytes = static_cast<uint8_t*>(buffer);
    for (uint32_t i = 0; i < count; ++i) {
        if (!tarvelo::pipe_read_byte(pipe, bytes[i])) {
            if (bytes_read) *bytes_read = i;
            return 0;
        }
    }
    if (bytes_read) *bytes_read = count;
    return 1;
}

int32_t WriteFileOverLapped(int pipe, const void* buffer, uint32_t count, uint32_t* bytes_written,
                            void*) {
    bool ok = buffer != nullptr && tarvelo::pipe_write_all(pipe, buffer, count);
    if (bytes_written) *bytes_written = ok ? count : 0;
    return ok ? 1 : 0;
}

int32_t get_scale_checksum(char* buffer) {
    if (buffer == nullptr) return -1;
    std::string path =
        tarvelo::loaded_module_path(reinterpret_cast<const void*>(&get_scale_checksum));
    std::ifstream in(path, std::ios::binary);
    if (path.empty() || !in) return -1;
    uint32_t crc = 0;
    std::vector<unsigned char> chunk(64 * 1024);
    while (in) {
        in.read(reinterpret_cast<char*>(chunk.data()), static_cast<std::streamsize>(chunk.size()));
        crc = crc32_update(crc, chunk.data(), static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) return -1;
    std::snprintf(buffer, 40, "%08X", crc);
    return 0;
}

int32_t dravix_getversion(void) {
    return 110;
}

int32_t dravix_get_manufacturer(char* buffer) {
    if (buffer == nullptr) return -1;
    std::snprintf(buffer, 32, "%s", "VENTARO");
    return 0;
}
}
