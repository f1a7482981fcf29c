#pragma once
// How the ECR's requests are cut from the pipe's byte stream, and which of them are requests
// at all. Pure: the pipe server reads the bytes, the fuzz target and the benchmark feed them.
//
// A request ends at its first DC1, DC2, ENQ or ETX (so one of those inside a text field cuts
// the record short, and the rest is read as the next request); 255 bytes without one are taken
// as a request of their own. No byte of the next request is read ahead. A request must begin
// EOT and then STX, ENQ, DC1 or DC2; anything else gets no reply at all.

#include <cstddef>
#include <cstdint>

#include "ecr/ecr_frames.h"

namespace tarvelo::ecr {

inline bool ends_request(uint8_t byte) {
    return byte == DC1 || byte == DC2 || byte == ENQ || byte == ETX;
}

// The framing check of the serve loop.
inline bool is_request(const uint8_t* frame, size_t length) {
    if (length < 2 || frame[0] != EOT) return false;
    const uint8_t b1 = frame[1];
    return b1 == STX || b1 == ENQ || b1 == DC1 || b1 == DC2;
}

// Collects one request at a time into the receive buffer it is given, as the server reads it,
// and zeroes a request's bytes before the next one starts.
class RequestFramer {
  public:
    // `buffer` holds `max_length` bytes or more, all zero; at most kMaxFrame of them are used.
    RequestFramer(uint8_t* buffer, size_t max_length)
        : buffer_(buffer), max_(max_length < kMaxFrame ? max_length : kMaxFrame) {}
    explicit RequestFramer(ReceiveBuffer& buffer) : RequestFramer(buffer.data(), kMaxFrame) {}

    // Takes one byte; true when it completes a request, which frame() and length() then hold
    // until the next byte starts a new one.
    bool feed(uint8_t byte) {
        if (complete_) clear();
        buffer_[length_++] = byte;
        complete_ = ends_request(byte) || length_ >= max_;
        return complete_;
    }
    const uint8_t* frame() const { return buffer_; }
    size_t length() const { return length_; }
    void clear() {
        for (size_t i = 0; i < length_; ++i) buffer_[i] = 0;
        length_ = 0;
        complete_ = false;
    }

  private:
    uint8_t* buffer_;
    size_t max_;
    size_t length_ = 0;
    bool complete_ = false;
};

}  // namespace tarvelo::ecr
