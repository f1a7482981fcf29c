#pragma once
// A scale that is always stable with a new weight at every snapshot (so every ENQ is answered
// with record 02), and a display that takes every call and does nothing.

#include "ecr/record_dispatcher.h"
#include "tests/support/null_scale.h"

namespace tarvelo::bench {

class ChangingScale : public test::NullScale {
  public:
    void get_snapshot(weighing_snapshot* out) override {
        out->weight = 1000 + (++n_ % 400);
        out->stable = 1;
        out->tare = 0;
    }

  private:
    int n_ = 0;
};

class NullDisplay : public EcrDisplay {
  public:
    void post(PostedMessage) override {}
    void show_window(DisplayWindow, bool) override {}
    void set_quantity_mode(DisplayWindow, int) override {}
};

}  // namespace tarvelo::bench
