#include "tools/boardsim/board_replay.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "scale/letter_board_codec.h"
#include "scale/xon_board_codec.h"

namespace tarvelo::sim {
namespace {

using capture::Kind;

constexpr uint8_t DC1 = 0x11;
// Before an ECR request goes, the scale gets this long to read the board bytes played so far.
constexpr int64_t kReadWaitUs = 2000000;
// After a change in what the board sends, the scale gets as much real time before the next ECR
// request as the capture gave it, up to this: time for its display thread's 100 ms cycle, which
// keeps the sale rules, to see the change however fast the replay runs.
constexpr int64_t kSettleUs = 300000;
// A wait of the clock this long is told: the replay stretched there.
constexpr int64_t kLongWaitUs = 500000;
// A stretch of the capture with nothing in it this long is said before it is waited out.
constexpr int64_t kLongQuietUs = 60000000;
// A pause in the board's records this long is part of what the capture shows (a silent board),
// never filled while the clock waits.
constexpr int64_t kSilenceUs = 1000000;

int64_t steady_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string where(int line, int64_t us) {
    return "line " + std::to_string(line) + " (" + capture::seconds_text(us) + ")";
}

std::string hex(const std::vector<uint8_t>& bytes) {
    return bytes.empty() ? "nothing" : capture::hex_text(bytes.data(), bytes.size());
}

bool is_ecr(Kind kind) {
    return kind == Kind::ecr_connect || kind == Kind::ecr_to_scale || kind == Kind::scale_to_ecr ||
           kind == Kind::ecr_disconnect;
}

// The start-up integrity request carrying `checksum`, as this board type's driver sends it.
std::vector<uint8_t> integrity_request(const std::string& board, const std::string& checksum) {
    if (board == "xon") return xo::encode_integrity_request(checksum);
    return lcmd::encode_command('K', checksum).value_or(std::vector<uint8_t>{});
}

// Both are integrity requests, the same but for the checksum they carry: the one field a
// build of the scale library may change. *now is the checksum the scale sent here.
bool only_checksum_differs(const std::string& board, const std::string& recorded_checksum,
                           const std::vector<uint8_t>& expected, const std::vector<uint8_t>& actual,
                           std::string* now) {
    if (expected != integrity_request(board, recorded_checksum)) return false;
    if (actual.size() != expected.size() || actual.size() < 5) return false;
    std::string sent(actual.begin() + 3, actual.end() - 2);  // STX, two letters, ..., ETX, check
    if (actual != integrity_request(board, sent)) return false;
    *now = sent;
    return true;
}

}  // namespace

std::string replay_settings(const std::string& text, const std::string& link_path) {
    std::string out, section;
    bool replaced = false, in_scale = false;
    auto add_port = [&] {
        out += "serial_port=" + link_path + "\n";
        replaced = true;
    };
    size_t at = 0;
    while (at < text.size()) {
        size_t eol = text.find('\n', at);
        std::string line = text.substr(at, eol == std::string::npos ? std::string::npos : eol - at);
        at = eol == std::string::npos ? text.size() : eol + 1;
        std::string trimmed = line.substr(std::min(line.size(), line.find_first_not_of(" \t")));
        if (!trimmed.empty() && trimmed[0] == '[') {
            if (in_scale && !replaced) add_port();
            std::string name = trimmed.substr(1, trimmed.find(']') - 1);
            std::transform(name.begin(), name.end(), name.begin(), ::tolower);
            in_scale = name == "scale";
        } else if (in_scale && !replaced) {
            std::string key = trimmed.substr(0, trimmed.find('='));
            key.erase(key.find_last_not_of(" \t") + 1);
            std::transform(key.begin(), key.end(), key.begin(), ::tolower);
            if (key == "serial_port" && trimmed.find('=') != std::string::npos) {
                add_port();
                continue;
            }
        }
        out += line + "\n";
    }
    if (in_scale && !replaced) add_port();
    if (!replaced) out += "[scale]\nserial_port=" + link_path + "\n";
    return out;
}

BoardReplay::BoardReplay(capture::Capture capture, const ReplayOptions& options)
    : capture_(std::move(capture)), options_(options) {
    for (const capture::Record& r : capture_.records) {
        if (r.kind == Kind::lost)
            report("replay: note: " + where(r.line, r.us) + ": the capture lost " +
                   std::to_string(r.count) + " records here; what follows may not replay");
        if (r.kind == Kind::lost || r.kind == Kind::end) continue;
        Step s{r.us, r.kind, r.bytes, 0, r.line};
        if (r.kind == Kind::pc_to_board) {
            expected_total_ += r.bytes.size();
            s.expect_end = expected_total_;
        }
        steps_.push_back(std::move(s));
    }
    // The board's own pace, and where in the capture it streamed: the gaps between its records.
    std::vector<int64_t> board_times, gaps;
    for (const Step& st : steps_)
        if (st.kind == Kind::board_to_pc) board_times.push_back(st.us);
    for (size_t i = 1; i < board_times.size(); ++i)
        gaps.push_back(board_times[i] - board_times[i - 1]);
    if (!gaps.empty()) {
        std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(gaps.size() / 2),
                         gaps.end());
        period_us_ = std::clamp<int64_t>(gaps[gaps.size() / 2], 20000, 500000);
    }
    for (Step& st : steps_) {
        auto after = std::lower_bound(board_times.begin(), board_times.end(), st.us);
        if (after == board_times.begin() || after == board_times.end()) continue;
        st.streaming = *after - *(after - 1) < kSilenceUs;
    }
    if (capture_.header.start == "running") {
        preamble_ = true;
        model_ =
            BoardModel::create(capture_.header.board == "xon" ? BoardType::xon : BoardType::letter);
    }
}

