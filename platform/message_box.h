#pragma once
// Modal message boxes with the error (or information) icon, as the operator sees them. The display
// implements this with real dialogs; until one is installed, and in tests, the text goes to
// standard error (a display's implementation writes it there too).

#include <string>

namespace tarvelo {

class MessageBox {
  public:
    virtual ~MessageBox() = default;
    virtual void error(const std::string& text) = 0;
    virtual void info(const std::string& text) = 0;
};

class StderrMessageBox : public MessageBox {
  public:
    void error(const std::string& text) override;
    void info(const std::string& text) override;
};

// The process-wide message box; never null.
MessageBox& message_box();
void set_message_box(MessageBox* box);  // null restores the standard-error one

}  // namespace tarvelo
