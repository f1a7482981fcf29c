// kestrin: a small ECR test client for the scale's pipe protocol.

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "client/kestrin_dialog.h"

namespace {

// Every box of the client has the error icon and one OK button; on a platform without a
// screen the text goes to standard error only.
void show_message(const std::string& text) {
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
    const QString platform = QGuiApplication::platformName();
    if (platform == "offscreen" || platform == "minimal") return;
    QMessageBox::critical(nullptr, "kestrin", QString::fromStdString(text));
}

}  // namespace

class CkestrinApp {
  public:
    int InitInstance(int argc, char** argv) {
        QApplication app(argc, argv);
        kestrin::CkestrinDlg dlg(nullptr, show_message);
        dlg.show();
        dlg.OnInitDialog(kestrin::kDefaultPipeName);
        dlg.exec();
        return 0;
    }
};

int main(int argc, char** argv) {
    return CkestrinApp().InitInstance(argc, argv);
}