std::unique_ptr<BoardReplay> BoardReplay::create(capture::Capture capture,
                                                 const ReplayOptions& options, std::string* error) {
    std::unique_ptr<BoardReplay> replay(new BoardReplay(std::move(capture), options));
    if (!options.sync_path.empty()) {
        replay->sync_ = ReplaySync::listen(options.sync_path, error);
        if (!replay->sync_) return nullptr;
    }
    replay->line_ = PtyLine::create(options.link_path, false, error);
    if (!replay->line_) return nullptr;
    replay->open_slave();
    replay->base_real_ = steady_us();
    replay->line_->start(*replay);
    return replay;
}

BoardReplay::~BoardReplay() {
    if (line_) line_->stop();
    if (slave_ >= 0) ::close(slave_);
}

void BoardReplay::report(const std::string& line) const {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

void BoardReplay::differ(const std::string& line) {
    differences_.fetch_add(1);
    report("replay: DIFFERS: " + line);
}

// Our own hold on the board's device, to see how much of what we played the scale has not yet
// read. Taken while no one else has it (the scale asks for the device alone).
void BoardReplay::open_slave() {
    if (slave_ >= 0) ::close(slave_);
    slave_ = ::open(line_->device_name().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

int BoardReplay::unread_by_scale() {
    if (slave_ < 0) return 0;
    // What we write to the terminal reaches the scale's side by a kernel worker, which a loaded
    // machine may hold back; a poll on that side hands it over first, so that the count below
    // also holds what is still on its way.
    pollfd p{slave_, POLLIN, 0};
    ::poll(&p, 1, 0);
    int queued = 0;
    if (::ioctl(slave_, FIONREAD, &queued) != 0) return 0;
    return queued;
}

int64_t BoardReplay::clock_us(int64_t now_us) const {
    return base_v_ +
           static_cast<int64_t>(static_cast<double>(now_us - base_real_) * options_.speed);
}

void BoardReplay::hold(int64_t at_us, int64_t now_us) {
    base_v_ = at_us;
    base_real_ = now_us;
    if (held_since_ < 0) held_since_ = now_us;
}

bool BoardReplay::waited_too_long(int64_t now_us) const {
    return held_since_ >= 0 && now_us - held_since_ > int64_t{options_.wait_ms} * 1000;
}

bool BoardReplay::good_weight_frame(const std::vector<uint8_t>& b) const {
    constexpr uint8_t STX = 0x02, ETX = 0x03;
    if (b.size() < 3 || b.front() != STX) return false;
    if (capture_.header.board == "xon") {
        if (b.back() != ETX || std::find(b.begin() + 1, b.end() - 1, ETX) != b.end() - 1)
            return false;
        const uint8_t* payload = b.data() + 1;
        const size_t n = b.size() - 2;
        return xo::classify_payload(payload, n).kind == xo::PayloadKind::weight &&
               xo::parse_weight_frame(payload, n).has_value();
    }
    return b.size() == 30 && b[28] == ETX && b[29] == lcmd::check_byte(b.data() + 1, 27) &&
           lcmd::frame27_kind(b.data() + 1) >= 0;
}

void BoardReplay::keep_streaming(const Step& step, int64_t now_us) {
    if (!step.streaming || !stream_on_ || last_frame_.empty() || now_us < next_filler_us_) return;
    if (next_filler_us_ == 0) {  // the first hold: one period after it began
        next_filler_us_ = now_us + period_us_;
        return;
    }
    line_->send(last_frame_);
    next_filler_us_ += period_us_;
    if (next_filler_us_ < now_us) next_filler_us_ = now_us + period_us_;
}

void BoardReplay::on_received(const std::vector<uint8_t>& unit) {
    if (unit.size() == 1) {
        if (unit[0] == DC1) stream_on_ = true;
        if (unit[0] == (capture_.header.board == "xon" ? 0x12 : 0x13)) stream_on_ = false;
    }
    if (!preamble_) return;
    if (unit.size() == 1) {
        if (unit[0] == DC1) {
            preamble_streaming_ = true;
            if (preamble_zeroed_ == 2) {
                preamble_ = false;  // the scale is up: the recorded session begins now
                received_.clear();
                base_v_ = 0;
                base_real_ = steady_us();
                report("replay: the scale has started; the recorded session begins");
            }
        } else if (unit[0] == model_->pause_byte()) {
            preamble_streaming_ = false;
        }
        return;
    }
    // The scale's start-up ends with its initial zero ('z') and a zero ('Z').
    if (unit.size() >= 3 && unit[1] == 'W' && unit[2] == 'z') preamble_zeroed_ = 1;
    if (unit.size() >= 3 && unit[1] == 'W' && unit[2] == 'Z' && preamble_zeroed_ == 1)
        preamble_zeroed_ = 2;
    std::vector<uint8_t> answer = model_->answer(preamble_state_, unit);
    if (!answer.empty()) line_->send(answer);
}

void BoardReplay::on_byte(uint8_t byte) {
    if (!preamble_) received_.push_back(byte);
}

void BoardReplay::compare(const Step& step) {
    size_t from = step.expect_end - step.bytes.size();
    size_t to = std::min(step.expect_end, received_.size());
    std::vector<uint8_t> actual;
    if (from < to)
        actual.assign(received_.begin() + static_cast<std::ptrdiff_t>(from),
                      received_.begin() + static_cast<std::ptrdiff_t>(to));
    if (actual == step.bytes) return;
    std::string now;
    if (only_checksum_differs(capture_.header.board, capture_.header.checksum, step.bytes, actual,
                              &now)) {
        report("replay: note: " + where(step.line, step.us) +
               ": the scale library's checksum differs from the capture's (capture " +
               capture_.header.checksum + ", this scale " + now +
               "); the board's recorded answer is played");
        return;
    }
    differ(where(step.line, step.us) + ": the scale sent the board " + hex(actual) +
           "; the capture has " + hex(step.bytes));
}

bool BoardReplay::play_ecr(const Step& step, int64_t now_us) {
    if (!sync_ || sync_dropped_) return true;
    sync_->poll();
    auto give_up = [&](const std::string& why) {
        report("replay: note: " + where(step.line, step.us) + ": " + why +
               "; the rest is played without waiting for the ECR");
        sync_dropped_ = true;
        return true;
    };
    if (sync_->gone() && sync_->at() < step.us) return give_up("ecrctl --replay has left");
    if (!sync_->connected() && !sync_->gone()) {
        hold(step.us, now_us);
        return waited_too_long(now_us) ? give_up("no ecrctl --replay came to the sync line")
                                       : false;
    }
    if (step.kind != Kind::scale_to_ecr && !go_sent_) {
        // The scale has every board byte that came before this request in the capture, and has
        // had time to take in the last change.
        if (unread_by_scale() > 0 && (held_since_ < 0 || now_us - held_since_ < kReadWaitUs)) {
            hold(step.us, now_us);
            return false;
        }
        if (changed_real_us_ >= 0 &&
            now_us - changed_real_us_ < std::min(kSettleUs, step.us - changed_v_us_)) {
            hold(step.us, now_us);
            return false;
        }
        sync_->go(step.us);
        go_sent_ = true;
    }
    if (sync_->at() >= step.us) return true;
    hold(step.us, now_us);
    return waited_too_long(now_us) ? give_up("ecrctl --replay did not get this far in time")
                                   : false;
}

bool BoardReplay::play(const Step& step, int64_t now_us) {
    switch (step.kind) {
        case Kind::board_to_pc:
            line_->send(step.bytes);
            if (step.bytes != last_sent_) {
                changed_v_us_ = step.us;
                changed_real_us_ = now_us;
                last_sent_ = step.bytes;
            }
            last_frame_ = good_weight_frame(step.bytes) ? step.bytes : std::vector<uint8_t>{};
            return true;
        case Kind::board_open:
            // The first open is the scale's start: the line is there already.
            if (first_open_seen_) {
                std::string error;
                if (!line_->reappear(&error))
                    report("replay: cannot bring the board back: " + error);
                open_slave();
            }
            first_open_seen_ = true;
            return true;
        case Kind::board_gone:
            if (slave_ >= 0) ::close(slave_);
            slave_ = -1;
            line_->vanish();
            return true;
        case Kind::pc_to_board:
            if (received_.size() >= step.expect_end || out_of_step_) {
                if (!out_of_step_) compare(step);
                return true;
            }
            hold(step.us, now_us);
            if (!waited_too_long(now_us)) return false;
            differ(where(step.line, step.us) + ": the scale never sent the board " +
                   hex(step.bytes) + "; from here the replay no longer waits for the scale");
            out_of_step_ = true;
            return true;
        default:
            return is_ecr(step.kind) ? play_ecr(step, now_us) : true;
    }
}

void BoardReplay::finish() {
    // Steps passed while out of step are held against what came in the end.
    if (out_of_step_)
        for (const Step& s : steps_)
            if (s.kind == Kind::pc_to_board && s.expect_end > 0) compare(s);
    if (received_.size() > expected_total_) {
        std::vector<uint8_t> extra(received_.begin() + static_cast<std::ptrdiff_t>(expected_total_),
                                   received_.end());
        differ("the scale sent the board more than the capture has: " + hex(extra));
    }
    report("replay: done: " + std::to_string(steps_.size()) + " records, " +
           std::to_string(expected_total_) + " bytes from the scale compared, " +
           std::to_string(differences_.load()) + " differ");
    finished_ = true;
}

int64_t BoardReplay::on_tick(int64_t now_ms) {
    if (finished_.load()) return now_ms + 1000;
    int64_t now_us = steady_us();
    if (preamble_) {
        // An ordinary board until the scale has come up (on_received ends this).
        base_real_ = now_us;
        if (now_us >= preamble_next_frame_ && preamble_streaming_) {
            line_->send(model_->weight_frame(preamble_state_));
            preamble_next_frame_ = now_us + 100000;
        }
        return now_ms + 5;
    }
    while (next_ < steps_.size()) {
        const Step& step = steps_[next_];
        int64_t v = clock_us(now_us);
        if (step.us > v) {
            if (quiet_noted_ != next_ && step.us - v > kLongQuietUs) {
                quiet_noted_ = next_;
                report("replay: note: " + where(step.line, step.us) +
                       ": nothing happens in the capture for " +
                       capture::seconds_text(step.us - v) +
                       " before this; the replay waits as long");
            }
            int64_t wake_us =
                base_real_ +
                static_cast<int64_t>(static_cast<double>(step.us - base_v_) / options_.speed);
            return std::max(now_ms + 1, wake_us / 1000 + 1);
        }
        if (!play(step, now_us)) {
            keep_streaming(step, now_us);
            return now_ms + 2;
        }
        if (held_since_ >= 0 && now_us - held_since_ > kLongWaitUs) {
            char waited[32];
            std::snprintf(waited, sizeof waited, "%.1f s",
                          static_cast<double>(now_us - held_since_) / 1e6);
            report("replay: note: " + where(step.line, step.us) + ": the clock waited " + waited +
                   " for " +
                   (step.kind == Kind::pc_to_board
                        ? "the scale's bytes to the board"
                        : "the ECR's side (ecrctl, or the scale's reply)"));
        }
        next_filler_us_ = 0;
        held_since_ = -1;
        go_sent_ = false;
        ++next_;
    }
    finish();
    return now_ms + 1000;
}

}  // namespace tarvelo::sim
