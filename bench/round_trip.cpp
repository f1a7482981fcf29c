#include "bench/round_trip.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "bench/bench_fakes.h"
#include "bench/board_line.h"
#include "ecr/pipe_server.h"
#include "scale/weighing_facade.h"
#include "scale/xon_board.h"
#include "tests/support/test_support.h"

namespace tarvelo::bench {
namespace {

using Steady = std::chrono::steady_clock;

double ms_between(Steady::time_point a, Steady::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

enum class Mark { sleep_begin, sleep_end, log_line, snapshot, snapshot_done, reply_write };

struct Event {
    Mark mark;
    Steady::time_point at;
    int ms = 0;  // the length of a pause asked for
};

// Keeps every mark the serve loop leaves, in order, without taking a lock or allocating on the
// loop's thread. The log's date stamp is the mark of a log line being begun.
class MarkBook {
  public:
    explicit MarkBook(size_t capacity) : events_(capacity) {}
    void mark(Mark m, int ms = 0) {
        size_t i = next_.fetch_add(1);
        if (i < events_.size()) events_[i] = {m, Steady::now(), ms};
    }
    std::vector<Event> events() const {
        return {events_.begin(),
                events_.begin() + static_cast<long>(std::min(next_.load(), events_.size()))};
    }

  private:
    std::vector<Event> events_;
    std::atomic<size_t> next_{0};
};

class MarkingClock : public SystemClock {
  public:
    explicit MarkingClock(MarkBook& book) : book_(book) {}
    void sleep_ms(int ms) override {
        book_.mark(Mark::sleep_begin, ms);
        SystemClock::sleep_ms(ms);
        book_.mark(Mark::sleep_end);
    }
    LocalTime local_time() override {
        book_.mark(Mark::log_line);
        return SystemClock::local_time();
    }

  private:
    MarkBook& book_;
};

// The scale as the ECR link reaches it: the real facade and board driver, its snapshots marked.
class MarkingScale : public WeighingFacade {
  public:
    MarkingScale(MarkBook& book, const Parts& parts) : WeighingFacade(parts), book_(book) {}
    void get_snapshot(weighing_snapshot* out) override {
        book_.mark(Mark::snapshot);
        WeighingFacade::get_snapshot(out);
        book_.mark(Mark::snapshot_done);
    }

  private:
    MarkBook& book_;
};

// The serve loop writes its reply with send(2): the benchmark stands in for the C library's
// send to mark the moment, on the loop's thread only.
MarkBook* g_book = nullptr;
thread_local bool t_serve_loop = false;

}  // namespace
}  // namespace tarvelo::bench

extern "C" ssize_t send(int fd, const void* data, size_t length, int flags) {
    if (tarvelo::bench::t_serve_loop && tarvelo::bench::g_book)
        tarvelo::bench::g_book->mark(tarvelo::bench::Mark::reply_write);
    return syscall(SYS_sendto, fd, data, length, flags, nullptr, 0);
}

namespace tarvelo::bench {
namespace {

// Why the last request was refused, by record 08.
std::string refusal(PipeClient& client) {
    client.write_all(
        "\x04\x02"
        "08\x03",
        5);
    std::string reply;
    uint8_t b = 0;
    while (client.read_byte(b, 4000) == PipeClient::Read::byte) {
        reply += static_cast<char>(b);
        if (b == 0x03) break;
    }
    if (reply.size() != 7) return "no status";
    return std::string("status ") + reply[4] + reply[5] +
           (reply.substr(4, 2) == "01"   ? " (the board's link was lost)"
            : reply.substr(4, 2) == "20" ? " (no stable weight)"
                                         : "");
}

struct ClientTimes {
    Steady::time_point sent, first, last;
};

// The first mark of `kind` at or after `from` (by position), or events.size().
size_t find(const std::vector<Event>& events, size_t from, Mark kind) {
    while (from < events.size() && events[from].mark != kind) ++from;
    return from;
}

// Splits each round trip by the loop's marks that fall inside it.
std::vector<RoundTripStages> stages(const std::vector<Event>& events,
                                    const std::vector<ClientTimes>& client) {
    std::vector<RoundTripStages> out;
    size_t pos = 0;
    for (const ClientTimes& c : client) {
        RoundTripStages s;
        s.total = ms_between(c.sent, c.last);
        s.drain = ms_between(c.first, c.last);
        // The request's "receive" line, and the pause that ended before it.
        size_t line1 = pos;
        while ((line1 = find(events, line1, Mark::log_line)) < events.size() &&
               events[line1].at < c.sent)
            ++line1;
        size_t snap = find(events, line1, Mark::snapshot);
        size_t snap_done = find(events, snap, Mark::snapshot_done);
        size_t line2 = find(events, snap_done, Mark::log_line);
        size_t write = find(events, line2, Mark::reply_write);
        if (write >= events.size()) break;
        size_t end = line1;
        while (end > 0 && events[end].mark != Mark::sleep_end) --end;
        size_t begin = end;
        while (begin > 0 && events[begin].mark != Mark::sleep_begin) --begin;
        if (events[end].at <= c.sent) {
            // The loop was already waiting for the request's first byte.
            s.read = ms_between(c.sent, events[line1].at);
        } else {
            auto planned = events[begin].at + std::chrono::milliseconds(events[begin].ms);
            s.late_pause = std::max(0.0, ms_between(c.sent, events[begin].at));
            s.pause_left = std::max(0.0, ms_between(c.sent, planned)) - s.late_pause;
            s.overshoot = ms_between(std::max(planned, c.sent), events[end].at);
            s.read = ms_between(events[end].at, events[line1].at);
        }
        s.log_receive = ms_between(events[line1].at, events[snap].at);
        s.snapshot = ms_between(events[snap].at, events[snap_done].at);
        s.dispatch = ms_between(events[snap_done].at, events[line2].at);
        s.log_send = ms_between(events[line2].at, events[write].at);
        s.wake = ms_between(events[write].at, c.first);
        out.push_back(s);
        pos = write + 1;
    }
    return out;
}

}  // namespace

double quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t i = static_cast<size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(i, values.size() - 1)];
}

