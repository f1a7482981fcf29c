#include "client/kestrin_dialog.h"

#include <gtest/gtest.h>
#include <QApplication>
#include <QFontInfo>
#include <QTest>
#include <QTimer>

#include <cstdlib>

#include "tests/client/client_fakes.h"
#include "tests/support/test_support.h"

namespace kestrin {
namespace {

using test::kData1234;
using test::ScriptedScale;

class KestrinDialogTest : public ::testing::Test {
  protected:
    tarvelo::test::TempDir dir_;
    tarvelo::test::ScopedEnv runtime_{"XDG_RUNTIME_DIR", dir_.path().string()};
    std::vector<std::string> shown_;
    ShowMessage show_ = [this](const std::string& t) { shown_.push_back(t); };
};

TEST_F(KestrinDialogTest, ChecksTheCsInCharactersAndShowsTheClientsTotal) {
    ScriptedScale scale("ecr", {kData1234});
    CkestrinDlg dlg(nullptr, show_);
    dlg.OnInitDialog("ecr");
    for (const char* short_cs : {"123", "ééé"}) {  // "ééé" is six bytes but three characters
        dlg.cs_field()->setText(QString::fromUtf8(short_cs));
        dlg.on_read();
    }
    EXPECT_EQ(shown_, (std::vector<std::string>{"CS value must be 4 digits number",
                                                "CS value must be 4 digits number"}));
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

TEST_F(KestrinDialogTest, FourCharactersOutsideHexMakeTheCsZero) {
    ScriptedScale scale("ecr", {"\x02"
                                "11\x1b"
                                "237\x03",
                                "\x06",
                                "\x02"
                                "11\x1b"
                                "1\x03",
                                kData1234});
    CkestrinDlg dlg(nullptr, show_);
    dlg.OnInitDialog("ecr");
    dlg.cs_field()->setText("éééé");
    dlg.on_read();
    auto requests = scale.requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[1], cs_kw_record(cs_kw_chars("0000", 0x37)));
    EXPECT_EQ(dlg.weight_label()->text(), "   1,234");
}

// The About entry opens with the keyboard while the CS field has the focus, and stays in
// the context menu.
TEST_F(KestrinDialogTest, AboutIsReachableFromTheCsField) {
    CkestrinDlg dlg(nullptr, show_);
    dlg.show();
    dlg.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dlg));
    dlg.cs_field()->setFocus();
    dlg.cs_field()->setText("1A2B");
    QString opened;
    QTimer::singleShot(0, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            opened = modal->windowTitle();
            modal->close();
        }
    });
    QTest::keyClick(dlg.cs_field(), Qt::Key_F1);
    QApplication::processEvents();  // the timer fires within this test even when nothing opened
    EXPECT_EQ(opened, "About kestrin");
    EXPECT_EQ(dlg.cs_field()->text(), "1A2B");
    EXPECT_EQ(dlg.contextMenuPolicy(), Qt::ActionsContextMenu);
    EXPECT_TRUE(dlg.actions().contains(dlg.about_action()));
    EXPECT_EQ(dlg.about_action()->text(), "&About kestrin...");
}

// Every static text fits its rectangle with the largest values the scale can send: weight
// 99999 g and unit price 999999 give "  99,999" and "999989,00". The windows keep the size
// of their templates.
TEST_F(KestrinDialogTest, FixedSizeAndNoLabelClippedAtTheLargestValues) {
    ScriptedScale scale("ecr", {"\x02"
                                "02\x1b"
                                "3\x1b"
                                "99999\x1b"
                                "999999\x1b"
                                "999999\x03"});
    CkestrinDlg dlg(nullptr, show_);
    dlg.OnInitDialog("ecr");
    dlg.cs_field()->setText("0000");
    dlg.on_read();
    ASSERT_EQ(dlg.total_label()->text(), "999989,00");
    ASSERT_EQ(dlg.weight_label()->text(), "  99,999");
    CAboutDlg about(&dlg);

    struct Window {
        QDialog* dialog;
        QSize size;  // dialog units 321 x 201 and 170 x 62 at 6 x 13 pixels per 4 x 8
    } windows[] = {{&dlg, QSize(482, 327)}, {&about, QSize(255, 101)}};
    for (const Window& w : windows) {
        EXPECT_EQ(w.dialog->minimumSize(), w.size) << w.dialog->windowTitle().toStdString();
        EXPECT_EQ(w.dialog->maximumSize(), w.size) << w.dialog->windowTitle().toStdString();
        int texts = 0;
        for (QLabel* label : w.dialog->findChildren<QLabel*>()) {
            if (label->text().isEmpty()) continue;
            ++texts;
            const QFontMetrics fm = label->fontMetrics();
            const QRect room = label->contentsRect();
            const std::string what = label->text().toStdString() + " in " +
                                     QFontInfo(label->font()).family().toStdString();
            EXPECT_LE(fm.horizontalAdvance(label->text()), room.width()) << what;
            EXPECT_LE(fm.height(), room.height()) << what;
            EXPECT_TRUE(label->alignment() & Qt::AlignTop) << what;
        }
        EXPECT_GT(texts, 0);
    }
}

}  // namespace
}  // namespace kestrin
