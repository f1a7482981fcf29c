#include "client/ecr_replay.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "client/ecr_decoder.h"
#include "client/ecr_replies.h"
#include "client/frame_text.h"
#include "client/kestrin_protocol.h"

namespace kestrin {
namespace {

using Kind = CaptureEvent::Kind;

// How long the scale's pipe may take to appear (the scale starting up) before the replay gives up.
constexpr int kPipeWaitMs = 30000;
// How long the board replay's sync line may take to appear.
constexpr int kSyncWaitMs = 10000;
// A stretch of the capture without an ECR event this long is said before it is waited out: a
// replay that seems to hang is a capture that was quiet (or a time damaged by hand).
constexpr int64_t kLongQuietUs = 60000000;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool all_hex(const std::string& s) {
    for (char c : s)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// The CS the ECR typed, as four hexadecimal digits, from the pair it sent for challenge r.
std::string typed_cs(const std::string& pair, uint8_t r) {
    const uint16_t cs =
        static_cast<uint16_t>(hex_value(pair.substr(2, 2)) << 8 | hex_value(pair.substr(0, 2)));
    const unsigned n = (r >> 4) & 15;
    const uint16_t unrotated = n ? static_cast<uint16_t>(cs >> n | cs << (16 - n)) : cs;
    const uint16_t value = static_cast<uint16_t>(unrotated << 8 | unrotated >> 8);
    char out[8];
    std::snprintf(out, sizeof out, "%04X", value);
    return out;
}

bool valid_pair(const std::string& pair, uint8_t r) {
    return lower(cs_kw_chars(typed_cs(pair, r), r)) == lower(pair);
}

std::string where(const CaptureEvent& e) {
    return "line " + std::to_string(e.line) + " (" + capture_seconds(e.us) + ")";
}

// Record 10 with its pairs worked out for the scale's challenge here.
std::string rewritten_record10(const std::string& request, uint8_t recorded, uint8_t now) {
    const Frame f = decode_request(request);
    if (!f.well_formed() || f.name != "10") return request;
    std::string out = request;
    for (size_t at = 5; at + 8 < out.size(); at += 8)
        out.replace(at, 8, pair_for_challenge(out.substr(at, 8), recorded, now));
    return out;
}

// The fields in which two replies of one kind differ, for a person.
std::string field_changes(const Frame& was, const Frame& now) {
    if (!was.well_formed() || !now.well_formed() || was.kind != now.kind ||
        was.items.size() != now.items.size())
        return "";
    std::string out;
    for (size_t i = 0; i < was.items.size(); ++i) {
        const Item &a = was.items[i], &b = now.items[i];
        if (a.bytes == b.bytes) continue;
        std::string shown_a, shown_b;
        for (char c : a.bytes) shown_a += shown(c);
        for (char c : b.bytes) shown_b += shown(c);
        out += "\n   field " + part_name(a.part, a.bytes.empty() ? 0 : a.bytes[0]) + " at " +
               std::to_string(a.offset) + ": \"" + shown_a + "\" in the capture, \"" + shown_b +
               "\" now";
    }
    return out;
}

class Replayer {
  public:
    Replayer(const EcrCapture& capture, ReplayClock& clock, const EcrctlEnv& env,
             const std::string& pipe, int timeout_ms, std::ostream& out)
        : c_(capture), clock_(clock), env_(env), pipe_(pipe), timeout_ms_(timeout_ms), out_(out) {}

    int run() {
        for (const std::string& note : c_.notes) out_ << "replay: note: " << note << "\n";
        if (c_.start == "running")
            out_ << "replay: note: the capture began while the scale ran: the scale here starts "
                    "fresh (no price, the handshake not yet done), so the first replies may "
                    "differ\n";
        const auto& events = c_.events;
        for (size_t i = 0; i < events.size(); ++i) {
            const CaptureEvent& e = events[i];
            if (e.kind == Kind::reply) {  // a reply whose request came before the capture began
                clock_.done(e.us);
                continue;
            }
            if (e.us - quiet_from_ > kLongQuietUs)
                out_ << "replay: note: " << where(e) << ": the capture is quiet for "
                     << capture_seconds(e.us - quiet_from_)
                     << " before this; the replay waits as long" << std::endl;
            clock_.wait_until(e.us);
            quiet_from_ = e.us;
            if (e.kind == Kind::connect) {
                if (!open()) return finish(3);
            } else if (e.kind == Kind::disconnect) {
                if (link_) {
                    // Whatever came since the last reply the capture does not have, or the
                    // dropped link would swallow it.
                    std::string left = clear_left_over(link_.get(), EcrctlSession::kMaxReply);
                    if (!left.empty())
                        differ(where(e) + ": before the ECR left the scale sent " + hex_dump(left) +
                               ", which the capture does not have");
                    link_->drop();
                }
            } else {
                const CaptureEvent* reply =
                    i + 1 < events.size() && events[i + 1].kind == Kind::reply ? &events[++i]
                                                                               : nullptr;
                if (!exchange(e, reply)) return finish(3);
            }
            clock_.done(events[i].us);
        }
        if (link_) {
            std::string left = clear_left_over(link_.get(), EcrctlSession::kMaxReply);
            if (!left.empty())
                differ("after the last request the scale sent " + hex_dump(left) +
                       ", which the capture does not have");
        }
        return finish(differing_ == 0 ? kPositive : kNegative);
    }

  private:
    int finish(int code) {
        out_ << "replay: " << compared_ << (compared_ == 1 ? " reply" : " replies") << " compared, "
             << differing_ << " differ" << std::endl;
        return code;
    }

    void differ(const std::string& text) {
        ++differing_;
        out_ << "replay: DIFFERS: " << text << std::endl;
    }

    // The scale's pipe, waited for while the scale starts.
    bool open() {
        if (link_) return true;
        std::string error;
        const int64_t deadline = env_.now() + kPipeWaitMs;
        while (!(link_ = env_.connect(pipe_, &error)) && env_.now() < deadline)
            if (env_.sleep) env_.sleep(100);
        if (!link_) out_ << "replay: cannot open the pipe " << pipe_ << ": " << error << std::endl;
        return link_ != nullptr;
    }

    bool exchange(const CaptureEvent& request, const CaptureEvent* recorded) {
        if (!open()) return false;
        std::string left = clear_left_over(link_.get(), EcrctlSession::kMaxReply);
        if (!left.empty())
            differ(where(request) + ": before this request the scale sent " + hex_dump(left) +
                   ", which the capture does not have");
        std::string bytes = request.bytes;
        if (challenge_recorded_ && challenge_now_ && *challenge_recorded_ != *challenge_now_) {
            std::string sent = rewritten_record10(bytes, *challenge_recorded_, *challenge_now_);
            if (sent != bytes) {
                char note[160];
                std::snprintf(note, sizeof note,
                              "record 10 sent with the pairs for this scale's challenge %02x "
                              "(the capture's was %02x)",
                              *challenge_now_, *challenge_recorded_);
                out_ << "replay: " << where(request) << ": " << note << std::endl;
                bytes = sent;
            }
        }
        const std::string what = summary(decode_request(bytes));
        if (!link_->write(bytes)) {
            out_ << "replay: cannot send to the pipe " << pipe_ << ": " << link_->error()
                 << std::endl;
            link_->drop();
        }
        clock_.done(request.us);
        if (!recorded) {
            out_ << capture_seconds(request.us) << "  " << what << "  (no reply in the capture)"
                 << std::endl;
            return true;
        }
        RawReply got = receive_reply(link_.get(), EcrctlSession::kMaxReply, timeout_ms_, env_.now);
        ++compared_;
        compare(request, what, *recorded, got);
        return true;
    }

    void compare(const CaptureEvent& request, const std::string& what, const CaptureEvent& recorded,
                 const RawReply& got) {
        const Frame was = decode_reply(recorded.bytes);
        const Frame now = decode_reply(got.bytes);
        bool same = got.end == RawReply::End::complete && got.bytes == recorded.bytes;
        if (was.kind == ReplyKind::cs_kw_request) {
            challenge_recorded_ = was.random_number;
            challenge_now_.reset();
            // The challenge's number is drawn anew by every scale: all but its two digits count.
            if (got.end == RawReply::End::complete && now.kind == ReplyKind::cs_kw_request &&
                now.well_formed() && got.bytes.substr(0, 5) == recorded.bytes.substr(0, 5) &&
                got.bytes.substr(7) == recorded.bytes.substr(7)) {
                same = true;
                challenge_now_ = now.random_number;
            }
        }
        if (same) {
            out_ << capture_seconds(request.us) << "  " << what << "  ->  " << summary(now)
                 << "  (as captured)" << std::endl;
            return;
        }
        std::string now_text = got.bytes.empty() ? "(nothing)" : hex_dump(got.bytes);
        if (got.end != RawReply::End::complete)
            now_text += "  " + describe_reply(got, timeout_ms_).text;
        else
            now_text += "\n      " + summary(now);
        differ(where(recorded) + ": the reply to " + what +
               "\n   capture: " + hex_dump(recorded.bytes) + "\n      " + summary(was) +
               "\n   now:     " + now_text + field_changes(was, now));
    }

    const EcrCapture& c_;
    ReplayClock& clock_;
    const EcrctlEnv& env_;
    const std::string pipe_;
    const int timeout_ms_;
    std::ostream& out_;
    std::unique_ptr<Link> link_;
    std::optional<uint8_t> challenge_recorded_, challenge_now_;
    int compared_ = 0, differing_ = 0;
    int64_t quiet_from_ = 0;  // the capture's time of the event before
};

}  // namespace

std::string pair_for_challenge(const std::string& pair, uint8_t recorded, uint8_t now) {
    if (pair.size() != 8 || !all_hex(pair)) return pair;
    std::string out;
    if (valid_pair(pair, recorded)) {
        out = cs_kw_chars(typed_cs(pair, recorded), now);
        if (lower(pair) != pair)  // the ECR wrote its digits in capitals
            for (char& ch : out)
                ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        return out;
    }
    out = pair;
    if (valid_pair(out, now)) out[7] = out[7] == '0' ? '1' : '0';  // by chance valid: not any more
    return out;
}

void OwnReplayClock::wait_until(int64_t us) {
    if (!base_ms_) return;
    for (;;) {
        const int64_t due =
            *base_ms_ + static_cast<int64_t>(static_cast<double>(us) / 1000.0 / speed_);
        const int64_t left = due - now_();
        if (left <= 0 || !sleep_) return;
        sleep_(static_cast<int>(std::min<int64_t>(left, 1000)));
    }
}

void OwnReplayClock::done(int64_t us) {
    if (!base_ms_)
        base_ms_ = now_() - static_cast<int64_t>(static_cast<double>(us) / 1000.0 / speed_);
}

std::unique_ptr<SyncReplayClock> SyncReplayClock::connect(const std::string& path, MonotonicMs now,
                                                          Sleeper sleep, std::string* error) {
    sockaddr_un addr{};
    if (path.empty() || path.size() >= sizeof addr.sun_path) {
        *error = "the sync socket's path is too long";
        return nullptr;
    }
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size());
    const int64_t deadline = now() + kSyncWaitMs;
    for (;;) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *error = std::strerror(errno);
            return nullptr;
        }
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0)
            return std::unique_ptr<SyncReplayClock>(new SyncReplayClock(fd, now, sleep));
        *error = path + ": " + std::strerror(errno);
        ::close(fd);
        if (now() >= deadline || !sleep) return nullptr;
        sleep(50);
    }
}

