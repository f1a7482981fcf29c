// The ECR protocol reference (docs/ecr-protocol.md) as the scale's own tests read it: every
// worked exchange is played byte for byte against a real tarvelo on boardsim, its CS/KW vectors
// are checked against both the scale's check and kestrin's arithmetic, and the two example
// clients beside it run against a real scale. A document that no longer tells the truth fails
// here, naming the block and the line.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <set>
#include <thread>

#include "client/ecrctl_session.h"
#include "client/kestrin_protocol.h"
#include "ecr/verification.h"
#include "tests/e2e/scale_run.h"
#include "tests/protocol_doc/document_blocks.h"

namespace tarvelo::test {

// A block appears in the test's name and output by its name, not as raw bytes.
void PrintTo(const ExchangeBlock& block, std::ostream* os) {
    *os << block.name;
}

namespace {

// Longer than the scale's slowest reply (two board commands one after the other).
constexpr int kReplyTimeoutMs = 15000;

std::string document() {
    return read_file(SOURCE_DIR "/docs/ecr-protocol.md");
}

std::string cs_kw_for(const std::string& value, int r) {
    return kestrin::cs_kw_chars(value, static_cast<uint8_t>(r));
}

std::string shown(const Step& step) {
    std::string out;
    for (const Piece& p : step.pieces)
        out += (out.empty() ? "" : " ") +
               (p.kind == Piece::Kind::random ? std::string("{R}") : hex_string(p.bytes));
    return out;
}

// Plays one block against a scale of its own: empty, or "block NAME, line N: what differs".
std::string play(const ExchangeBlock& block) {
    auto at = [&](int line, const std::string& what) {
        return "block " + block.name + ", line " + std::to_string(line) + ": " + what;
    };
    Options options{.board = block.board, .watch_display = true};
    for (const auto& [key, value] : block.settings)
        (key == "verify" ? options.scale_section : options.spec_section) +=
            key + "=" + value + "\n";
    Scale run(options);
    if (!run.ready()) return at(block.line, "the scale never became ready: " + run.tarvelo->err());
    if (!run.board_idle()) return at(block.line, "the board never finished the start-up's zero");
    int random_number = -1;
    int last_line = block.line;
    for (const Step& step : block.steps) {
        last_line = step.line;
        if (step.kind == Step::Kind::board) {
            if (std::string why = run.board_line_shown(step.argument); !why.empty())
                return at(step.line, why);
        } else if (step.kind == Step::Kind::display) {
            if (std::string why = run.customer_text(step.argument); !why.empty())
                return at(step.line, why);
        } else if (step.kind == Step::Kind::send) {
            const bool needs_r = std::any_of(step.pieces.begin(), step.pieces.end(), [](auto& p) {
                return p.kind == Piece::Kind::cs || p.kind == Piece::Kind::kw;
            });
            if (needs_r && random_number < 0) return at(step.line, "{CS}/{KW} before any {R}");
            if (!run.send(request_bytes(step, random_number, cs_kw_for)))
                return at(step.line, "the scale closed the connection");
        } else {
            std::string got = run.receive(reply_length(step), kReplyTimeoutMs);
            if (!match_reply(step, got, &random_number))
                return at(step.line, "expected " + shown(step) + ", the scale sent " +
                                         (got.empty() ? "nothing" : hex_string(got)));
        }
    }
    // Nothing the block does not show may be waiting: the answer to a status request is next.
    run.send(std::string("\x04\x02", 2) + "08\x03");
    std::string got = run.receive(7, kReplyTimeoutMs);
    if (got.size() != 7 || got.compare(0, 4,
                                       "\x02"
                                       "09\x1b") != 0)
        return at(last_line,
                  "the scale sent a reply that the block does not show: " + hex_string(got));
    return {};
}

std::vector<ExchangeBlock> document_blocks() {
    std::string error;
    std::vector<ExchangeBlock> blocks = exchange_blocks(document(), &error);
    if (!error.empty()) {
        ExchangeBlock unreadable;  // fails when played, naming the line
        unreadable.name = "unreadable " + error;
        blocks = {unreadable};
    }
    return blocks;
}

TEST(ProtocolDocument, ShowsEveryPromisedExchange) {
    std::string error;
    std::vector<ExchangeBlock> blocks = exchange_blocks(document(), &error);
    ASSERT_EQ(error, "");
    std::set<std::string> names;
    for (const ExchangeBlock& b : blocks) {
        EXPECT_TRUE(names.insert(b.name).second) << "two blocks named " << b.name;
        EXPECT_TRUE(std::any_of(b.steps.begin(), b.steps.end(),
                                [](const Step& s) { return s.kind == Step::Kind::expect; }))
            << b.name << " shows no reply";
    }
    for (const char* promised :
         {"weight-sale", "quantity-sale", "tare-with-goods-on", "every-refusal", "handshake"})
        EXPECT_TRUE(names.count(promised)) << "no block " << promised;
}

class WorkedExchange : public ::testing::TestWithParam<ExchangeBlock> {};

TEST_P(WorkedExchange, PlaysAgainstTheRealScale) {
    EXPECT_EQ(play(GetParam()), "");
}

INSTANTIATE_TEST_SUITE_P(Document, WorkedExchange, ::testing::ValuesIn(document_blocks()),
                         [](const ::testing::TestParamInfo<ExchangeBlock>& param) {
                             std::string name = param.param.name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// The player itself can fail: one byte of a reply changed, and it names the block and line.
TEST(ProtocolDocument, AChangedByteIsCaught) {
    std::vector<ExchangeBlock> blocks = document_blocks();
    auto sale = std::find_if(blocks.begin(), blocks.end(),
                             [](const ExchangeBlock& b) { return b.name == "weight-sale"; });
    ASSERT_NE(sale, blocks.end());
    auto reply = std::find_if(sale->steps.rbegin(), sale->steps.rend(), [](const Step& s) {
        return s.kind == Step::Kind::expect && s.pieces.back().kind == Piece::Kind::bytes;
    });
    ASSERT_NE(reply, sale->steps.rend());
    std::string& bytes = reply->pieces.back().bytes;
    bytes.back() = static_cast<char>(bytes.back() ^ 0x01);
    EXPECT_EQ(play(*sale).rfind("block weight-sale, line " + std::to_string(reply->line) + ": ", 0),
              0u);
}

TEST(ProtocolDocument, CsKwVectorsHoldOnBothSides) {
    std::string error;
    std::vector<CsKwVector> vectors = cs_kw_vectors(document(), &error);
    ASSERT_EQ(error, "");
    ASSERT_GE(vectors.size(), 3u);
    for (const CsKwVector& v : vectors) {
        SCOPED_TRACE("line " + std::to_string(v.line));
        const auto r = static_cast<uint8_t>(v.random_number);
        EXPECT_EQ(kestrin::cs_kw_chars(v.value, r), v.cs + v.kw);
        EXPECT_TRUE(ecr::check_key_pair(v.cs, v.kw, r));
        std::string upper_cs = v.cs, upper_kw = v.kw;
        for (char& c : upper_cs) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        for (char& c : upper_kw) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        EXPECT_TRUE(ecr::check_key_pair(upper_cs, upper_kw, r));
        std::string wrong = v.kw;
        wrong[3] = wrong[3] == '0' ? '1' : '0';
        EXPECT_FALSE(ecr::check_key_pair(v.cs, wrong, r));
    }
}

// One time-out for every reply, the same in the document, in ecrctl and in both examples.
TEST(ProtocolDocument, RecommendsEcrctlsTimeOut) {
    const int ms = kestrin::EcrctlSession::kDefaultTimeoutMs;
    const std::string seconds = std::to_string(ms / 1000);
    ASSERT_EQ(ms % 1000, 0);
    EXPECT_NE(document().find("**Recommended time-out: " + seconds + " s**"), std::string::npos);
    EXPECT_NE(read_file(SOURCE_DIR "/docs/examples/ecr_client.c")
                  .find("#define TIMEOUT_MS " + std::to_string(ms) + " "),
              std::string::npos);
    EXPECT_NE(read_file(SOURCE_DIR "/docs/examples/ecr_client.py")
                  .find("\nTIMEOUT = " + seconds + ".0  "),
              std::string::npos);
}

// The example clients: the first one to run sets its unit price and sells the goods; the second
// finds unit-price entry closed and the weighing already sold, and reports both refusals
// through record 08. With the socket in the runtime directory, in the private one, and in the
// private one because the runtime directory is open to others (the clients must pass it over
// as the scale does, or they look where the scale did not put the socket).
struct ClientRun {
    int code;
    std::string out;
};

ClientRun run_client(const std::string& program, const std::vector<std::string>& args, Scale& scale,
                     const std::string& name) {
    Process p(program, args, scale.dir.path(), scale.client_env(), scale.dir.file(name));
    int code = p.wait_exit(30000);
    return {code, p.out() + p.err()};
}

enum class Place { runtime_directory, private_directory, open_runtime_directory };

void both_clients(Place place, bool c_first) {
    const std::string pipe = "doc-example-" + std::to_string(::getpid());
    Options options{.pipe_name = pipe, .watch_display = true};
    TempDir open;
    // An empty XDG_RUNTIME_DIR counts as none: the socket then goes into the private directory.
    if (place == Place::private_directory) options.env["XDG_RUNTIME_DIR"] = "";
    if (place == Place::open_runtime_directory) {
        ASSERT_EQ(::chmod(open.path().c_str(), 0777), 0);
        options.env["XDG_RUNTIME_DIR"] = open.path();
    }
    Scale scale(options);  // the ECR's one connection is left to the clients
    ASSERT_TRUE(scale.ready()) << scale.tarvelo->err();
    ASSERT_EQ(scale.board_line_shown("weight 1234"), "");
    const std::string c = EXAMPLE_C_CLIENT, py = PYTHON3;
    const std::string py_script = SOURCE_DIR "/docs/examples/ecr_client.py";
    auto run = [&](bool c_client, const std::string& price, const std::string& name) {
        return c_client ? run_client(c, {pipe, price}, scale, name)
                        : run_client(py, {py_script, pipe, price}, scale, name);
    };
    ClientRun first = run(c_first, "299", "first");
    EXPECT_EQ(first.code, 0) << first.out;
    EXPECT_NE(first.out.find("unit price 299 accepted\n"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("weight 1234 g, unit price 299, total price 369\n"), std::string::npos)
        << first.out;
    ClientRun second = run(!c_first, "150", "second");
    EXPECT_EQ(second.code, 1) << second.out;
    EXPECT_NE(second.out.find("unit price refused: status 2 1"), std::string::npos) << second.out;
    EXPECT_NE(second.out.find("scale data refused: status 2 1"), std::string::npos) << second.out;
    if (place == Place::open_runtime_directory) {
        EXPECT_TRUE(std::filesystem::is_empty(open.path()));
        for (const ClientRun* r : {&first, &second})
            EXPECT_NE(r->out.find(open.path().string() + " passed over"), std::string::npos)
                << r->out;
    }
}

TEST(ExampleClients, SellAndReportRefusalsInTheRuntimeDirectory) {
    both_clients(Place::runtime_directory, true);
}

TEST(ExampleClients, SellAndReportRefusalsInThePrivateDirectory) {
    both_clients(Place::private_directory, false);
}

TEST(ExampleClients, PassOverAnOpenRuntimeDirectoryAsTheScaleDoes) {
    both_clients(Place::open_runtime_directory, true);
    both_clients(Place::open_runtime_directory, false);
}

// A scale that already serves another ECR closes each further connection unread: the clients
// say so and end with 2, the C client not killed by the write to a closed connection.
TEST(ExampleClients, TellAScaleThatServesAnotherEcr) {
    const std::string pipe = "doc-busy-" + std::to_string(::getpid());
    Scale scale(Options{.pipe_name = pipe});
    ASSERT_TRUE(scale.ready()) << scale.tarvelo->err();
    ASSERT_EQ(scale.exchange(std::string("\x04\x02", 2) + "08\x03"), status_reply("00"));
    const std::string py = SOURCE_DIR "/docs/examples/ecr_client.py";
    for (const ClientRun& r : {run_client(EXAMPLE_C_CLIENT, {pipe, "299"}, scale, "c"),
                               run_client(PYTHON3, {py, pipe, "299"}, scale, "py")}) {
        EXPECT_EQ(r.code, 2) << r.out;
        EXPECT_NE(r.out, "");
        EXPECT_EQ(r.out.find("Traceback"), std::string::npos) << r.out;
    }
}

// A peer that refuses the scale data and then goes before it tells why (a scale that ends): the
// clients report the refusal without its reason and end with 1, the Python one without a trace.
TEST(ExampleClients, ReportARefusalWhoseReasonNeverCame) {
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0700), 0);
    const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", dir.file("peer").c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 2), 0);
    std::thread peer([listener] {
        for (int client = 0; client < 2; ++client) {
            const int fd = ::accept(listener, nullptr, nullptr);
            for (const char reply : {'\x06', '\x15'}) {  // ACK the unit price, NAK the ENQ
                for (char c = 0; c != '\x03' && c != '\x05' && ::read(fd, &c, 1) == 1;) {
                }
                (void)!::write(fd, &reply, 1);
            }
            ::close(fd);  // before the answer to record 08
        }
    });
    const std::map<std::string, std::string> env{{"XDG_RUNTIME_DIR", dir.path().string()}};
    const std::string py = SOURCE_DIR "/docs/examples/ecr_client.py";
    for (const auto& args : {std::vector<std::string>{EXAMPLE_C_CLIENT, "peer", "299"},
                             std::vector<std::string>{PYTHON3, py, "peer", "299"}}) {
        Process p(args[0], {args.begin() + 1, args.end()}, dir.path(), env, dir.file("client"));
        const int code = p.wait_exit(30000);
        const std::string out = p.out() + p.err();
        EXPECT_EQ(code, 1) << args[0] << ": " << out;
        EXPECT_NE(out.find("scale data refused"), std::string::npos) << out;
        EXPECT_EQ(out.find("Traceback"), std::string::npos) << out;
    }
    peer.join();
    ::close(listener);
}

}  // namespace
}  // namespace tarvelo::test
