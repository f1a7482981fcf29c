#pragma once
// A scale on which nothing happens: every operation succeeds at once and a snapshot is left as
// it was. The tests' fakes start from it and override what they watch.

#include "scale/scale.h"

namespace tarvelo::test {

class NullScale : public Scale {
  public:
    void get_snapshot(weighing_snapshot*) override {}
    int startup(const std::string&) override { return 0; }
    int rezero() override { return 0; }
    int tare() override { return 0; }
    int preset_tare(int32_t) override { return 0; }
    void on_zero_button() override {}
    void on_tare_button() override {}
    void sale_refresh(MessageSink*) override {}
    bool take_weight_text_clear() override { return false; }
    int calibrate_zero() override { return 0; }
    int calibrate_span() override { return 0; }
    int init_rezero() override { return 0; }
};

}  // namespace tarvelo::test
