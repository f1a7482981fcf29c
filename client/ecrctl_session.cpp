#include "client/ecrctl_session.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <istream>
#include <iterator>
#include <optional>
#include <ostream>

#include "client/ecr_decoder.h"
#include "client/ecr_replay.h"
#include "client/ecr_replies.h"
#include "client/ecr_requests.h"
#include "client/frame_text.h"
#include "client/kestrin_protocol.h"
#include "client/read_sequence.h"

namespace kestrin {

int EcrctlSession::request(const std::string& bytes, RawReply* reply_out, size_t replies) {
    if (!link_) {
        std::string error;
        link_ = env_.connect(pipe_, &error);
        if (!link_) {
            err_ << "ecrctl: cannot open the pipe " << pipe_path(pipe_) << ": " << error
                 << std::endl;
            return kRefused;
        }
    }
    int worst = kPositive;
    if (std::string left = clear_left_over(link_.get(), kMaxReply); !left.empty()) {
        out_ << "<- " << hex_dump(left) << "\n   left over from the previous request ("
             << left.size() << (left.size() == 1 ? " byte" : " bytes")
             << "); this request goes out on a new connection" << std::endl;
        worst = kNegative;
    }
    print_request(bytes);
    if (!link_->write(bytes)) {
        err_ << "ecrctl: cannot send to the pipe " << pipe_path(pipe_) << ": " << link_->error()
             << std::endl;
        link_->drop();
        return kRefused;
    }
    for (size_t i = 0; i < replies; ++i) {
        RawReply reply = receive_reply(link_.get(), kMaxReply, timeout_ms, env_.now);
        if (reply_out && i == 0) *reply_out = reply;
        ReplyVerdict verdict = describe_reply(reply, timeout_ms);
        out_ << "<- " << (reply.bytes.empty() ? "(nothing)" : hex_dump(reply.bytes)) << "\n   ";
        if (replies > 1) out_ << "reply " << i + 1 << " of " << replies << ": ";
        out_ << verdict.text << std::endl;
        worst = std::max(worst, verdict.exit_code);
        if (reply.end != RawReply::End::complete) break;  // dropped: no later reply can come
    }
    return worst;
}

void EcrctlSession::print_request(const std::string& bytes) {
    out_ << "-> " << hex_dump(bytes) << "\n";
    std::vector<std::string> requests;
    for (size_t at = 0; at < bytes.size();) {
        const size_t end = request_end(bytes, at);
        requests.push_back(bytes.substr(at, end - at));
        at = end;
    }
    for (size_t i = 0; i < requests.size(); ++i) {
        out_ << "   ";
        if (requests.size() > 1) out_ << "request " << i + 1 << " of " << requests.size() << ": ";
        out_ << summary(decode_request(requests[i])) << "\n";
    }
    out_.flush();
}

int EcrctlSession::handshake(const Command& c) {
    RawReply reply;
    int rc = request(enq_request(), &reply);
    Frame r = decode_reply(reply.bytes);
    if (reply.end != RawReply::End::complete || r.kind != ReplyKind::cs_kw_request) return rc;
    rc = request(cs_kw_record(cs_kw_chars(c.cs, r.random_number)));
    if (rc != kPositive) return rc;
    return request(enq_request());
}

// kestrin's Read (one sequence for both clients), each exchange printed. The exit code is
// that of the last reply, and at least negative when the Read failed.
int EcrctlSession::read(const Command& c) {
    using Event = ReadSequence::Event;
    ReadSequence sequence(c.cs, [this](ReadSequence::State, Event event, const Frame&) {
        if (event == Event::asked_again)
            err_ << "ecrctl: the scale asks for CS/KW again right after a valid result"
                 << std::endl;
    });
    int last = kPositive;
    // Only a whole reply goes on to the sequence: an over-long one is, to ecrctl, no complete
    // reply (exit code 3), and the Read ends there rather than asking why.
    const auto outcome = sequence.run(
        [&](ReadSequence::State, const std::string& bytes) -> std::optional<std::string> {
            RawReply reply;
            last = request(bytes, &reply);
            if (reply.end != RawReply::End::complete) return std::nullopt;
            return reply.bytes;
        });
    return outcome == ReadSequence::Outcome::failed ? std::max(last, kNegative) : last;
}

int EcrctlSession::run(const Command& c) {
    switch (c.kind) {
        case Command::Kind::decode: {
            DecodeReport report = decode_report(c.bytes, c.direction);
            out_ << report.text << std::flush;
            return report.well_formed ? kPositive : kNegative;
        }
        case Command::Kind::cskw:
            out_ << cs_kw_report(c.cs, c.random_number) << std::flush;
            return kPositive;
        case Command::Kind::send:
            if (dry_run) {
                print_request(c.bytes);
                return kPositive;
            }
            return request(c.bytes, nullptr, c.replies);
        case Command::Kind::handshake:
        case Command::Kind::read:
            if (dry_run) {
                print_request(enq_request());
                out_ << "   then, if the scale answers with a CS/KW request: record 10 with the "
                        "pair for its random number (`cskw "
                     << c.cs << " RANDOM`) and EOT ENQ for the result"
                     << (c.kind == Command::Kind::read
                             ? ", then EOT ENQ again; after a NAK, record 08"
                             : "")
                     << std::endl;
                return kPositive;
            }
            return c.kind == Command::Kind::read ? read(c) : handshake(c);
        case Command::Kind::sleep:
            out_.flush();
            if (env_.sleep && !dry_run) env_.sleep(c.ms);
            return kPositive;
    }
    return kRefused;
}

int EcrctlSession::run(const std::vector<std::string>& words) {
    ParsedCommand parsed = parse_command(words);
    if (!parsed.command) {
        err_ << "ecrctl: " << parsed.refusal << std::endl;
        return kRefused;
    }
    return run(*parsed.command);
}

int EcrctlSession::run_script(std::istream& in, bool stop_on_error) {
    int worst = kPositive;
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        std::string error;
        auto words = split_line(line, &error);
        if (words && words->empty()) continue;
        out_ << "$ " << line << std::endl;
        int rc;
        if (!words) {
            err_ << "ecrctl: line " << number << ": " << error << std::endl;
            rc = kRefused;
        } else {
            ParsedCommand parsed = parse_command(*words);
            if (parsed.command) {
                rc = run(*parsed.command);
            } else {
                err_ << "ecrctl: line " << number << ": " << parsed.refusal << std::endl;
                rc = kRefused;
            }
        }
        worst = std::max(worst, rc);
        if (stop_on_error && rc != kPositive) break;
    }
    return worst;
}

