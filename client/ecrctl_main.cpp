// ecrctl: drives the scale's ECR pipe from a terminal, one request per command, printing each
// exchange as hex and decoded. Exit code: 0 positive reply, 1 negative reply, 2 usage or
// connection error, 3 no reply in time.

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "client/ecr_requests.h"
#include "client/exchange.h"
#include "client/kestrin_protocol.h"
#include "client/pipe_link.h"

using namespace kestrin;

namespace {

const char* kUsage =
    "Usage: ecrctl [--pipe NAME] [--timeout MS] COMMAND [ARGS]\n"
    "       ecrctl [--pipe NAME] [--timeout MS] -      (commands from standard input, one per line)\n"
    "\n"
    "Connects to the scale's ECR pipe ($XDG_RUNTIME_DIR/NAME, else /tmp/tarvelo-UID/NAME; NAME\n"
    "defaults to kv2170), sends one request per command and prints the request and the reply as\n"
    "hex and decoded.\n"
    "\n"
    "Commands:\n"
    "  enq                       request scale data (EOT ENQ)\n"
    "  show | hide               show or hide the display windows (EOT DC1 / EOT DC2)\n"
    "  status                    record 08: the reason of the last refusal\n"
    "  weight-mode | quantity-mode   records 00 and 30\n"
    "  zero | tare | get-tare    records 06, 07 and 21\n"
    "  price UNIT [tare T] [text TEXT]     weight-mode unit price (records 01, 03, 04, 05)\n"
    "  qprice UNIT [qty Q] [text TEXT]     quantity-mode unit price (records 31, 33, 34, 35)\n"
    "  record NN [FIELD...]      any record: EOT STX NN, ESC before each field, ETX\n"
    "  raw HEX                   raw bytes, e.g. raw 04 05\n"
    "  handshake CS              the CS/KW handshake with a 4-character CS (ENQ, record 10, ENQ)\n"
    "  read CS                   what kestrin's Read does: handshake when asked, then scale data\n"
    "  sleep MS                  wait (in scripts)\n"
    "\n"
    "Exit code: 0 positive reply, 1 negative reply, 2 usage or connection error, 3 no reply.\n";

struct Session {
    std::unique_ptr<Link> link;
    int timeout_ms = 5000;

    // Sends, reads one reply, prints both; returns the exit code of this request.
    int request(const std::string& bytes, std::string* reply_out = nullptr) {
        std::printf("-> %s\n", hex_dump(bytes).c_str());
        link->write(bytes);
        Exchange reader(link.get(), [](const std::string&) {}, timeout_ms);
        std::string reply = reader.read_reply(128);
        if (reply_out) *reply_out = reply;
        if (reply.empty()) {
            std::printf("<- (no reply within %d ms)\n", timeout_ms);
            return 3;
        }
        bool positive = false;
        std::string text = describe_reply(reply, &positive);
        std::printf("<- %s\n   %s\n", hex_dump(reply).c_str(), text.c_str());
        std::fflush(stdout);
        return positive ? 0 : 1;
    }
};

int run(Session& s, std::vector<std::string> args) {
    if (args.empty()) return 0;
    const std::string cmd = args[0];
    auto arg = [&](size_t i) -> const std::string* { return i < args.size() ? &args[i] : nullptr; };
    if (cmd == "enq") return s.request(enq_request());
    if (cmd == "show") return s.request({EOT, 0x11});
    if (cmd == "hide") return s.request({EOT, 0x12});
    if (cmd == "status") return s.request(status_request());
    if (cmd == "weight-mode") return s.request(record("00", {}));
    if (cmd == "quantity-mode") return s.request(record("30", {}));
    if (cmd == "zero") return s.request(record("06", {}));
    if (cmd == "tare") return s.request(record("07", {}));
    if (cmd == "get-tare") return s.request(record("21", {}));
    if (cmd == "sleep" && arg(1)) {
        std::fflush(stdout);
        struct timespec ts{std::atoi(arg(1)->c_str()) / 1000, (std::atoi(arg(1)->c_str()) % 1000) * 1000000L};
        nanosleep(&ts, nullptr);
        return 0;
    }
    if ((cmd == "price" || cmd == "qprice") && arg(1)) {
        int unit = std::atoi(arg(1)->c_str());
        std::optional<int> second;
        std::optional<std::string> text;
        for (size_t i = 2; i + 1 < args.size(); i += 2) {
            if (args[i] == "tare" || args[i] == "qty") second = std::atoi(args[i + 1].c_str());
            else if (args[i] == "text") text = args[i + 1];
            else {
                std::fprintf(stderr, "ecrctl: unknown field '%s'\n", args[i].c_str());
                return 2;
            }
        }
        return s.request(cmd == "price" ? price_record(unit, second, text) : quantity_price_record(unit, second, text));
    }
    if (cmd == "record" && arg(1) && arg(1)->size() == 2)
        return s.request(record(*arg(1), std::vector<std::string>(args.begin() + 2, args.end())));
    if (cmd == "raw" && arg(1)) {
        std::string joined;
        for (size_t i = 1; i < args.size(); ++i) joined += args[i];
        auto bytes = parse_hex(joined);
        if (!bytes) {
            std::fprintf(stderr, "ecrctl: not hex: %s\n", joined.c_str());
            return 2;
        }
        return s.request(*bytes);
    }
    if ((cmd == "handshake" || cmd == "read") && arg(1)) {
        if (arg(1)->size() < 4) {
            std::fprintf(stderr, "ecrctl: CS value must be 4 digits number\n");
            return 2;
        }
        std::string reply;
        int rc = s.request(enq_request(), &reply);
        Reply r = recognise(reply);
        if (r.kind != ReplyKind::cs_kw_request) return cmd == "read" ? rc : (rc == 0 ? 0 : 1);
        rc = s.request(cs_kw_record(cs_kw_chars(arg(1)->substr(0, 4), r.random_number)));
        if (rc != 0) return rc;
        rc = s.request(enq_request());
        if (rc != 0 || cmd == "handshake") return rc;
        return s.request(enq_request());
    }
    std::fprintf(stderr, "ecrctl: unknown or incomplete command '%s' (see --help)\n", cmd.c_str());
    return 2;
}

std::vector<std::string> split(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, any = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            any = true;
        } else if (std::isspace(static_cast<unsigned char>(c)) && !quoted) {
            if (any || !word.empty()) words.push_back(word);
            word.clear();
            any = false;
        } else {
            word.push_back(c);
        }
    }
    if (any || !word.empty()) words.push_back(word);
    return words;
}

}  // namespace

int main(int argc, char** argv) {
    std::string pipe = kDefaultPipeName;
    Session session;
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--pipe" && i + 1 < argc) {
            pipe = argv[++i];
        } else if (a == "--timeout" && i + 1 < argc) {
            session.timeout_ms = std::atoi(argv[++i]);
        } else {
            args.assign(argv + i, argv + argc);
            break;
        }
    }
    if (args.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    std::string error;
    session.link = PipeLink::open(pipe, &error);
    if (!session.link) {
        std::fprintf(stderr, "ecrctl: cannot open the pipe %s: %s\n", pipe_path(pipe).c_str(), error.c_str());
        return 2;
    }
    if (args.size() == 1 && args[0] == "-") {
        int rc = 0;
        std::string line;
        while (std::getline(std::cin, line)) {
            auto words = split(line);
            if (words.empty() || words[0][0] == '#') continue;
            std::printf("$ %s\n", line.c_str());
            rc = run(session, words);
            if (rc == 2 || rc == 3) return rc;
        }
        return rc;
    }
    return run(session, args);
}
