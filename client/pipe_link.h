#pragma once
// kestrin's own connection to the scale's pipe (a Unix-domain stream socket).
//
// The pipe carries one request and one reply at a time with nothing to pair them but their
// order. A reply that comes late, or a tail left behind by one that went wrong, would be read
// as the answer to the next request; so after a reply that timed out, failed or overran, and
// whenever bytes are still waiting when the next request is due, the connection is dropped and
// the next request goes out on a fresh one.

#include <memory>
#include <string>

namespace kestrin {

// Empty when the pipe NAME may be opened; else why not. NAME must be a plain file name, and
// its directory must be a real directory of this user's with no group or other access: a
// socket in anybody else's directory may answer with anybody's weights.
std::string pipe_place_problem(const std::string& name);
// That test of a directory on its own.
std::string private_dir_problem(const std::string& dir);
// The pipe's directory: $XDG_RUNTIME_DIR when it is absolute and passes the test above, else
// /tmp/tarvelo-UID. *passed_over says why the variable's directory was not used.
std::string pipe_dir(std::string* passed_over = nullptr);

class Link {
  public:
    virtual ~Link() = default;
    // Sends every byte; a dropped link connects again first.
    virtual bool write(const std::string& bytes) = 0;
    enum class Read { byte, timeout, failed };
    virtual Read read_byte(char& out, int timeout_ms) = 0;
    // Gives up the connection; the next write opens a fresh one.
    virtual void drop() = 0;
    // Why the last write failed, when the link knows.
    virtual std::string error() const { return {}; }
};

class PipeLink : public Link {
  public:
    // Null, with the reason in *error, when the pipe cannot be opened.
    static std::unique_ptr<PipeLink> open(const std::string& name, std::string* error);
    ~PipeLink() override;
    bool write(const std::string& bytes) override;
    Read read_byte(char& out, int timeout_ms) override;
    void drop() override;
    std::string error() const override { return error_; }

    // How long a new connection waits for the scale to let the dropped one go: a server that
    // is still busy with the old request (its stability wait lasts up to 2 s) serves no other
    // client until it has read that the old one left.
    static constexpr int kReleaseWaitMs = 2500;

  private:
    PipeLink(std::string name, int fd) : name_(std::move(name)), fd_(fd) {}
    bool reconnect();
    std::string name_;
    int fd_;             // -1 while dropped
    int released_ = -1;  // a dropped connection, half closed, until the scale closes it
    std::string error_;
};

}  // namespace kestrin
