#include "platform/output_lines.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

namespace tarvelo {
namespace {

// A log collector that stops reading (but does not go away) must never hold up a board
// driver's thread: lines queue up to a limit, the rest are dropped, and once the reader is
// back what was queued comes out whole and in order.
TEST(OutputLines, AStalledReaderNeverHoldsTheWriter) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    auto out = std::make_unique<OutputLines>(fds[1]);
    const std::string line = std::string(99, 'x') + "\n";
    for (size_t i = 0; i < 3 * OutputLines::kQueueLimit; ++i)
        out->write(line);  // returns: nobody reads
    EXPECT_GT(out->dropped(), 0u);
    EXPECT_FALSE(out->flush(50));

    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    std::string got;
    char buffer[65536];
    for (int i = 0; i < 2000 && !out->flush(1); ++i)
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
            got.append(buffer, static_cast<size_t>(n));
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        got.append(buffer, static_cast<size_t>(n));
    EXPECT_EQ(got.size() % line.size(), 0u);
    EXPECT_EQ(got.substr(0, line.size()), line);
    EXPECT_EQ(got.size() / line.size() + out->dropped(), 3 * OutputLines::kQueueLimit);
    out.reset();
    close(fds[0]);
    close(fds[1]);
}

// A program that prints and exits (tarvelo --version) must be able to tell that its text never
// arrived: a line the output refuses counts as dropped.
TEST(OutputLines, ALineTheOutputRefusesCountsAsDropped) {
    int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(full, 0);
    OutputLines out(full);
    out.write("tarvelo 1.0.0\n");
    EXPECT_TRUE(out.flush(5000));
    EXPECT_EQ(out.dropped(), 1u);
    close(full);
}

// The writer thread outlives its owner: an owner that goes away while its writer idles or is
// still stuck on a stalled reader must leave the thread nothing freed to touch (under the
// address sanitizer a writer waking on a freed lock is reported; without it, it aborted a run
// with "Invalid argument"), and must not wait for that reader.
TEST(OutputLines, AnOwnerMayGoWhileItsWriterWaits) {
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    fcntl(fds[0], F_SETFL, O_NONBLOCK);
    for (int i = 0; i < 200; ++i) {  // idle writer, woken only by the owner's end
        auto out = std::make_unique<OutputLines>(fds[1]);
        out->write("line\n");
        ASSERT_TRUE(out->flush(5000));
        out.reset();
    }
    char buffer[4096];
    while (read(fds[0], buffer, sizeof buffer) > 0) {
    }

    fcntl(fds[1], F_SETPIPE_SZ, 4096);
    auto stalled = std::make_unique<OutputLines>(fds[1]);
    const std::string line(1000, 'x');
    for (int i = 0; i < 20; ++i) stalled->write(line);  // more than the pipe takes
    const auto start = std::chrono::steady_clock::now();
    stalled.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    // The writer left behind, once its reader is back, ends its line and writes nothing more.
    std::string got;
    for (int i = 0; i < 100; ++i) {
        for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
            got.append(buffer, static_cast<size_t>(n));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_LE(got.size(), 5 * line.size());
    close(fds[0]);
    close(fds[1]);
}

}  // namespace
}  // namespace tarvelo
