#pragma once
// The master side of a pseudo-terminal whose slave stands in for a board's serial port, for
// the board simulator and the driver tests. The slave can be linked at a chosen path so that
// `serial_port` in tarvelo.ini can name it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/result.h"

#include "platform/serial_port.h"

namespace tarvelo {

class PseudoTerminal {
  public:
    // The terminal, or why not. With a non-empty link_path the slave is also
    // reachable there (an existing symlink at that path is replaced; any other file is an error).
    static Result<std::unique_ptr<PseudoTerminal>> create(const std::string& link_path);
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal&) = delete;
    PseudoTerminal& operator=(const PseudoTerminal&) = delete;

    const std::string& slave_path() const { return slave_path_; }
    const std::string& link_path() const { return link_path_; }
    // The name a driver opens: the link where there is one, else the slave path.
    const std::string& device_name() const { return link_path_.empty() ? slave_path_ : link_path_; }

    // Non-blocking; `gone` while no one holds the slave open.
    ReadStatus read_byte(uint8_t& out);
    // Waits up to timeout_ms for input; true when a byte may be read (or the peer hung up).
    bool wait_readable(int timeout_ms);
    bool write_all(const void* data, size_t length);

  private:
    PseudoTerminal() = default;
    int master_ = -1;
    std::string slave_path_;
    std::string link_path_;
};

}  // namespace tarvelo
