#include "ui/qt_message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>
#include <vector>

#include "platform/error_line.h"

#include "ui/text_codec.h"

namespace tarvelo::ui {
namespace {

// User-interface thread only.
bool g_dismissed = false;
std::vector<QMessageBox*> g_open;  // the boxes being shown, one inside the other's wait

void show_box(QMessageBox::Icon icon, const std::string& text) {
    error_line(text);
    if (headless() || QApplication::instance() == nullptr) return;
    auto show = [icon, text] {
        if (g_dismissed) return;
        QMessageBox box(icon, "tarvelo", decode_text(text), QMessageBox::Ok);
        box.setWindowFlag(Qt::WindowStaysOnTopHint);
        g_open.push_back(&box);
        box.exec();
        g_open.pop_back();
    };
    if (QThread::currentThread() == QApplication::instance()->thread())
        show();
    else
        QMetaObject::invokeMethod(QApplication::instance(), show, Qt::QueuedConnection);
}

}  // namespace

bool headless() {
    const QString platform = QGuiApplication::platformName();
    return platform == "offscreen" || platform == "minimal";
}

void QtMessageBox::error(const std::string& text) {
    show_box(QMessageBox::Critical, text);
}
void QtMessageBox::info(const std::string& text) {
    show_box(QMessageBox::Information, text);
}

void QtMessageBox::dismiss() {
    g_dismissed = true;
    for (QMessageBox* box : g_open) box->done(QMessageBox::Ok);
}

}  // namespace tarvelo::ui
