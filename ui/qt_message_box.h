#pragma once
// Message boxes on the display: modal, with the error (or information) icon, and the text also
// written as one line to standard error. Where there is no screen (Qt's offscreen platform)
// nobody could click OK, so the box is not waited for.

#include "platform/message_box.h"

namespace tarvelo::ui {

class QtMessageBox : public MessageBox {
  public:
    void error(const std::string& text) override;
    void info(const std::string& text) override;
    // The program is ending: the open box closes as if OK was pressed, and no box opens from
    // now on (the texts still go to standard error). User-interface thread.
    void dismiss();
};

bool headless();

}  // namespace tarvelo::ui
