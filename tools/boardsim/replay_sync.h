#pragma once
// The replay clock's line to `ecrctl --replay --sync PATH`: a Unix-domain socket at PATH, one
// text line per message, so that the board's bytes and the ECR's requests keep the order they
// had in the capture however slowly either side runs.
//   boardsim -> ecrctl   "go T"   the clock has reached T: do what the capture recorded up to T
//   ecrctl -> boardsim   "at T"   everything of the ECR's recorded up to T is done (a reply is
//                                 done once it has come, or once ecrctl gave up on it)
// T is the capture's time in microseconds.

#include <cstdint>
#include <memory>
#include <string>

namespace tarvelo::sim {

class ReplaySync {
  public:
    // Listens at `path` (a stale socket there is replaced; anything else is refused).
    static std::unique_ptr<ReplaySync> listen(const std::string& path, std::string* error);
    ~ReplaySync();  // removes the socket
    ReplaySync(const ReplaySync&) = delete;
    ReplaySync& operator=(const ReplaySync&) = delete;

    // Takes a connection and what it said; never waits.
    void poll();
    bool connected() const { return peer_ >= 0; }
    // The ECR's side came and went: nothing more will be said.
    bool gone() const { return gone_; }
    int64_t at() const { return at_; }
    void go(int64_t us);

  private:
    ReplaySync(int fd, std::string path) : listen_(fd), path_(std::move(path)) {}
    int listen_;
    int peer_ = -1;
    bool gone_ = false;
    int64_t at_ = -1;
    std::string path_;
    std::string pending_;
};

}  // namespace tarvelo::sim
