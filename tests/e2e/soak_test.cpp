// Ten thousand ECR requests of mixed kinds against the real programs, a reconnection every
// 500, and a board that damages one frame in a hundred: nothing crashes, every reply is well
// formed, and the scale's memory does not grow.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/pipe_endpoint.h"
#include "tests/support/process.h"
#include "tests/support/test_support.h"

namespace tarvelo::test {
namespace {

bool well_formed(const std::string& r) {
    if (r == "\x06" || r == "\x15") return true;
    if (r.size() < 3 || r[0] != 0x02 || r.back() != 0x03) return false;
    std::string n = r.substr(1, 2);
    return ((n == "02" || n == "32") && r.size() == 26) || (n == "22" && r.size() == 12) ||
           (n == "09" && r.size() == 7);
}

TEST(Soak, TenThousandRequestsWithReconnectsAndDamagedFrames) {
    TempDir dir;
    Process board(
        BIN_DIR "/boardsim",
        {"--link", dir.file("board"), "--rate", "20", "--corrupt-percent", "1", "--weight", "1000"},
        dir.path(), {}, dir.file("boardsim"));
    ASSERT_TRUE(board.wait_output("ready:", 5000));
    std::ofstream(dir.file("tarvelo.ini"))
        << "[windowMain1]\nw=400\nh=60\nweight_fg=50\n[scale]\nserial_port=" << dir.file("board")
        << "\npipe_name=ecr\nlog_fg=1000\n";
    Process scale(BIN_DIR "/tarvelo", {}, dir.path(),
                  {{"XDG_RUNTIME_DIR", dir.path()},
                   {"QT_QPA_PLATFORM", "offscreen"},
                   {"TARVELO_TIME_DIVISOR", "20"}},
                  dir.file("tarvelo"));
    ASSERT_TRUE(scale.wait_output("tarvelo: scale ready", 20000)) << scale.err();
    setenv("XDG_RUNTIME_DIR", dir.path().c_str(), 1);

    const std::vector<std::string> requests = {
        "\x04\x05",  // scale data (once per weighing, then refused)
        "\x04\x02"
        "08\x03",  // status
        "\x04\x11",
        "\x04\x12",  // show, hide
        "\x04\x02"
        "21\x03",  // tare
        "\x04\x02"
        "01\x1b"
        "000150\x1b\x03",  // unit price
        "\x04\x02"
        "30\x03",  // quantity mode
        "\x04\x02"
        "33\x1b"
        "000250\x1b"
        "0003\x03",  // quantity price
        "\x04\x05",  // quantity data
        "\x04\x02"
        "00\x03",  // weight mode
        "\x04\x02"
        "99\x1b"
        "xx\x03",  // an unknown record
    };
    std::unique_ptr<PipeClient> client;
    long rss_early = 0;
    int malformed = 0, unanswered = 0;
    for (int i = 0; i < 10000; ++i) {
        if (i % 500 == 0) {
            client.reset();
            auto connected = PipeClient::connect("ecr");
            ASSERT_TRUE(connected) << connected.error();
            client = connected.take();
        }
        if (i % 97 == 0) client->write_all("garbage\x03", 8);  // no reply, the next one is read
        const std::string& request = requests[static_cast<size_t>(i) % requests.size()];
        client->write_all(request.data(), request.size());
        std::string reply;
        uint8_t b;
        while (client->read_byte(b, 5000) == PipeClient::Read::byte) {
            reply.push_back(static_cast<char>(b));
            if ((reply.size() == 1 && (b == 0x06 || b == 0x15)) || b == 0x03) break;
        }
        if (reply.empty())
            ++unanswered;
        else if (!well_formed(reply))
            ++malformed;
        if (i == 1000) rss_early = resident_kib(scale.pid());
        if (unanswered >= 3) {
            std::string logs;
            for (auto& e : std::filesystem::directory_iterator(dir.path()))
                if (e.path().filename().string().rfind("log_", 0) == 0) logs += read_file(e.path());
            FAIL() << "request " << i << " unanswered; scale said: " << scale.err()
                   << "\nlog tail: " << logs.substr(logs.size() > 2000 ? logs.size() - 2000 : 0);
        }
    }
    EXPECT_EQ(malformed, 0);
    EXPECT_EQ(unanswered, 0);
    EXPECT_TRUE(scale.running());
    long rss_late = resident_kib(scale.pid());
    ASSERT_GT(rss_early, 0);
    EXPECT_LT(rss_late - rss_early, 4096)
        << "resident memory grew from " << rss_early << " to " << rss_late << " KiB";
    RecordProperty("rss_kib_after_1000", std::to_string(rss_early));
    RecordProperty("rss_kib_after_10000", std::to_string(rss_late));
}

}  // namespace
}  // namespace tarvelo::test
