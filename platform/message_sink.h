#pragma once
// How worker threads reach the display: a numbered window message with wParam and lParam and
// a copy of whatever the message refers to (a text, or a record), never a pointer into a
// buffer that the poster will overwrite. The Qt side implements this; tests record the calls.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace tarvelo {

struct PostedMessage {
    uint32_t id = 0;
    intptr_t wparam = 0;
    intptr_t lparam = 0;
    std::string text;                 // a copy of the text the message carries, if any
    std::vector<unsigned char> data;  // a copy of the record the message carries, if any

    template <class T>
    static PostedMessage with_record(uint32_t id, const T& record) {
        static_assert(std::is_trivially_copyable_v<T>);
        PostedMessage m;
        m.id = id;
        m.data.resize(sizeof(T));
        std::memcpy(m.data.data(), &record, sizeof(T));
        return m;
    }

    template <class T>
    std::optional<T> record() const {
        static_assert(std::is_trivially_copyable_v<T>);
        if (data.size() != sizeof(T)) return std::nullopt;
        T value;
        std::memcpy(&value, data.data(), sizeof(T));
        return value;
    }
};

class MessageSink {
  public:
    virtual ~MessageSink() = default;
    // Queues the message for the user-interface thread; callable from any thread.
    virtual void post(PostedMessage message) = 0;
};

}  // namespace tarvelo
