#pragma once
// What the ECR link does to the display windows, from the pipe server thread: show or hide
// both windows, switch both between weight and quantity mode, and post window messages (the
// item text, the quantity-mode texts, the sale notifications). The display implements it;
// tests record the calls.

#include "platform/message_sink.h"

namespace tarvelo {

enum class DisplayWindow { main, second };

class EcrDisplay : public MessageSink {
  public:
    virtual void show_window(DisplayWindow window, bool show) = 0;
    // 0 weight mode, 1 quantity mode.
    virtual void set_quantity_mode(DisplayWindow window, int mode) = 0;
};

}  // namespace tarvelo
