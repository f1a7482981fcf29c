#include "ecr/pipe_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/ecr/cs_kw_client.h"
#include "tests/ecr/ecr_fakes.h"
#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

// An ECR on the socket: sends requests, reads one reply (ACK, NAK, or STX ... ETX).
class Ecr {
  public:
    explicit Ecr(const std::string& name) {
        auto connected = PipeClient::connect(name);
        EXPECT_TRUE(connected) << connected.error();
        client_ = connected.value_or(nullptr);
    }
    bool connected() const { return client_ != nullptr; }
    // True when the server closes the connection within timeout_ms without a byte.
    bool closed_unanswered(int timeout_ms = 2000) {
        uint8_t b;
        return client_->read_byte(b, timeout_ms) == PipeClient::Read::closed;
    }
    void send(const std::string& bytes) { ASSERT_TRUE(try_send(bytes)); }
    bool try_send(const std::string& bytes) {
        return client_->write_all(bytes.data(), bytes.size());
    }
    std::string reply(int timeout_ms = 3000) {
        std::string got;
        uint8_t b;
        while (client_->read_byte(b, timeout_ms) == PipeClient::Read::byte) {
            got.push_back(static_cast<char>(b));
            if (got.size() == 1 && (b == 0x06 || b == 0x15)) break;
            if (b == 0x03) break;
        }
        return got;
    }
    std::string exchange(const std::string& bytes) {
        send(bytes);
        return reply();
    }

  private:
    std::unique_ptr<PipeClient> client_;
};

const std::string ENQ = "\x04\x05";
const std::string DATA_1000 =
    "\x02"
    "02\x1b"
    "3\x1b"
    "01000\x1b"
    "000000\x1b"
    "000000\x03";

// Lets the serve loop's first pauses pass and holds every later one until released.
class HeldPauses : public SystemClock {
  public:
    explicit HeldPauses(int free) : free_(free) {}
    void sleep_ms(int ms) override {
        std::unique_lock<std::mutex> lock(mutex_);
        ++pauses_;
        released_changed_.wait(lock, [&] { return pauses_ <= free_ || released_; });
        lock.unlock();
        SystemClock::sleep_ms(ms);
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex_);
        released_ = true;
        released_changed_.notify_all();
    }

  private:
    const int free_;
    std::mutex mutex_;
    std::condition_variable released_changed_;
    int pauses_ = 0;
    bool released_ = false;
};

class PipeServerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
        name_ = "scale-" + std::to_string(::getpid());
    }
    void TearDown() override {
        held_pauses_.release();
        if (server_) server_->stop();
        if (thread_.joinable()) thread_.join();
        unsetenv("XDG_RUNTIME_DIR");
    }
    RecordDispatcher::Parts dispatcher_parts(uint8_t verify = 0) {
        RecordDispatcher::Parts parts;
        parts.scale = &scale_;
        parts.sale = &sale_;
        parts.saved = &saved_;
        parts.display = &display_;
        parts.log = &log_;
        parts.clock = &system_clock();
        parts.settings = EcrSettings{verify, 1, 1};
        parts.random_source = [] { return uint8_t{0x9E}; };
        return parts;
    }
    void start(uint8_t verify = 0, Clock* loop_clock = &system_clock(),
               TrafficCapture* capture = nullptr) {
        dispatcher_ = std::make_unique<RecordDispatcher>(dispatcher_parts(verify));
        server_ = std::make_unique<PipeServerThread>(
            PipeServerThread::Parts{name_, dispatcher_.get(), &log_, loop_clock, &ready_, capture});
        thread_ = std::thread([this] { result_ = server_->run(); });
        ASSERT_TRUE(test::wait_until([&] { return std::filesystem::exists(dir_.file(name_)); }));
    }
    std::string logged() { return test::read_file(dir_.file(log_.current_file())); }

    test::TempDir dir_;
    std::string name_;
    test::FakeScale scale_;
    SaleState sale_;
    SavedSnapshot saved_;
    test::FakeDisplay display_;
    test::FakeClock log_clock_;
    EventLog log_{10000, log_clock_, dir_.path()};
    std::atomic<int32_t> ready_{1};
    HeldPauses held_pauses_{1};  // for a test that starts the loop on it
    std::unique_ptr<RecordDispatcher> dispatcher_;
    std::unique_ptr<PipeServerThread> server_;
    std::thread thread_;
    std::atomic<int> result_{1};
};

