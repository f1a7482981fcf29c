// Any byte stream from an ECR: cut into requests the way the pipe server reads them, checked
// as it checks them, and dispatched with verification on. Every reply must be well formed:
// nothing, ACK, NAK, or one of the reply records with its exact length.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "ecr/ecr_frames.h"
#include "ecr/record_dispatcher.h"
#include "ecr/request_framer.h"
#include "tests/support/null_scale.h"

namespace {

using namespace tarvelo;

class NoSleep : public SystemClock {
  public:
    void sleep_ms(int) override {}
};

class ChangingScale : public test::NullScale {
  public:
    void get_snapshot(weighing_snapshot* out) override {
        out->weight = 1000 + (n_++ % 7) * 3;
        out->stable = n_ % 5 != 0;
        out->overload = n_ % 11 == 0;
        out->underload = n_ % 13 == 0;
    }
    int rezero() override { return n_ % 2; }
    int preset_tare(int32_t) override { return n_ % 3 == 0; }

  private:
    int n_ = 0;
};

class Display : public EcrDisplay {
  public:
    void post(PostedMessage) override {}
    void show_window(DisplayWindow, bool) override {}
    void set_quantity_mode(DisplayWindow, int) override {}
};

bool well_formed(const std::string& r) {
    if (r.empty() || r == "\x06" || r == "\x15") return true;
    if (r[0] != 0x02 || r.back() != 0x03) return false;
    std::string number = r.substr(1, 2);
    if (number == "02" || number == "32") return r.size() == 26;
    if (number == "22") return r.size() == 12;  // STX "22" ESC "3" ESC tare(5) ETX
    if (number == "09") return r.size() == 7;
    if (number == "11") return r.size() == 8 || r.size() == 6;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static NoSleep clock;
    static EventLog log(0, clock);  // off: the fuzzer writes no files
    ChangingScale scale;
    SaleState sale;
    SavedSnapshot saved;
    Display display;
    RecordDispatcher::Parts parts{&scale,
                                  &sale,
                                  &saved,
                                  &display,
                                  &log,
                                  &clock,
                                  EcrSettings{1, 1, 0},
                                  [] { return uint8_t{0x5A}; }};
    RecordDispatcher dispatcher(parts);
    dispatcher.start();
    ecr::ReceiveBuffer buffer{};
    ecr::RequestFramer framer(buffer);
    for (size_t i = 0; i < size; ++i) {
        if (!framer.feed(data[i]) || !ecr::is_request(framer.frame(), framer.length())) continue;
        std::string reply = dispatcher.dispatch_frame(buffer, framer.length());
        if (!well_formed(reply)) {
            for (char c : reply) fprintf(stderr, "%02X ", static_cast<unsigned char>(c));
            fprintf(stderr, "<- malformed reply\n");
            __builtin_trap();
        }
    }
    return 0;
}
