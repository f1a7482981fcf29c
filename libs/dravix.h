#pragma once
// dravix, the scale library: the pipe operations of the ECR link, the library's own checksum
// (its identity, shown to the operator and confirmed by the board at start-up), its version
// and the manufacturer text.

#include <cstdint>

extern "C" {

// Reads `count` (always 1) bytes from the pipe connection; waits until they arrive. Non-zero
// only after the byte has been stored; zero when the connection is lost or the read fails.
int32_t ReadFileOverLapped(int pipe, void* buffer, uint32_t count, uint32_t* bytes_read,
                           void* reserved);
// Sends the whole frame.
int32_t WriteFileOverLapped(int pipe, const void* buffer, uint32_t count, uint32_t* bytes_written,
                            void* reserved);
// Fills the 40-byte buffer with the CRC-32 of this library's file as loaded, as 8 upper-case
// hexadecimal characters; negative when the file cannot be read.
int32_t get_scale_checksum(char* buffer);
int32_t dravix_getversion(void);
// Fills the 32-byte buffer with the manufacturer text, NUL-terminated, at most 31 characters.
int32_t dravix_get_manufacturer(char* buffer);
}
