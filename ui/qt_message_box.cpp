#include "ui/qt_message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "platform/error_line.h"

#include "ui/text_codec.h"

namespace tarvelo::ui {
namespace {

void show_box(QMessageBox::Icon icon, const std::string& text) {
    error_line(text);
    if (headless() || QApplication::instance() == nullptr) return;
    auto show = [icon, text] {
        QMessageBox box(icon, "tarvelo", decode_text(text), QMessageBox::Ok);
        box.setWindowFlag(Qt::WindowStaysOnTopHint);
        box.exec();
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

}  // namespace tarvelo::ui
