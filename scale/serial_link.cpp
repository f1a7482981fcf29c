#include "scale/serial_link.h"

#include "platform/thread_tuning.h"

namespace tarvelo {

SerialLink::Opened SerialLink::open(const std::string& name, const LineSettings& settings) {
    name_ = name;
    settings_ = settings;
    Result<std::unique_ptr<SerialLine>> opened = opener_(name, settings);
    if (!opened) return {false, opened.failure().reached, opened.error()};
    std::lock_guard<std::mutex> lock(port_mutex_);
    port_ = opened.take();
    return {true, false, {}};
}

std::shared_ptr<SerialLine> SerialLink::port() const {
    std::lock_guard<std::mutex> lock(port_mutex_);
    return port_;
}

bool SerialLink::write(const uint8_t* data, size_t length) {
    std::shared_ptr<SerialLine> p = port();
    return p && p->write_all(data, length);
}

void SerialLink::reopen(const Reader& reader) {
    while (reader.running()) {
        for (int i = 0; i < 20 && reader.running(); ++i) clock_.sleep_ms(50);
        Result<std::unique_ptr<SerialLine>> opened = opener_(name_, settings_);
        if (!opened) continue;
        {
            std::lock_guard<std::mutex> lock(port_mutex_);
            port_ = opened.take();
        }
        trace_("Scale link restored: " + name_ + "\n");
        reader.reopened();
        return;
    }
}

void SerialLink::run(const Reader& reader) {
    name_this_thread("board-reader");
    while (reader.running()) {
        std::shared_ptr<SerialLine> p = port();
        if (!p) {
            if (was_opened()) {
                reopen(reader);
            } else {
                clock_.sleep_ms(20);  // started without a port: every read would fail at once
            }
            continue;
        }
        uint8_t byte = 0;
        switch (p->read_byte(byte)) {
            case ReadStatus::nothing:
                clock_.sleep_ms(20);
                // The reads that would find the line still empty are left out: the next one
                // comes when a byte is there, so a quiet line wakes the reader a few times a
                // second instead of fifty, and no byte is read later than after a plain 20 ms.
                p->wait_for_input(kQuietLineWaitMs);
                break;
            case ReadStatus::error:
                // Whatever was collected may have lost bytes: hunt for the next frame. Never
                // spin on a failing line.
                reader.restart();
                watch_.lose();
                clock_.sleep_ms(20);
                break;
            case ReadStatus::gone: {
                watch_.lose();
                trace_("Scale link lost: " + name_ + "\n");
                {
                    std::lock_guard<std::mutex> lock(port_mutex_);
                    port_.reset();
                }
                reader.restart();
                break;
            }
            case ReadStatus::byte:
                reader.byte(byte);
                break;
        }
    }
}

}  // namespace tarvelo
