// The ECR link's cost per request: the dispatcher's ENQ path alone, and a whole request and
// reply over the real socket with the server loop's 10 ms pause taken out (its clock does not
// sleep), so that what remains is framing, dispatch, logging and the socket.

#include <benchmark/benchmark.h>

#include <unistd.h>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "bench/bench_fakes.h"
#include "ecr/ecr_frames.h"
#include "ecr/pipe_server.h"
#include "ecr/record_dispatcher.h"

namespace tarvelo {
namespace {

class NoSleepClock : public SystemClock {
  public:
    void sleep_ms(int) override {}
};

struct Rig {
    explicit Rig(uint32_t log_lines) : dir(make_dir()), log(log_lines, clock, dir) {
        RecordDispatcher::Parts parts;
        parts.scale = &scale;
        parts.sale = &sale;
        parts.saved = &saved;
        parts.display = &display;
        parts.log = &log;
        parts.clock = &clock;
        dispatcher = std::make_unique<RecordDispatcher>(parts);
        dispatcher->start();
    }
    ~Rig() { std::filesystem::remove_all(dir); }
    static std::string make_dir() {
        std::string pattern = "/tmp/tarvelo-bench-XXXXXX";
        return mkdtemp(pattern.data());
    }
    std::string dir;
    NoSleepClock clock;
    EventLog log;
    bench::ChangingScale scale;
    SaleState sale;
    SavedSnapshot saved;
    bench::NullDisplay display;
    std::unique_ptr<RecordDispatcher> dispatcher;
};

// Argument: log lines per file (0 = log off, as the cost of the file appends shows apart).
void BM_DispatchEnq(benchmark::State& state) {
    Rig rig(static_cast<uint32_t>(state.range(0)));
    const ecr::ReceiveBuffer enq{0x04, 0x05};
    for (auto _ : state) {
        rig.sale.weight_sent = 0;
        std::string reply = rig.dispatcher->dispatch_frame(enq, 2);
        benchmark::DoNotOptimize(reply);
    }
}
BENCHMARK(BM_DispatchEnq)->Arg(0)->Arg(100);

void BM_SocketRoundTrip(benchmark::State& state) {
    Rig rig(static_cast<uint32_t>(state.range(0)));
    setenv("XDG_RUNTIME_DIR", rig.dir.c_str(), 1);
    std::atomic<int32_t> ready{1};
    PipeServerThread server({"bench", rig.dispatcher.get(), &rig.log, &rig.clock, &ready});
    std::thread thread([&] { server.run(); });
    std::unique_ptr<PipeClient> client;
    for (int i = 0; i < 500 && !client; ++i) {
        client = PipeClient::connect("bench").value_or(nullptr);
        if (!client) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (!client) {
        state.SkipWithError("no server");
        server.stop();
        thread.join();
        return;
    }
    for (auto _ : state) {
        rig.sale.weight_sent = 0;
        client->write_all("\x04\x05", 2);
        uint8_t b = 0;
        while (client->read_byte(b, 1000) == PipeClient::Read::byte && b != 0x03) {
        }
    }
    client.reset();
    server.stop();
    thread.join();
}
BENCHMARK(BM_SocketRoundTrip)->Arg(0)->Arg(100)->UseRealTime();

}  // namespace
}  // namespace tarvelo

BENCHMARK_MAIN();