TEST_F(PipeServerTest, NothingIsReadBeforeTheDisplayIsReady) {
    ready_ = 0;
    start();
    Ecr ecr(name_);
    ecr.send(ENQ);
    EXPECT_EQ(ecr.reply(200), "");
    ready_ = 1;
    EXPECT_EQ(ecr.reply(), DATA_1000);
    std::string log = logged();
    EXPECT_NE(log.find("-> create named pipe '" + name_ + "': ok\n"), std::string::npos);
    EXPECT_NE(log.find("-> connect pipe client: ok\n"), std::string::npos);
    EXPECT_NE(log.find("-> verify: disabled\n"), std::string::npos);
}

TEST_F(PipeServerTest, FramingEdgeCases) {
    start();
    Ecr ecr(name_);
    // An ENQ inside the text cuts the record short: refused for its length; the rest of it is
    // not a request at all and gets no reply.
    ecr.send(
        "\x04\x02"
        "04\x1b"
        "000150\x1b"
        "AB\x05"
        "CDEFGHIJK\x03");
    EXPECT_EQ(ecr.reply(), "\x15");
    // 255 bytes without a terminator are one (over-long) frame; the following bytes the next.
    ecr.send("\x04\x02" + std::string(253, 'x'));
    EXPECT_EQ(ecr.reply(), "\x15");
    ecr.send("yy\x03");  // not EOT: no reply, not even NAK
    ecr.send("\x01\x05");
    EXPECT_EQ(ecr.exchange("\x04\x02"
                           "08\x03"),
              "\x02"
              "09\x1b"
              "10\x03");
    EXPECT_EQ(ecr.exchange(ENQ), DATA_1000);
    auto invalid_lines = [&] {
        std::string log = logged();
        size_t n = 0;
        for (size_t pos = 0;
             (pos = log.find("-> receive: invalid command\n", pos)) != std::string::npos; ++pos)
            ++n;
        return n;
    };
    EXPECT_EQ(invalid_lines(), 3u);
    // The second byte decides what is a request: DC2 is one, ACK is not.
    EXPECT_EQ(ecr.exchange("\x04\x12"), "\x06");
    ecr.send("\x04\x06\x03");
    EXPECT_EQ(ecr.exchange("\x04\x11"), "\x06");  // the first reply after it is DC1's
    EXPECT_EQ(invalid_lines(), 4u);
}

TEST_F(PipeServerTest, VerificationSurvivesAReconnection) {
    start(1);
    {
        Ecr first(name_);
        EXPECT_EQ(first.exchange(ENQ),
                  "\x02"
                  "11\x1b"
                  "29e\x03");
        EXPECT_EQ(first.exchange(test::record10({0x1357, 0x2468}, 0x9E)), "\x06");
        EXPECT_EQ(first.exchange(ENQ),
                  "\x02"
                  "11\x1b"
                  "1\x03");
    }
    Ecr second(name_);
    EXPECT_EQ(second.exchange(ENQ), DATA_1000);  // no new handshake
    EXPECT_NE(logged().find("-> receive data: error\n"), std::string::npos);
    EXPECT_NE(logged().find("-> verify: enabled\n"), std::string::npos);
}

TEST_F(PipeServerTest, OutlivesEveryKindOfBadClient) {
    start();
    {
        Ecr garbage(name_);
        garbage.send(std::string(600, '\x7f'));
        garbage.send(
            "\x04\x02"
            "0");  // and half a frame
    }
    { Ecr silent(name_); }  // connects and leaves without a byte
    {
        Ecr vanishing(name_);
        vanishing.send(
            "\x04\x02"
            "04\x1b"
            "0001");
    }
    for (int i = 0; i < 20; ++i) {
        Ecr burst(name_);
        if (i % 2) burst.send("\x04");
    }
    Ecr good(name_);
    ASSERT_TRUE(good.connected());
    EXPECT_EQ(good.exchange(ENQ), DATA_1000);
    EXPECT_EQ(good.exchange("\x04\x11"), "\x06");
}

