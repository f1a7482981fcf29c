#include "platform/serial_port.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <filesystem>
#include <iterator>

#include <chrono>

#include "platform/pseudo_terminal.h"
#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

TEST(SerialPort, ComNamesMapToTtyS) {
    struct Case {
        const char* name;
        const char* path;
    } cases[] = {
        {"COM1", "/dev/ttyS0"},
        {"COM4", "/dev/ttyS3"},
        {"com12", "/dev/ttyS11"},
        {"COM100", "/dev/ttyS99"},
        {"COM0", "COM0"},
        {"COMX", "COMX"},
        {"COM", "COM"},
        {"/dev/ttyUSB0", "/dev/ttyUSB0"},
        {"/tmp/board", "/tmp/board"},
    };
    for (const Case& c : cases) EXPECT_EQ(serial_device_path(c.name), c.path) << c.name;
}

TEST(SerialPort, DevicesThatCannotServeAreClearFailures) {
    auto missing = SerialPort::open("/nonexistent/ttyX", LineSettings{});
    EXPECT_FALSE(missing);
    EXPECT_FALSE(missing.failure().reached);
    EXPECT_NE(missing.error().find("/nonexistent/ttyX"), std::string::npos);

    auto not_a_tty = SerialPort::open("/dev/null", LineSettings{});
    EXPECT_FALSE(not_a_tty);
    EXPECT_TRUE(not_a_tty.failure().reached);  // it opened, but takes no line settings
    EXPECT_FALSE(not_a_tty.error().empty());

    auto pty = PseudoTerminal::create("");
    ASSERT_TRUE(pty) << pty.error();
    EXPECT_FALSE(SerialPort::open((*pty)->slave_path(), LineSettings{12345, 8, 'E', 1}));
    EXPECT_FALSE(SerialPort::open((*pty)->slave_path(), LineSettings{38400, 8, 'Q', 1}));
}

// Two programs on one board would both command it: the second open fails as a busy port, for
// root too, and the device is free again once the first lets go.
TEST(SerialPort, ASecondOpenOfTheSameDeviceIsBusy) {
    test::TempDir dir;
    auto pty = PseudoTerminal::create(dir.file("board"));
    ASSERT_TRUE(pty) << pty.error();
    auto first = SerialPort::open(dir.file("board"), LineSettings{});
    ASSERT_TRUE(first) << first.error();
    auto second = SerialPort::open(dir.file("board"), LineSettings{});
    EXPECT_FALSE(second);
    EXPECT_FALSE(second.failure().reached);
    EXPECT_NE(second.error().find("busy"), std::string::npos) << second.error();
    // A board held by another program is tried again about once a second: a refused open keeps
    // no descriptor, or the scale would run out of them within the hour.
    auto open_descriptors = [] {
        auto entries = std::filesystem::directory_iterator("/proc/self/fd");
        return std::distance(begin(entries), end(entries));
    };
    const auto before = open_descriptors();
    for (int i = 0; i < 5; ++i) EXPECT_FALSE(SerialPort::open(dir.file("board"), LineSettings{}));
    EXPECT_EQ(open_descriptors(), before);
    first->reset();
    EXPECT_TRUE(SerialPort::open(dir.file("board"), LineSettings{}));
}

