#pragma once
// ecrctl --replay: the ECR's side of a capture played against a scale. Each recorded request
// goes out at its time (a connection is made where the capture shows one, and given up where it
// shows the ECR leave), and each reply is held against the recorded one, byte for byte; a reply
// that differs is shown decoded beside the recorded one, field by field.
//
// One field is allowed to differ: the scale's CS/KW challenge (record 11 with "2"), whose random
// number changes from run to run. Its layout is held to the capture; the record 10 that answers
// it is sent with the pairs worked out for this scale's number instead of the recorded one (a
// valid pair stays valid, an invalid one stays invalid), so the result record 11 is compared
// exactly like every other reply.

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>
#include <string>

#include "client/capture_reader.h"
#include "client/ecrctl_session.h"

namespace kestrin {

// When the replay may do what the capture recorded at a time.
class ReplayClock {
  public:
    virtual ~ReplayClock() = default;
    // Returns once the capture's time `us` has come.
    virtual void wait_until(int64_t us) = 0;
    // Everything the capture recorded of the ECR up to `us` has been done.
    virtual void done(int64_t us) = 0;
};

// The replay's own clock: `speed` times faster than the capture, counted from the first event
// done (the first connection, once the scale's pipe is there).
class OwnReplayClock : public ReplayClock {
  public:
    OwnReplayClock(double speed, MonotonicMs now, Sleeper sleep)
        : speed_(speed), now_(std::move(now)), sleep_(std::move(sleep)) {}
    void wait_until(int64_t us) override;
    void done(int64_t us) override;

  private:
    double speed_;
    MonotonicMs now_;
    Sleeper sleep_;
    std::optional<int64_t> base_ms_;  // real time of the capture's time 0
};

// The board replay's clock (boardsim --replay FILE --sync SOCKET): it says when the capture's
// time has come, and waits for what this side has done. If the board replay goes away, this
// side goes on by its own clock from the last time it was told.
class SyncReplayClock : public ReplayClock {
  public:
    static std::unique_ptr<SyncReplayClock> connect(const std::string& path, MonotonicMs now,
                                                    Sleeper sleep, std::string* error);
    ~SyncReplayClock() override;
    void wait_until(int64_t us) override;
    void done(int64_t us) override;
    // Says, once, that the board replay went away.
    std::function<void(const std::string&)> note;

  private:
    SyncReplayClock(int fd, MonotonicMs now, Sleeper sleep)
        : fd_(fd), now_(std::move(now)), own_(1.0, now_, std::move(sleep)) {}
    void lost();
    int fd_;
    MonotonicMs now_;
    int64_t go_ = -1;
    std::string pending_;
    OwnReplayClock own_;  // after the board replay has gone
};

// Plays `capture` over links made by `connect`; writes each exchange, each difference and a
// summary to `out`. Exit code: 0 when every reply was as recorded, 1 when any differed or did
// not come, 3 when the pipe could never be opened.
int replay_capture(const EcrCapture& capture, ReplayClock& clock, const EcrctlEnv& env,
                   const std::string& pipe, int timeout_ms, std::ostream& out);

// The 8 characters of a recorded CS/KW pair, worked out again for the challenge `now` in place
// of `recorded`: a pair that was valid for `recorded` is valid for `now`; one that was not is
// not. Characters that are no hexadecimal number are left as they are.
std::string pair_for_challenge(const std::string& pair, uint8_t recorded, uint8_t now);

}  // namespace kestrin
