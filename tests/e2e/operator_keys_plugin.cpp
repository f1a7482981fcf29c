// The operator's keyboard for end-to-end runs of the real program on a platform without input:
// a Qt input plugin, loaded into tarvelo with QT_QPA_GENERIC_PLUGINS=operatorkeys:FIFO, that
// reads one word per line from FIFO and does what the operator's hand would on the display
// bar: "ok" is the dialog's OK, "escape" its close key.

#include <fcntl.h>
#include <unistd.h>
#include <QApplication>
#include <QGenericPlugin>
#include <QKeyEvent>
#include <QSocketNotifier>
#include <QWidget>

namespace {

class OperatorKeys : public QObject {
  public:
    explicit OperatorKeys(const QString& fifo) {
        // Read and write: the FIFO never reports an end while the test has not opened it yet.
        fd_ = ::open(fifo.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &OperatorKeys::take);
    }

  private:
    void take() {
        char buffer[256];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
            pending_.append(buffer, static_cast<int>(n));
        int end;
        while ((end = pending_.indexOf('\n')) >= 0) {
            QByteArray word = pending_.left(end).trimmed();
            pending_.remove(0, end + 1);
            press(word);
        }
    }
    static QWidget* display_bar() {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->inherits("tarvelo::ui::CTarveloDlg")) return w;
        return nullptr;
    }
    static void press(const QByteArray& word) {
        QWidget* bar = display_bar();
        if (bar == nullptr) return;
        if (word == "ok") {
            QMetaObject::invokeMethod(bar, "accept");
        } else if (word == "escape") {
            QWidget* target = QApplication::focusWidget();
            if (target == nullptr || target->window() != bar) target = bar;
            QKeyEvent down(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QKeyEvent up(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(target, &down);
            QApplication::sendEvent(target, &up);
        }
    }

    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QByteArray pending_;
};

}  // namespace

class OperatorKeysPlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "operator_keys_plugin.json")
  public:
    QObject* create(const QString& key, const QString& spec) override {
        return key.compare("operatorkeys", Qt::CaseInsensitive) == 0 ? new OperatorKeys(spec)
                                                                     : nullptr;
    }
};

#include "operator_keys_plugin.moc"
