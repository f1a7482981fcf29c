#include "tools/boardsim/board_simulator.h"

#include <algorithm>
#include <sstream>

namespace tarvelo::sim {
namespace {

constexpr uint8_t DC1 = 0x11;

}  // namespace

BoardSimulator::BoardSimulator(const Options& options)
    : options_(options), model_(BoardModel::create(options.type)) {
    state_.checksum = options.checksum;
    rate_hz_ = std::max(1, options.rate_hz);
}

std::unique_ptr<BoardSimulator> BoardSimulator::create(const Options& options, std::string* error) {
    std::unique_ptr<BoardSimulator> sim(new BoardSimulator(options));
    sim->line_ = PtyLine::create(options.link_path, options.verbose, error);
    if (!sim->line_) return nullptr;
    sim->line_->start(*sim);
    return sim;
}

BoardSimulator::~BoardSimulator() {
    if (line_) line_->stop();
}

void BoardSimulator::on_received(const std::vector<uint8_t>& unit) {
    if (unit.size() == 1) {
        if (unit[0] == DC1) streaming_ = true;
        if (unit[0] == model_->pause_byte()) streaming_ = false;
        return;
    }
    std::vector<uint8_t> answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answer = model_->answer(state_, unit);
    }
    if (!answer.empty()) line_->send(answer);
}

int64_t BoardSimulator::on_tick(int64_t now) {
    if (next_frame_ < 0) next_frame_ = now;
    if (now < next_frame_) return next_frame_;
    std::vector<uint8_t> frame;
    int period;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        period = 1000 / rate_hz_;
        if (streaming_.load()) {
            if (options_.corrupt_percent > 0 &&
                static_cast<int>(noise_() % 100) < options_.corrupt_percent)
                state_.damage.corrupt = true;
            frame = model_->weight_frame(state_);
        }
    }
    if (!frame.empty()) line_->send(frame);
    next_frame_ = std::max(next_frame_ + period, now - period);
    return next_frame_;
}

void BoardSimulator::set_gross(int32_t grams) {
    change([&](BoardState& s) { s.gross = grams; });
}
void BoardSimulator::set_stable(bool stable) {
    change([&](BoardState& s) { s.stable = stable; });
}
void BoardSimulator::set_load(int load) {
    change([&](BoardState& s) { s.load = load & 3; });
}
void BoardSimulator::set_span_open(bool open) {
    change([&](BoardState& s) { s.span_open = open; });
}
void BoardSimulator::set_counts(int32_t ad, int32_t ir) {
    change([&](BoardState& s) { s.ad = ad, s.ir = ir; });
}
void BoardSimulator::set_count_frames(bool on) {
    change([&](BoardState& s) { s.count_frames = on; });
}
void BoardSimulator::set_rate(int hz) {
    std::lock_guard<std::mutex> lock(mutex_);
    rate_hz_ = std::clamp(hz, 1, 100);
}
void BoardSimulator::set_mute(bool mute) {
    change([&](BoardState& s) { s.mute = mute; });
}
void BoardSimulator::fail_next(char letter, char result) {
    change([&](BoardState& s) { s.fail = BoardState::Fail{letter, result}; });
}
void BoardSimulator::set_integrity_fail(bool fail) {
    change([&](BoardState& s) { s.integrity_fail = fail; });
}
void BoardSimulator::send_corrupt() {
    change([](BoardState& s) { s.damage.corrupt = true; });
}
void BoardSimulator::send_overlong() {
    change([](BoardState& s) { s.damage.overlong = true; });
}
void BoardSimulator::send_noise() {
    change([](BoardState& s) { s.damage.noise = true; });
}
void BoardSimulator::set_garble(bool on) {
    change([&](BoardState& s) { s.damage.garble = on; });
}
void BoardSimulator::reply_next(char code, char result, const std::string& data) {
    change([&](BoardState& s) { s.reply = BoardState::Reply{code, result, data}; });
}

void BoardSimulator::vanish() {
    line_->vanish();
    streaming_ = false;
}

int32_t BoardSimulator::net() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.net();
}
int32_t BoardSimulator::tare() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_.tare;
}

std::string BoardSimulator::status_line() const {
    bool silent = line_->silent();
    std::lock_guard<std::mutex> lock(mutex_);
    const BoardState& s = state_;
    std::ostringstream out;
    out << model_->name() << " board: gross=" << s.gross << " zero_offset=" << s.zero_offset
        << " tare=" << s.tare << " net=" << s.net() << (s.stable ? " stable" : " unstable")
        << (s.load == 1   ? " underload"
            : s.load == 2 ? " overload"
                          : "")
        << " span=" << (s.span_open ? "open" : "closed") << " ad=" << s.ad << " ir=" << s.ir
        << " rate=" << rate_hz_ << (streaming_.load() ? " streaming" : " paused")
        << (silent ? " silent" : "") << (s.mute ? " mute" : "");
    return out.str();
}

}  // namespace tarvelo::sim