// The device's exclusive flag outlives a close on a pseudo-terminal whose other end stays open:
// a port that set it clears it when it ends, also when the line settings were refused, and the
// process's end gives it up for ports it never closes. A refused second open leaves the first
// one's flag alone. (Root opens a flagged device anyway, so the flag is read, not tried.)
TEST(SerialPort, TheExclusiveUseEndsWithThePortOrTheProcess) {
    test::TempDir dir;
    auto pty = PseudoTerminal::create(dir.file("board"));
    ASSERT_TRUE(pty) << pty.error();
    auto exclusive = [&] {
        int fd = ::open((*pty)->slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        int set = -1;
        EXPECT_EQ(::ioctl(fd, TIOCGEXCL, &set), 0);
        ::close(fd);
        return set != 0;
    };
    EXPECT_FALSE(SerialPort::open(dir.file("board"), LineSettings{12345, 8, 'E', 1}));
    EXPECT_FALSE(exclusive()) << "the settings were refused";

    auto first = SerialPort::open(dir.file("board"), LineSettings{});
    ASSERT_TRUE(first) << first.error();
    EXPECT_TRUE(exclusive());
    EXPECT_FALSE(SerialPort::open(dir.file("board"), LineSettings{}));
    EXPECT_TRUE(exclusive()) << "a refused copy cleared the holder's flag";
    first->reset();
    EXPECT_FALSE(exclusive()) << "the port has ended";

    // A flag that another program set (a terminal program, say) is not ours to clear.
    int theirs = ::open((*pty)->slave_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_EQ(::ioctl(theirs, TIOCEXCL), 0);
    EXPECT_TRUE(SerialPort::open(dir.file("board"), LineSettings{}));  // root gets in all the same
    EXPECT_TRUE(exclusive()) << "another program's flag was cleared";
    ::ioctl(theirs, TIOCNXCL);
    ::close(theirs);

    // A board that vanishes and comes back is opened anew each time, and finds its old
    // descriptor number taken by then (a log file, a connection): the ports that have ended
    // leave room for the last one to be given up at the end.
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(SerialPort::open(dir.file("board"), LineSettings{}));
    int taken = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    auto kept = SerialPort::open(dir.file("board"), LineSettings{});
    ASSERT_TRUE(kept) << kept.error();
    release_serial_ports();
    EXPECT_FALSE(exclusive()) << "the process has ended";
    ::close(taken);
}

class PtyLine : public ::testing::Test {
  protected:
    void SetUp() override {
        auto pty = PseudoTerminal::create(dir_.file("board"));
        ASSERT_TRUE(pty) << pty.error();
        pty_ = pty.take();
        auto opened = SerialPort::open(pty_->device_name(), LineSettings{38400, 8, 'E', 1});
        ASSERT_TRUE(opened) << opened.error();
        port_ = opened.take();
    }
    std::string drain_master(size_t n) {
        std::string got;
        while (got.size() < n && pty_->wait_readable(1000)) {
            uint8_t b;
            if (pty_->read_byte(b) == ReadStatus::byte) got.push_back(static_cast<char>(b));
        }
        return got;
    }
    test::TempDir dir_;
    std::unique_ptr<PseudoTerminal> pty_;
    std::unique_ptr<SerialPort> port_;
};

// Every byte value crosses unchanged in both directions, the control bytes of the boards
// (DC1, DC2, DC3, CR) included; with the wrong termios flags some of them vanish or change.
TEST_F(PtyLine, RawBytesPassBothWays) {
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    ASSERT_TRUE(port_->write_all(all.data(), all.size()));
    EXPECT_EQ(drain_master(all.size()), all);

    ASSERT_TRUE(pty_->write_all(all.data(), all.size()));
    std::string got;
    ASSERT_TRUE(test::wait_until([&] {
        uint8_t b;
        while (port_->read_byte(b) == ReadStatus::byte) got.push_back(static_cast<char>(b));
        return got.size() >= all.size();
    }));
    EXPECT_EQ(got, all);
}

TEST_F(PtyLine, IdleLineReadsNothingAndAVanishedPeerReadsGone) {
    uint8_t b;
    EXPECT_EQ(port_->read_byte(b), ReadStatus::nothing);
    pty_.reset();  // the far end closes, as an unplugged adapter would
    EXPECT_EQ(port_->read_byte(b), ReadStatus::gone);
}

// The wait after an empty read lasts on a quiet line, and ends as soon as there is something to
// read, a byte or a hang-up; the bytes are then taken one per read, the line left empty after
// the last.
TEST_F(PtyLine, TheWaitForInputEndsWithAByteOrAHangUp) {
    auto waited = [&](int timeout_ms = 20000) {
        auto start = std::chrono::steady_clock::now();
        port_->wait_for_input(timeout_ms);
        return std::chrono::steady_clock::now() - start;
    };
    EXPECT_GE(waited(50), std::chrono::milliseconds(50));
    ASSERT_TRUE(pty_->write_all("xyz", 3));
    EXPECT_LT(waited(), std::chrono::seconds(10));
    std::string got;
    uint8_t b;
    while (got.size() < 3 && port_->read_byte(b) == ReadStatus::byte)
        got.push_back(static_cast<char>(b));
    EXPECT_EQ(got, "xyz");
    EXPECT_EQ(port_->read_byte(b), ReadStatus::nothing);
    pty_.reset();
    EXPECT_LT(waited(), std::chrono::seconds(10));
    EXPECT_EQ(port_->read_byte(b), ReadStatus::gone);
}

TEST_F(PtyLine, SettingsCanBeAppliedAgainAndEveryParityIsAccepted) {
    for (char parity : {'N', 'O', 'E', 'M', 'S'}) {
        Result<void> applied = port_->apply(LineSettings{19200, 8, parity, 1});
        EXPECT_TRUE(applied) << parity << ": " << applied.error();
    }
    for (LineSettings line : {LineSettings{19200, 7, 'E', 2}, LineSettings{19200, 8, 'E', 15}}) {
        Result<void> applied = port_->apply(line);
        EXPECT_TRUE(applied) << applied.error();
    }
}

}  // namespace
}  // namespace tarvelo
