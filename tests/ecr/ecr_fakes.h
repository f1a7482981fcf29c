#pragma once
// Stand-ins for the weighing board and the display windows, recording what the ECR link did.

#include <mutex>
#include <string>
#include <vector>

#include "ecr/ecr_display.h"
#include "ecr/record_dispatcher.h"
#include "tests/support/null_scale.h"

namespace tarvelo::test {

class FakeScale : public NullScale {
  public:
    void get_snapshot(weighing_snapshot* out) override {
        std::lock_guard<std::mutex> lock(mutex_);
        ++snapshots;
        *out = snapshot;
        if (!unstable_reads.empty()) {
            out->stable = unstable_reads.front() ? 0 : 1;
            unstable_reads.erase(unstable_reads.begin());
        }
        if (lose_after >= 0 && snapshots > lose_after) {  // the board goes quiet from here on
            out->link_lost = 1;
            out->stable = 0;
        }
    }
    int rezero() override { return record("rezero", rezero_result); }
    int tare() override { return record("tare", tare_result); }
    int preset_tare(int32_t tare) override {
        return record("preset_tare " + std::to_string(tare), preset_result);
    }
    void sale_refresh(MessageSink*) override { record("sale_refresh", 0); }

    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    void reset_calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }

    weighing_snapshot snapshot = stable_at(1000);
    std::vector<bool> unstable_reads;  // scripted readings before `snapshot` is served
    int rezero_result = 0, tare_result = 0, preset_result = 0;
    int snapshots = 0;
    int lose_after = -1;  // from this many readings on, the link is lost

    static weighing_snapshot stable_at(int32_t grams) {
        weighing_snapshot s;
        s.weight = grams;
        s.stable = 1;
        s.zero = grams == 0;
        return s;
    }

  private:
    int record(const std::string& call, int result) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(call);
        return result;
    }
    std::mutex mutex_;
    std::vector<std::string> calls_;
};

class FakeDisplay : public EcrDisplay {
  public:
    void post(PostedMessage message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_.push_back(std::move(message));
    }
    void show_window(DisplayWindow w, bool show) override {
        add(std::string(show ? "show " : "hide ") + (w == DisplayWindow::main ? "main" : "second"));
    }
    void set_quantity_mode(DisplayWindow w, int mode) override {
        add("mode " + std::to_string(mode) + (w == DisplayWindow::main ? " main" : " second"));
    }
    std::vector<std::string> calls() {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    std::vector<PostedMessage> posted() {
        std::lock_guard<std::mutex> lock(mutex_);
        return posted_;
    }

  private:
    void add(std::string call) {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.push_back(std::move(call));
    }
    std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<PostedMessage> posted_;
};

}  // namespace tarvelo::test