// A capture holds every request as the scale read it (one that got no answer, one cut off by
// the ECR leaving), every reply as written, and each connection's coming and going, in order.
TEST_F(PipeServerTest, ACaptureHoldsEveryExchange) {
    TrafficCapture capture([](const std::string&) {});
    capture::Header header;
    header.board = "xon";
    capture.identify(header);
    ASSERT_TRUE(capture.start(dir_.file("shop.txt"), true));
    start(0, &system_clock(), &capture);
    {
        Ecr first(name_);
        EXPECT_EQ(first.exchange(ENQ), DATA_1000);
        first.send("A\x05");  // no EOT: no reply
        first.send(
            "\x04\x02"
            "04");  // and gone before its end
    }
    Ecr second(name_);
    EXPECT_EQ(second.exchange("\x04\x11"), "\x06");
    server_->stop();
    thread_.join();
    capture.stop();
    auto parsed = capture::parse(test::read_file(dir_.file("shop.txt")));
    ASSERT_TRUE(parsed) << parsed.error();
    std::vector<std::string> got;
    for (const capture::Record& r : parsed->records)
        got.push_back(std::string(capture::kind_name(r.kind)) + " " +
                      capture::hex_text(r.bytes.data(), r.bytes.size()));
    const std::vector<std::string> expected = {
        "ecr-connect ",
        "ecr>scale 04 05",
        "scale>ecr 02 30 32 1B 33 1B 30 31 30 30 30 1B 30 30 30 30 30 30 1B 30 30 30 30 30 30 03",
        "ecr>scale 41 05",
        "ecr>scale 04 02 30 34",
        "ecr-disconnect ",
        "ecr-connect ",
        "ecr>scale 04 11",
        "scale>ecr 06",
        "end "};
    EXPECT_EQ(got, expected);
}

// The pipe has one instance: a second ECR is turned away at once, and nothing it sent before
// it gave up is ever acted on, neither while the first is served nor after it has left.
TEST_F(PipeServerTest, OneEcrAtATime) {
    start();
    auto first = std::make_unique<Ecr>(name_);
    EXPECT_EQ(first->exchange(ENQ), DATA_1000);  // now being served
    {
        Ecr second(name_);
        ASSERT_TRUE(second.connected());
        second.try_send(
            "\x04\x02"
            "01\x1b"
            "000999\x1b\x03");  // a price of 9.99 (may find it closed)
        second.try_send(ENQ);
        EXPECT_TRUE(second.closed_unanswered());
    }
    EXPECT_EQ(first->exchange("\x04\x02"
                              "01\x1b"
                              "000150\x1b\x03"),
              "\x06");
    EXPECT_EQ(sale_.unit_price.load(), 150);
    first.reset();
    // An ECR that comes back at once, before the server has seen the last one go, is served.
    Ecr next(name_);
    EXPECT_EQ(next.exchange("\x04\x02"
                            "08\x03"),
              "\x02"
              "09\x1b"
              "00\x03");
    EXPECT_EQ(sale_.unit_price.load(), 150);
    {
        Ecr third(name_);  // while `next` is served, the pipe is taken again
        third.try_send(ENQ);
        EXPECT_TRUE(third.closed_unanswered());
    }
    EXPECT_EQ(logged().find("000999"), std::string::npos)
        << "a turned-away client's record was read";
}

// ECRs that come one after another, each as soon as the one before has left, are all served:
// the guard that turns away a second ECR while one is served never takes the next one for a
// second ECR (both threads wake for each new connection, and the server may take it first).
TEST_F(PipeServerTest, EcrsOneAfterAnotherAreAllServed) {
    start();
    auto departures = [&] {
        const std::string log = logged();
        int n = 0;
        for (auto at = log.find("receive data: error"); at != std::string::npos;
             at = log.find("receive data: error", at + 1))
            ++n;
        return n;
    };
    for (int round = 0; round < 100; ++round) {
        {
            Ecr ecr(name_);
            ASSERT_TRUE(ecr.connected());
            ASSERT_EQ(ecr.exchange("\x04\x11"), "\x06") << "turned away in round " << round;
        }
        // The next one comes once the server has seen this one go, and waits for the next.
        ASSERT_TRUE(test::wait_until([&] { return departures() > round; }));
    }
}

