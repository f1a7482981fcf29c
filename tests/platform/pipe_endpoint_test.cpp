#include "platform/pipe_endpoint.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "tests/support/test_support.h"

namespace tarvelo {
namespace {

class PipeTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        saved_ = old ? old : "";
        had_ = old != nullptr;
        setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override {
        if (had_)
            setenv("XDG_RUNTIME_DIR", saved_.c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
    }
    test::TempDir dir_;
    std::string saved_;
    bool had_ = false;
};

TEST_F(PipeTest, PathFollowsTheRuntimeDirectory) {
    EXPECT_EQ(pipe_socket_path("kv2170"), dir_.file("kv2170"));
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(pipe_socket_path("kv2170"), "/tmp/kv2170");
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(pipe_socket_path("kv2170"), "/tmp/kv2170");
}

TEST_F(PipeTest, SocketIsPrivateAndASecondServerIsRefused) {
    auto first = PipeServer::create("scale");
    ASSERT_NE(first.server, nullptr) << first.error;
    struct stat st {};
    ASSERT_EQ(stat(dir_.file("scale").c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    auto second = PipeServer::create("scale");
    EXPECT_EQ(second.server, nullptr);
    EXPECT_NE(second.error.find("another server"), std::string::npos) << second.error;
}

TEST_F(PipeTest, StaleSocketIsReplacedButOtherFilesAreNot) {
    // A socket file that nobody listens on, as a killed server leaves it.
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = dir_.file("stale");
    std::strcpy(addr.sun_path, path.c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    close(fd);
    auto created = PipeServer::create("stale");
    EXPECT_NE(created.server, nullptr) << created.error;

    test::write_file(dir_.file("plain"), "data");
    EXPECT_EQ(PipeServer::create("plain").server, nullptr);
    EXPECT_EQ(test::read_file(dir_.file("plain")), "data");

    EXPECT_EQ(PipeServer::create(std::string(200, 'n')).server, nullptr);  // path too long
    EXPECT_EQ(PipeServer::create("").server, nullptr);
}

TEST_F(PipeTest, ServesClientsOneAfterAnother) {
    auto created = PipeServer::create("ecr");
    ASSERT_NE(created.server, nullptr);
    PipeServer& server = *created.server;

    for (int round = 0; round < 3; ++round) {
        std::string error;
        auto client = PipeClient::connect("ecr", &error);
        ASSERT_NE(client, nullptr) << error;
        ASSERT_TRUE(server.accept_client());
        ASSERT_TRUE(client->write_all("\x04\x05", 2));
        uint8_t b = 0;
        ASSERT_TRUE(pipe_read_byte(server.client(), b));
        EXPECT_EQ(b, 0x04);
        ASSERT_TRUE(pipe_read_byte(server.client(), b));
        EXPECT_EQ(b, 0x05);
        ASSERT_TRUE(pipe_write_all(server.client(), "\x15", 1));
        ASSERT_EQ(client->read_byte(b, 1000), PipeClient::Read::byte);
        EXPECT_EQ(b, 0x15);
        EXPECT_EQ(client->read_byte(b, 10), PipeClient::Read::timeout);

        client.reset();  // the client leaves: the next read fails, writes do not kill us
        EXPECT_FALSE(pipe_read_byte(server.client(), b));
        pipe_write_all(server.client(), "\x06", 1);
        server.disconnect();
    }
}

TEST_F(PipeTest, ShutdownWakesABlockedAccept) {
    auto created = PipeServer::create("quiet");
    ASSERT_NE(created.server, nullptr);
    std::thread waiter([&] { EXPECT_FALSE(created.server->accept_client()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    created.server->shutdown();
    waiter.join();
}

TEST_F(PipeTest, ConnectingToNoServerFails) {
    std::string error;
    EXPECT_EQ(PipeClient::connect("nobody", &error), nullptr);
    EXPECT_NE(error.find("nobody"), std::string::npos);
}

}  // namespace
}  // namespace tarvelo