SyncReplayClock::~SyncReplayClock() {
    if (fd_ >= 0) ::close(fd_);
}

void SyncReplayClock::lost() {
    ::close(fd_);
    fd_ = -1;
    if (note) note("the board replay's clock went away; the rest follows this side's own clock");
    own_.done(go_ < 0 ? 0 : go_);
}

void SyncReplayClock::wait_until(int64_t us) {
    while (fd_ >= 0 && go_ < us) {
        size_t eol;
        while ((eol = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, eol);
            pending_.erase(0, eol + 1);
            if (line.rfind("go ", 0) == 0)
                go_ = std::max<int64_t>(go_, std::atoll(line.c_str() + 3));
        }
        if (go_ >= us) return;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0) continue;
        char buf[256];
        ssize_t n = ::read(fd_, buf, sizeof buf);
        if (n > 0)
            pending_.append(buf, static_cast<size_t>(n));
        else if (n == 0 || errno != EINTR)
            lost();
    }
    if (fd_ < 0) own_.wait_until(us);
}

void SyncReplayClock::done(int64_t us) {
    if (fd_ < 0) return;
    std::string line = "at " + std::to_string(us) + "\n";
    if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(line.size()))
        lost();
}

int replay_capture(const EcrCapture& capture, ReplayClock& clock, const EcrctlEnv& env,
                   const std::string& pipe, int timeout_ms, std::ostream& out) {
    return Replayer(capture, clock, env, pipe, timeout_ms, out).run();
}

}  // namespace kestrin
