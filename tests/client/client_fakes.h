#pragma once
// Scales for the client's tests. ScriptedScale answers over a real socket at the client's pipe
// path; FakeLink answers in memory, on a clock that only moves when the client waits.

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/pipe_link.h"

namespace kestrin::test {

// Record 02 as a scale sends it: 1234 g, stable, at 2.99 a kilogram, 3.69 in all.
inline const std::string kData1234 =
    "\x02"
    "02\x1b"
    "3\x1b"
    "01234\x1b"
    "000299\x1b"
    "000369\x03";

// Each request (read up to its ETX, ENQ, DC1 or DC2) takes the next step of the script, on
// whichever connection it arrives. Every connection is served on a thread of its own, so a
// reply held back on an old connection does not hold up a new one; unless the scale serves one
// client at a time: then, as long as it has not closed a connection, every further one is
// closed at once, unread.
class ScriptedScale {
  public:
    struct Step {
        Step(std::string r = {}) : reply(std::move(r)) {}  // NOLINT: a plain reply
        Step(const char* r) : reply(r) {}                  // NOLINT
        std::string reply;                                 // "" sends nothing
        bool held = false;                                 // goes out only on release()
        bool close = false;  // the scale closes the connection after the reply
        int busy_ms = 0;     // goes out this late, or as soon as another client knocks
    };
    static Step held(std::string reply) {
        Step s(std::move(reply));
        s.held = true;
        return s;
    }
    static Step closing(std::string reply) {
        Step s(std::move(reply));
        s.close = true;
        return s;
    }

    // A scale busy with a long request (a stability wait).
    static Step busy(std::string reply, int ms) {
        Step s(std::move(reply));
        s.busy_ms = ms;
        return s;
    }

    ScriptedScale(const std::string& name, std::vector<Step> steps, bool one_at_a_time = false);
    ~ScriptedScale();
    std::vector<std::string> requests();
    int connections();  // those served
    int turned_away();
    // Connections whose client shut its sending side and still listened, so that it could tell
    // when the scale had let go of it.
    int half_closes();
    // Lets the held replies go out and returns once they were written (or failed to be).
    void release();

  private:
    void accept_loop();
    void serve(int fd);
    std::string path_;
    int listen_fd_ = -1;
    int wake_[2] = {-1, -1};
    std::vector<Step> steps_;
    std::vector<bool> done_;
    size_t next_ = 0;
    bool released_ = false, stopping_ = false;
    bool one_at_a_time_;
    bool serving_ = false;
    int knocks_ = 0, turned_away_ = 0, half_closes_ = 0;
    std::vector<std::string> requests_;
    std::vector<int> fds_;
    std::vector<std::thread> threads_;
    std::thread acceptor_;
    std::mutex mutex_;
    std::condition_variable changed_;
};

// A reply of the in-memory scale; `closes` ends the connection after its bytes.
struct FakeReply {
    FakeReply(std::string b = {}) : bytes(std::move(b)) {}  // NOLINT: a plain reply
    FakeReply(const char* b) : bytes(b) {}                  // NOLINT
    FakeReply(std::string b, bool c) : bytes(std::move(b)), closes(c) {}
    std::string bytes;
    bool closes = false;
};

class FakeLink : public Link {
  public:
    // Each write takes the next reply; when they run out, `otherwise` answers.
    FakeLink(std::vector<FakeReply> replies, FakeReply otherwise = FakeReply("\x06"));
    bool write(const std::string& bytes) override;
    Read read_byte(char& out, int timeout_ms) override;
    void drop() override {
        ++drops;
        pending_.clear();
    }

    int64_t now() const { return clock_ms; }
    int ms_per_byte = 0;  // a peer that trickles its reply
    int64_t clock_ms = 0;
    std::string sent;  // every byte written, in order
    int drops = 0;

  private:
    std::deque<FakeReply> replies_;
    FakeReply otherwise_;
    std::string pending_;
    bool closes_ = false;
};

// Lends a link that the test keeps, so that what it recorded outlives the client's session.
class BorrowedLink : public Link {
  public:
    explicit BorrowedLink(Link& link) : link_(link) {}
    bool write(const std::string& bytes) override { return link_.write(bytes); }
    Read read_byte(char& out, int timeout_ms) override { return link_.read_byte(out, timeout_ms); }
    void drop() override { link_.drop(); }

  private:
    Link& link_;
};

// ecrctl over an in-memory scale: what it sent, what it printed, how often it connected.
struct EcrctlRun {
    int exit_code = -1;
    std::string sent, out, err;
    int connects = 0;
    std::string pipe;
    int drops = 0;
};
EcrctlRun run_ecrctl(const std::vector<std::string>& args, std::vector<FakeReply> replies = {},
                     const std::string& script = "", int ms_per_byte = 0);

}  // namespace kestrin::test