// Nothing a client sent is acted on once it has gone: not the request it left behind while it
// was served, nor what it queued behind a leaving client and then gave up on.
TEST_F(PipeServerTest, AClientThatLeftIsNeverActedOn) {
    start(0, &held_pauses_);  // the pause after the first reply holds until the clients have gone
    scale_.unstable_reads = std::vector<bool>(30, true);  // an ENQ would take a while to settle
    {
        Ecr a(name_);
        EXPECT_EQ(a.exchange("\x04\x02"
                             "08\x03"),
                  "\x02"
                  "09\x1b"
                  "00\x03");  // served
        a.send(ENQ);          // and leaves without waiting for the answer
    }
    {
        Ecr b(name_);
        b.try_send(
            "\x04\x02"
            "01\x1b"
            "000999\x1b\x03");
    }
    held_pauses_.release();
    Ecr c(name_);
    EXPECT_EQ(c.exchange("\x04\x02"
                         "01\x1b"
                         "000150\x1b\x03"),
              "\x06");
    EXPECT_EQ(sale_.unit_price.load(), 150);
    EXPECT_EQ(sale_.weight_sent.load(), 0) << "a weight was sent to nobody";
    EXPECT_EQ(logged().find("000999"), std::string::npos);
}

// An orderly shut-down may come before the server has made its pipe: run() must not then wait
// for a client for ever.
TEST_F(PipeServerTest, AStopBeforeTheRunEndsIt) {
    RecordDispatcher dispatcher(dispatcher_parts());
    PipeServerThread server({name_, &dispatcher, &log_, &system_clock(), &ready_});
    server.stop();
    std::atomic<bool> done{false};
    std::thread run([&] {
        server.run();
        done = true;
    });
    EXPECT_TRUE(test::wait_until([&] { return done.load(); }, 2000));
    if (!done) server.stop();  // the server exists now: this one reaches it
    run.join();
}

// A clock whose every reading comes `late_us` after the one before, as if the thread had been
// kept from the processor that long between any two; it records the pauses asked for.
class LateClock : public SystemClock {
  public:
    explicit LateClock(int64_t late_us) : late_us_(late_us) {}
    int64_t now_us() override { return now_ += late_us_; }
    void sleep_ms(int ms) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            pauses_.push_back(ms);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    std::vector<int> pauses() {
        std::lock_guard<std::mutex> lock(mutex_);
        return pauses_;
    }

  private:
    const int64_t late_us_;
    std::atomic<int64_t> now_{0};
    std::mutex mutex_;
    std::vector<int> pauses_;
};

// The pause after a reply counts from the reply: time the thread lost between its reply and its
// pause is not waited again, and the next read never comes sooner than 10 ms after the reply.
// A pass without a reply pauses the whole 10 ms.
TEST_F(PipeServerTest, ThePauseAfterAReplyCountsFromTheReply) {
    const struct {
        int64_t late_us;
        int pause_ms;
    } rows[] = {{300, 10}, {4000, 6}, {9999, 1}, {12500, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.late_us);
        LateClock clock(row.late_us);
        dispatcher_ = std::make_unique<RecordDispatcher>(dispatcher_parts());
        PipeServerThread server({name_, dispatcher_.get(), &log_, &clock, &ready_});
        std::thread run([&] { server.run(); });
        const bool up = test::wait_until([&] { return std::filesystem::exists(dir_.file(name_)); });
        if (up) {
            Ecr ecr(name_);
            EXPECT_EQ(ecr.exchange(ENQ), DATA_1000);
            ecr.send("\x01\x05");                  // no request: no reply
            EXPECT_EQ(ecr.exchange(ENQ), "\x15");  // the weight was sent already
            EXPECT_TRUE(test::wait_until([&] { return clock.pauses().size() >= 4; }));
        }
        server.stop();
        run.join();
        ASSERT_TRUE(up);
        std::vector<int> pauses = clock.pauses();
        pauses.resize(4);
        EXPECT_EQ(pauses, (std::vector<int>{10, row.pause_ms, 10, row.pause_ms}));
        sale_.weight_sent = 0;
    }
}

TEST_F(PipeServerTest, ASecondServerOnTheSameNameEndsAtOnce) {
    start();
    test::FakeClock clock;
    EventLog other_log(100, clock, dir_.file("other"));
    std::filesystem::create_directory(dir_.file("other"));
    PipeServerThread second({name_, dispatcher_.get(), &other_log, &system_clock(), &ready_});
    EXPECT_EQ(second.run(), -1);
    EXPECT_NE(test::read_file(dir_.file("other/" + other_log.current_file()))
                  .find("-> create named pipe '" + name_ + "': error\n"),
              std::string::npos);
}

}  // namespace
}  // namespace tarvelo
