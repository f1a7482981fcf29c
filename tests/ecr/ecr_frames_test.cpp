#include "ecr/ecr_frames.h"
#include "ecr/pipe_server.h"
#include "ecr/request_framer.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace tarvelo::ecr {
namespace {

TEST(EcrFrames, NumberFieldsKeepTheirWidthWithTheSignInside) {
    struct Case {
        int32_t weight, unit_price, total;
        const char* fields;
    } cases[] = {
        {1234, 150, 185,
         "01234\x1b"
         "000150\x1b"
         "000185"},
        {-12, 0, 0,
         "-0012\x1b"
         "000000\x1b"
         "000000"},
        {100000, 1000000, 1234567,
         "00000\x1b"
         "000000\x1b"
         "234567"},
        {123456, 999999, -5,
         "23456\x1b"
         "999999\x1b"
         "-00005"},
        {-100012, 0, 0,
         "-0012\x1b"
         "000000\x1b"
         "000000"},
        // A negative value with as many digits as its field would push the record a byte
        // longer: it keeps one digit fewer.
        {-12345, -499850, -1000000,
         "-2345\x1b"
         "-99850\x1b"
         "000000"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(encode_scale_data("02", c.weight, c.unit_price, c.total), std::string("\x02"
                                                                                        "02\x1b"
                                                                                        "3\x1b") +
                                                                                c.fields + "\x03")
            << c.weight;
    EXPECT_EQ(encode_scale_data("32", 3, 250, 750),
              "\x02"
              "32\x1b"
              "3\x1b"
              "00003\x1b"
              "000250\x1b"
              "000750\x03");
    EXPECT_EQ(encode_tare(150),
              "\x02"
              "22\x1b"
              "3\x1b"
              "00150\x03");
    EXPECT_EQ(encode_status('3', '0'),
              "\x02"
              "09\x1b"
              "30\x03");
    EXPECT_EQ(encode_cs_kw_request(0xAB),
              "\x02"
              "11\x1b"
              "2ab\x03");
    EXPECT_EQ(encode_cs_kw_request(0x05),
              "\x02"
              "11\x1b"
              "205\x03");
    EXPECT_EQ(encode_cs_kw_result(true),
              "\x02"
              "11\x1b"
              "1\x03");
    EXPECT_EQ(encode_cs_kw_result(false),
              "\x02"
              "11\x1b"
              "0\x03");
}

// The framing check the server loop and the fuzz target share: only EOT and then STX, ENQ, DC1
// or DC2 make a request; anything else is answered with nothing at all.
TEST(RequestFramer, WhichFramesAreRequests) {
    struct Case {
        std::string bytes;
        bool request;
    } cases[] = {
        {"\x04\x05", true},
        {"\x04\x11", true},
        {"\x04\x12", true},
        {"\x04\x02"
         "08\x03",
         true},
        {"\x04\x06\x03", false},
        {"\x04\x13\x03", false},
        {"\x01\x05", false},
        {"\x04\x03", false},
        {"\x05", false},
    };
    for (const Case& c : cases) {
        ReceiveBuffer buffer{};
        RequestFramer framer(buffer);
        size_t ends = 0;
        for (char b : c.bytes) ends += framer.feed(static_cast<uint8_t>(b));
        EXPECT_EQ(ends, 1u) << "one frame, ended by its last byte";
        EXPECT_EQ(is_request(framer.frame(), framer.length()), c.request)
            << ::testing::PrintToString(c.bytes);
    }
    ReceiveBuffer buffer{};
    RequestFramer framer(buffer);
    for (int i = 0; i < 254; ++i) EXPECT_FALSE(framer.feed('x'));
    EXPECT_TRUE(framer.feed('x'));  // 255 bytes without a terminator are a frame
    EXPECT_FALSE(framer.feed('y'));
    EXPECT_EQ(framer.length(), 1u);  // the next frame starts afresh, zeroed behind it
    EXPECT_EQ(framer.frame()[1], 0);
}

class ReceiveFrame : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds_), 0); }
    void TearDown() override {
        close(fds_[0]);
        if (fds_[1] >= 0) close(fds_[1]);
    }
    void send(const std::string& s) {
        ASSERT_EQ(write(fds_[1], s.data(), s.size()), ssize_t(s.size()));
    }
    std::string next(int max = 255) {
        uint8_t buf[256] = {};
        int n = receive_frame(fds_[0], buf, max, log_);
        return n < 0 ? "<error>" : std::string(reinterpret_cast<char*>(buf), n);
    }
    int fds_[2];
    test::TempDir dir_;
    test::FakeClock clock_;
    EventLog log_{100, clock_, dir_.path()};
};

TEST_F(ReceiveFrame, EndsAtEachTerminatorWithoutReadingAhead) {
    send(
        "\x04\x05"
        "\x04\x11"
        "\x04\x12"
        "\x04\x02"
        "08\x03"
        "\x04\x02"
        "04\x1b"
        "000150\x1b"
        "AB\x05"
        "CDEFGHIJK\x03");
    EXPECT_EQ(next(), "\x04\x05");
    EXPECT_EQ(next(), "\x04\x11");
    EXPECT_EQ(next(), "\x04\x12");
    EXPECT_EQ(next(),
              "\x04\x02"
              "08\x03");
    EXPECT_EQ(next(),
              "\x04\x02"
              "04\x1b"
              "000150\x1b"
              "AB\x05");  // an ENQ inside the text
    EXPECT_EQ(next(), "CDEFGHIJK\x03");
}

TEST_F(ReceiveFrame, LongInputIsCutAndAFailedReadIsLogged) {
    send(std::string(300, 'x') + "\x03");
    EXPECT_EQ(next(), std::string(255, 'x'));
    EXPECT_EQ(next(), std::string(45, 'x') + "\x03");
    EXPECT_EQ(next(0), "");
    uint8_t buf[4];
    EXPECT_EQ(receive_frame(fds_[0], nullptr, 5, log_), -1);
    close(fds_[1]);
    fds_[1] = -1;
    EXPECT_EQ(receive_frame(fds_[0], buf, 4, log_), -1);
    EXPECT_NE(test::read_file(dir_.file(log_.current_file())).find("-> receive data: error\n"),
              std::string::npos);
}

}  // namespace
}  // namespace tarvelo::ecr