RoundTrips measure_round_trips(int count, Wakeups ceiling) {
    constexpr int kWarmUp = 100;
    RoundTrips result;
    test::TempDir dir;
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);
    MarkBook book(static_cast<size_t>(kWarmUp + count) * 8 + 64);
    MarkingClock clock(book);
    EventLog log(100, clock, dir.path());
    std::unique_ptr<BoardLine> board = BoardLine::create(100, 1234);
    if (!board) return {{}, "no pseudo-terminal for the board's line", {}};
    XonBoard xon(system_clock(), [](const std::string&) {});
    SaleState sale;
    SavedSnapshot saved;
    WeighingFacade::Parts facade_parts;
    facade_parts.xon = &xon;
    facade_parts.saved = &saved;
    facade_parts.clock = &system_clock();
    MarkingScale facade(book, facade_parts);
    test::RecordingSink owner;
    if (facade.open(&owner, board->device().c_str()) != 0)
        return {{}, "the driver could not open the board's line", {}};
    board->wait_written();
    weighing_snapshot settled;
    test::wait_until([&] { return facade.get_snapshot(&settled), settled.stable == 1; }, 5000);
    NullDisplay display;
    RecordDispatcher dispatcher(
        {&facade, &sale, &saved, &display, &log, &clock, EcrSettings{0, 1, 0}, nullptr});
    std::atomic<int32_t> ready{1};
    PipeServerThread server({"report", &dispatcher, &log, &clock, &ready, nullptr, ceiling});
    g_book = &book;
    std::thread thread([&] {
        t_serve_loop = true;
        server.run();
    });
    std::unique_ptr<PipeClient> client;
    test::wait_until(
        [&] { return (client = PipeClient::connect("report").value_or(nullptr)) != nullptr; },
        5000);
    std::vector<ClientTimes> times;
    times.reserve(static_cast<size_t>(count));
    size_t first_measured_mark = 0;
    for (int i = 0; i < kWarmUp + count && client; ++i) {
        sale.weight_sent = 0;  // the display's weight-change rule, done here
        if (i == kWarmUp) first_measured_mark = book.events().size();
        ClientTimes t;
        t.sent = Steady::now();
        client->write_all("\x04\x05", 2);
        uint8_t b = 0;
        bool first = true;
        PipeClient::Read r;
        while ((r = client->read_byte(b, 4000)) == PipeClient::Read::byte) {
            if (first) t.first = Steady::now();
            first = false;
            if (b == 0x03 || b == 0x15) break;
        }
        t.last = Steady::now();
        if (r != PipeClient::Read::byte) {
            result.failure = "the scale did not answer an ENQ within 4 s";
            break;
        }
        if (b == 0x15) {
            result.failure = "the scale refused an ENQ: " + refusal(*client);
            break;
        }
        if (i >= kWarmUp) times.push_back(t);
    }
    if (!client) result.failure = "could not connect to the serve loop";
    result.wakeups = wakeups_name(server.wakeups());
    client.reset();
    server.stop();
    thread.join();
    g_book = nullptr;
    std::vector<Event> events = book.events();
    // Start at the pause before the first measured request.
    size_t from = first_measured_mark > 0 ? first_measured_mark - 1 : 0;
    while (from > 0 && events[from].mark != Mark::sleep_begin) --from;
    result.trips = stages({events.begin() + static_cast<long>(from), events.end()}, times);
    return result;
}

}  // namespace tarvelo::bench
