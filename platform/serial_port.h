#pragma once
// A serial line to a weighing board: raw bytes, no flow control, non-blocking single-byte
// reads. COMn names map to /dev/ttyS(n-1); any other name is a device path used as it is.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/result.h"

namespace tarvelo {

struct LineSettings {
    int baud = 38400;
    int data_bits = 8;  // 5..8
    char parity = 'E';  // 'N' none, 'O' odd, 'E' even, 'M' mark, 'S' space
    int stop_bits = 1;  // 1, 2, or 15 for one and a half (carried as two: termios has no 1.5)
};

// "COM1" -> "/dev/ttyS0"; "com4" -> "/dev/ttyS3"; anything else unchanged.
std::string serial_device_path(const std::string& name);

enum class ReadStatus {
    byte,     // one byte stored
    nothing,  // a completed read of 0 bytes: nothing has arrived
    error,    // the read failed; the device may still be there
    gone,     // the device itself is gone (hang-up, unplugged adapter)
};

// What the board drivers need of a serial line: SerialPort is the real one; tests script others.
class SerialLine {
  public:
    virtual ~SerialLine() = default;
    virtual ReadStatus read_byte(uint8_t& out) = 0;
    // Writes every byte or fails; false when the device refuses or stays blocked for seconds.
    virtual bool write_all(const void* data, size_t length) = 0;
    // Waits up to timeout_ms until a read would not find the line empty: a byte is there, or
    // the device failed or went away. A line that cannot tell returns at once.
    virtual void wait_for_input(int /*timeout_ms*/) {}
};

// Opens a line by name with its settings; the drivers reopen a lost device the same way.
using LineOpener = std::function<Result<std::unique_ptr<SerialLine>>(const std::string& name,
                                                                     const LineSettings&)>;
// The real serial devices.
LineOpener serial_port_opener();

// Gives up the exclusive use of every port still open, for a process that ends without
// closing them; the ports stay open and locked until the process is gone.
void release_serial_ports();

class SerialPort : public SerialLine {
  public:
    // The port, or why not; a device that opened but refused the line settings fails as
    // `reached`.
    static Result<std::unique_ptr<SerialPort>> open(const std::string& name,
                                                    const LineSettings& settings);
    ~SerialPort() override;
    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    ReadStatus read_byte(uint8_t& out) override;
    bool write_all(const void* data, size_t length) override;
    void wait_for_input(int timeout_ms) override;
    // Applies line settings and checks them by reading them back (a pty drops parity and may
    // answer EINVAL to settings it already has, so the call's own result is not trusted).
    Result<void> apply(const LineSettings& settings);

    const std::string& path() const { return path_; }

  private:
    SerialPort(int fd, std::string path, bool exclusive)
        : fd_(fd), path_(std::move(path)), exclusive_(exclusive) {}
    int fd_;
    std::string path_;
    bool exclusive_;  // this port set the device's exclusive flag, and clears it at the end
};

}  // namespace tarvelo