namespace {

int replay(const std::string& file, const std::string& sync_path, double speed,
           const std::string& pipe, int timeout_ms, std::ostream& out, std::ostream& err,
           const EcrctlEnv& env) {
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof()) {
        err << "ecrctl: cannot read " << file << std::endl;
        return kRefused;
    }
    EcrCapture capture;
    std::string error;
    if (!in.is_open() || !read_ecr_capture(text, &capture, &error)) {
        err << "ecrctl: " << file << ": " << (in.is_open() ? error : "cannot be opened")
            << std::endl;
        return kRefused;
    }
    if (sync_path.empty()) {
        OwnReplayClock clock(speed, env.now, env.sleep);
        return replay_capture(capture, clock, env, pipe, timeout_ms, out);
    }
    auto clock = SyncReplayClock::connect(sync_path, env.now, env.sleep, &error);
    if (!clock) {
        err << "ecrctl: no board replay to follow at " << error << std::endl;
        return kRefused;
    }
    clock->note = [&out](const std::string& why) { out << "replay: note: " << why << std::endl; };
    return replay_capture(capture, *clock, env, pipe, timeout_ms, out);
}

}  // namespace

int ecrctl_main(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                std::ostream& err, EcrctlEnv env) {
    std::string pipe = kDefaultPipeName;
    int timeout_ms = EcrctlSession::kDefaultTimeoutMs;
    bool stop_on_error = false, dry_run = false;
    std::string replay_file, sync_path;
    std::optional<double> speed;
    size_t i = 0;
    auto refuse = [&](const std::string& why) {
        err << "ecrctl: " << why << " (see --help)" << std::endl;
        return kRefused;
    };
    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--help" || a == "-h") {
            out << kEcrctlUsage;
            return kPositive;
        } else if (a == "--version") {
            out << "ecrctl " TARVELO_VERSION "\n";
            return kPositive;
        } else if (a == "--pipe") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return refuse("--pipe needs the pipe's name");
            pipe = args[++i];
        } else if (a == "--timeout") {
            std::optional<int> ms = i + 1 < args.size()
                                        ? parse_whole(args[i + 1], EcrctlSession::kMaxTimeoutMs)
                                        : std::nullopt;
            if (!ms || *ms == 0)
                return refuse(
                    "--timeout needs the longest wait for a reply in whole milliseconds, 1 to "
                    "600000");
            timeout_ms = *ms;
            ++i;
        } else if (a == "--stop-on-error") {
            stop_on_error = true;
        } else if (a == "--dry-run") {
            dry_run = true;
        } else if (a == "--replay" || a == "--sync") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return refuse(a == "--replay" ? "--replay needs the capture file"
                                              : "--sync needs the board replay's socket");
            (a == "--replay" ? replay_file : sync_path) = args[++i];
        } else if (a == "--speed") {
            char* end = nullptr;
            const std::string x = i + 1 < args.size() ? args[i + 1] : "";
            double v = std::strtod(x.c_str(), &end);
            if (x.empty() || *end != '\0' || !(v >= 0.1 && v <= 100))
                return refuse("--speed needs how many times faster, 0.1 to 100");
            speed = v;
            ++i;
        } else if (a.size() > 1 && a[0] == '-') {
            return refuse("unknown option '" + a + "'");
        } else {
            break;
        }
    }
    std::vector<std::string> words(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    if (!replay_file.empty() || !sync_path.empty() || speed) {
        if (replay_file.empty()) return refuse("--speed and --sync go with --replay FILE");
        if (!words.empty()) return refuse("--replay plays the capture and takes no command");
        if (speed && !sync_path.empty())
            return refuse(
                "--speed and --sync do not go together: with --sync the board replay's "
                "clock sets the pace");
        return replay(replay_file, sync_path, speed.value_or(1.0), pipe, timeout_ms, out, err, env);
    }
    if (words.empty()) {
        err << kEcrctlUsage;
        return kRefused;
    }
    EcrctlSession session(out, err, std::move(env), pipe);
    session.timeout_ms = timeout_ms;
    session.dry_run = dry_run;
    if (words[0] == "-") {
        if (words.size() > 1)
            return refuse("'-' reads commands from standard input and takes no words after it");
        return session.run_script(in, stop_on_error);
    }
    return session.run(words);
}

}  // namespace kestrin
