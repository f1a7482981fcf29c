// The figures the scale is held to, each printed with its target:
//   - ECR round trip, ENQ to record 02 on a stable scale, over the real socket and through the
//     real serve loop with its 10 ms pause: p50 and p99 as a multiple of that pause;
//   - decoder throughput of both boards' frames as a multiple of the 38400 baud line rate;
//   - idle CPU (percent of one core) and resident memory of tarvelo, offscreen, with the board
//     streaming 10 frames a second.
// Usage: scale_report [--cpu-seconds N] (default 30)

#include <unistd.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "bench/bench_fakes.h"
#include "ecr/pipe_server.h"
#include "scale/letter_board_codec.h"
#include "scale/xon_board_codec.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

using namespace tarvelo;
using Steady = std::chrono::steady_clock;

namespace {

bool g_all_met = true;

void report(const char* what, double value, const char* unit, const char* target_text, bool met) {
    std::printf("%-52s %10.3f %-14s target %-14s %s\n", what, value, unit, target_text,
                met ? "met" : "NOT MET");
    g_all_met = g_all_met && met;
}

void round_trip() {
    test::TempDir dir;
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    SystemClock& clock = static_cast<SystemClock&>(system_clock());
    EventLog log(100, clock, dir.path());
    bench::ChangingScale scale;
    SaleState sale;
    SavedSnapshot saved;
    bench::NullDisplay display;
    RecordDispatcher dispatcher(
        {&scale, &sale, &saved, &display, &log, &clock, EcrSettings{0, 1, 0}, nullptr});
    std::atomic<int32_t> ready{1};
    PipeServerThread server({"report", &dispatcher, &log, &clock, &ready});
    std::thread thread([&] { server.run(); });
    std::unique_ptr<PipeClient> client;
    test::wait_until(
        [&] { return (client = PipeClient::connect("report").value_or(nullptr)) != nullptr; },
        5000);
    std::vector<double> ms;
    for (int i = 0; i < 600 && client; ++i) {
        sale.weight_sent = 0;  // the display's weight-change rule, done here
        auto start = Steady::now();
        client->write_all("\x04\x05", 2);
        uint8_t b = 0;
        while (client->read_byte(b, 2000) == PipeClient::Read::byte && b != 0x03) {
        }
        if (i >= 100)
            ms.push_back(std::chrono::duration<double, std::milli>(Steady::now() - start).count());
    }
    client.reset();
    server.stop();
    thread.join();
    std::sort(ms.begin(), ms.end());
    double p50 = ms[ms.size() / 2], p99 = ms[ms.size() * 99 / 100];
    report("ECR round trip ENQ->02, p50 / 10 ms pause", p50 / 10.0, "x", "(reported)", true);
    report("ECR round trip ENQ->02, p99 / 10 ms pause", p99 / 10.0, "x", "<= 1.3 x",
           p99 / 10.0 <= 1.3);
}

template <class Feed>
double throughput(const std::string& stream, Feed feed) {
    size_t bytes = 0;
    auto start = Steady::now();
    while (Steady::now() - start < std::chrono::seconds(2)) {
        for (char c : stream) feed(static_cast<uint8_t>(c));
        bytes += stream.size();
    }
    double seconds = std::chrono::duration<double>(Steady::now() - start).count();
    const double line_bytes_per_second = 38400.0 / 11.0;  // 8 data bits, parity, start and stop
    return bytes / seconds / line_bytes_per_second;
}

void decoders() {
    std::string xon_stream;
    for (int i = 0; i < 100; ++i)
        xon_stream +=
            "\x02"
            "0 01.234\r4 00.000\ra123456\ri654321\r\n01050\x03";
    xo::FrameReader xr;
    volatile int32_t sink = 0;
    double xon = throughput(xon_stream, [&](uint8_t b) {
        if (auto p = xr.feed(b))
            sink =
                sink + xo::parse_weight_frame(p->data(), p->size()).value_or(xo::StatusBlock{})[0];
    });
    std::string payload = "00001.234 40000.000  180800";
    std::string frame = "\x02" + payload + "\x03" +
                        static_cast<char>(lcmd::check_byte(
                            reinterpret_cast<const uint8_t*>(payload.data()), payload.size()));
    std::string letter_stream;
    for (int i = 0; i < 100; ++i) letter_stream += frame;
    lcmd::FrameReader lr;
    double letter = throughput(letter_stream, [&](uint8_t b) {
        if (auto f = lr.feed(b); f && f->result == 27)
            sink = sink + lcmd::decode_frame27(f->payload.data()).weight;
    });
    report("xon/xoff board frames decoded / 38400 baud", xon, "x line rate", ">= 10 x", xon >= 10);
    report("letter-command board frames decoded / 38400 baud", letter, "x line rate", ">= 10 x",
           letter >= 10);
}

long proc_ticks(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content((std::istreambuf_iterator<char>(stat)), {});
    std::istringstream rest(content.substr(content.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::atol(field.c_str());
        if (i == 15) stime = std::atol(field.c_str());
    }
    return utime + stime;
}

void idle_process(int seconds) {
    test::TempDir dir;
    test::Process board(BIN_DIR "/boardsim", {"--link", dir.file("board"), "--rate", "10"},
                        dir.path(), {}, dir.file("boardsim"));
    board.wait_output("ready:", 5000);
    std::ofstream(dir.file("tarvelo.ini"))
        << "[windowMain1]\nw=800\nh=60\napproval_fg=10\nscale_span_fg=10\ntare_fg=15\nweight_fg="
           "20\nuprice_fg=15\n"
           "tprice_fg=20\nzero_btn_fg=5\ntare_btn_fg=5\n[windowMain2]\nw=640\nh=200\nname_fg="
           "30\nweight_fg=50\n"
           "tprice_fg=50\n[scale]\nserial_port="
        << dir.file("board") << "\npipe_name=idle\n";
    test::Process scale(BIN_DIR "/tarvelo", {}, dir.path(),
                        {{"XDG_RUNTIME_DIR", dir.path()},
                         {"QT_QPA_PLATFORM", "offscreen"},
                         {"TARVELO_TIME_DIVISOR", "20"}},
                        dir.file("tarvelo"));
    if (!scale.wait_output("tarvelo: scale ready", 30000)) {
        std::printf("tarvelo did not start: %s\n", scale.err().c_str());
        g_all_met = false;
        return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    long t0 = proc_ticks(scale.pid());
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    long t1 = proc_ticks(scale.pid());
    double cpu =
        100.0 * static_cast<double>(t1 - t0) / static_cast<double>(sysconf(_SC_CLK_TCK)) / seconds;
    double rss = test::resident_kib(scale.pid()) / 1024.0;
    char what[80];
    std::snprintf(what, sizeof what, "tarvelo idle CPU over %d s, board at 10 frames/s", seconds);
    report(what, cpu, "% of a core", "< 1 %", cpu < 1.0);
    report("tarvelo resident memory", rss, "MB", "< 80 MB", rss < 80.0);
}

}  // namespace

int main(int argc, char** argv) {
    int cpu_seconds = 30;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--cpu-seconds")
            cpu_seconds = std::max(1, std::atoi(argv[i + 1]));
    round_trip();
    decoders();
    idle_process(cpu_seconds);
    std::printf("%s\n", g_all_met ? "every target met" : "some targets NOT met");
    return g_all_met ? 0 : 1;
}
