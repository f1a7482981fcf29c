#include "client/exchange.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "client/kestrin_dialog.h"
#include "platform/pipe_endpoint.h"
#include "tests/support/test_support.h"

namespace kestrin {
namespace {

// A scale that answers from a script: each request read (to its terminator) gets the next
// reply; requests are recorded. A reply of "" sends nothing.
class ScriptedScale {
public:
    ScriptedScale(const std::string& name, std::vector<std::string> replies) : replies_(std::move(replies)) {
        auto created = tarvelo::PipeServer::create(name);
        server_ = std::move(created.server);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedScale() {
        server_->shutdown();
        thread_.join();
    }
    std::vector<std::string> requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }

private:
    void serve() {
        if (!server_->accept_client()) return;
        for (const std::string& reply : replies_) {
            std::string request;
            uint8_t b;
            while (tarvelo::pipe_read_byte(server_->client(), b)) {
                request.push_back(static_cast<char>(b));
                if (b == 0x03 || b == 0x05 || b == 0x11 || b == 0x12) break;
            }
            if (request.empty()) return;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                requests_.push_back(request);
            }
            if (!reply.empty()) tarvelo::pipe_write_all(server_->client(), reply.data(), reply.size());
        }
        uint8_t b;
        while (tarvelo::pipe_read_byte(server_->client(), b)) {
        }
    }
    std::vector<std::string> replies_;
    std::unique_ptr<tarvelo::PipeServer> server_;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> requests_;
};

const std::string kData1234 = "\x02" "02\x1b" "3\x1b" "01234\x1b" "000299\x1b" "000369\x03";
const std::string kData39 = "\x02" "02\x1b" "3\x1b" "00039\x1b" "000150\x1b" "000006\x03";

class ExchangeTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1);
        name_ = "fake-scale";
    }
    void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
    std::unique_ptr<Link> connect() {
        std::string error;
        auto link = PipeLink::open(name_, &error);
        EXPECT_NE(link, nullptr) << error;
        return link;
    }
    tarvelo::test::TempDir dir_;
    std::string name_;
    std::vector<std::string> shown_;
    ShowMessage show_ = [this](const std::string& t) { shown_.push_back(t); };
};

TEST_F(ExchangeTest, OneReadPassesTheHandshakeAndFetchesTheData) {
    ScriptedScale scale(name_, {"\x02" "11\x1b" "2a5\x03", "\x06", "\x02" "11\x1b" "1\x03", kData1234});
    auto link = connect();
    Reading reading;
    EXPECT_TRUE(Exchange(link.get(), show_).read("1A2B", reading));
    EXPECT_EQ(reading.weight, 1234);
    EXPECT_EQ(reading.unit_price, 299);
    EXPECT_EQ(shown_, std::vector<std::string>{"CS/KW result: valid"});
    auto requests = scale.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0], enq_request());
    EXPECT_EQ(requests[1], cs_kw_record(cs_kw_chars("1A2B", 0xA5)));
    EXPECT_EQ(requests[1].size(), 14u);
    EXPECT_EQ(requests[2], enq_request());
    EXPECT_EQ(requests[3], enq_request());
}

TEST_F(ExchangeTest, ANakIsFollowedByTheStatusRequest) {
    ScriptedScale scale(name_, {"\x15", "\x02" "09\x1b" "20\x03"});
    auto link = connect();
    Reading reading;
    EXPECT_FALSE(Exchange(link.get(), show_).read("0000", reading));
    EXPECT_EQ(shown_, (std::vector<std::string>{"Scale not stable", "read weight error"}));
    EXPECT_EQ(scale.requests().back(), status_request());
}

TEST_F(ExchangeTest, LightWeightKeepsThePreviousReading) {
    ScriptedScale scale(name_, {kData1234, kData39});
    auto link = connect();
    Reading reading;
    Exchange ex(link.get(), show_);
    EXPECT_TRUE(ex.read("0000", reading));
    EXPECT_TRUE(ex.read("0000", reading));  // still scale data, shown again
    EXPECT_EQ(reading.weight, 1234);
    EXPECT_EQ(reading.unit_price, 299);
}

TEST_F(ExchangeTest, FailuresShowTheirOwnTextThenReadWeightError) {
    struct Case {
        std::vector<std::string> replies;
        std::vector<std::string> shown;
    } cases[] = {
        {{"xyz\x03"}, {"receive data unknown", "read weight error"}},
        {{"\x02" "11\x1b" "200\x03", "\x15", "\x02" "09\x1b" "10\x03"}, {"Incorrect record number", "read weight error"}},
        {{"\x02" "11\x1b" "200\x03", "\x06", "\x02" "11\x1b" "0\x03"}, {"CS/KW result: invalid", "read weight error"}},
        {{"\x02" "11\x1b" "200\x03", "\x06", "\x06"}, {"read weight error"}},
        {{""}, {"receive data error 1", "read weight error"}},                         // no answer
        {{"\x02" "11\x1b" "200\x03", ""}, {"receive data error 2", "read weight error"}},
        {{"\x02" "11\x1b" "200\x03", "\x06", ""}, {"receive data error 4", "read weight error"}},
    };
    for (const Case& c : cases) {
        shown_.clear();
        ScriptedScale scale(name_, c.replies);
        auto link = connect();
        Reading reading;
        EXPECT_FALSE(Exchange(link.get(), show_, 200).read("0000", reading));
        EXPECT_EQ(shown_, c.shown);
    }
    shown_.clear();
    Reading reading;
    EXPECT_FALSE(Exchange(nullptr, show_).read("0000", reading));  // the pipe never opened
    EXPECT_EQ(shown_, (std::vector<std::string>{"receive data error 1", "read weight error"}));
}

TEST_F(ExchangeTest, DialogChecksTheCsAndShowsTheClientsTotal) {
    ScriptedScale scale(name_, {kData1234});
    CkestrinDlg dlg(nullptr, show_);
    dlg.OnInitDialog(name_);
    dlg.cs_field()->setText("123");
    dlg.on_read();
    EXPECT_EQ(shown_, std::vector<std::string>{"CS value must be 4 digits number"});
    EXPECT_TRUE(scale.requests().empty());
    dlg.cs_field()->setText("12345");
    dlg.read_button()->click();
    EXPECT_EQ(dlg.weight_label()->text(), "   1,234");
    EXPECT_EQ(dlg.total_label()->text(), "   3,69");
    EXPECT_EQ(dlg.windowTitle(), "kestrin");

    std::vector<std::string> failed;
    CkestrinDlg orphan(nullptr, [&](const std::string& t) { failed.push_back(t); });
    orphan.OnInitDialog("nobody-here");
    EXPECT_EQ(failed, std::vector<std::string>{"open scale error"});
}

}  // namespace
}  // namespace kestrin
