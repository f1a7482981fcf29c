#include "client/kestrin_dialog.h"

#include <QApplication>
#include <gtest/gtest.h>

#include <cstdlib>

#include "tests/client/client_fakes.h"
#include "tests/support/test_support.h"

namespace kestrin {
namespace {

using test::ScriptedScale;

const std::string kData1234 = "\x02" "02\x1b" "3\x1b" "01234\x1b" "000299\x1b" "000369\x03";

class KestrinDialogTest : public ::testing::Test {
protected:
    void SetUp() override { setenv("XDG_RUNTIME_DIR", dir_.path().c_str(), 1); }
    void TearDown() override { unsetenv("XDG_RUNTIME_DIR"); }
    tarvelo::test::TempDir dir_;
    std::vector<std::string> shown_;
    ShowMessage show_ = [this](const std::string& t) { shown_.push_back(t); };
};

TEST_F(KestrinDialogTest, ChecksTheCsAndShowsTheClientsTotal) {
    ScriptedScale scale("ecr", {kData1234});
    CkestrinDlg dlg(nullptr, show_);
    dlg.OnInitDialog("ecr");
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
