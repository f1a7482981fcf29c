// Eyes inside a real program for the desktop tests: a Qt input plugin, loaded into tarvelo or
// kestrin with QT_QPA_GENERIC_PLUGINS=windowprobe:FIFO, that takes one command per line from
// FIFO and answers into files:
//   dump PATH                  every top-level window and its controls, one line each (below)
//   set CLASS ID TEXT...       the text of control ID in the window of class CLASS
//   events PATH                what became of the top-level windows so far, in order, one line
//                              each: "shown CLASS", "exposed CLASS" (on the screen, painted),
//                              "closed CLASS", "hidden CLASS"
// A dump line is tab-separated, the text last:
//   window  class winid visible x y w h
//   control window-class id kind visible x y w h fits rgb family pixels text
// A window's place is where Qt believes it is; a control's is within its window (a window
// manager that frames a window can leave Qt with a stale idea of where it is). A control is
// visible when it shows whenever its window does, so that a window not opened yet can be
// checked too. `fits` is 1 when the text, laid out as the control draws it (alignment, word
// wrap, the control's own font), stays inside the part of the control its window shows.

#include <fcntl.h>
#include <unistd.h>
#include <QApplication>
#include <QFile>
#include <QGenericPlugin>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStyle>
#include <QStyleOptionButton>
#include <QTextStream>
#include <QWidget>
#include <QWindow>

namespace {

// The part of `w` (in its own coordinates) that its window shows.
QRect shown_part(const QWidget* w) {
    const QWidget* window = w->window();
    QRect part = w->rect();
    for (const QWidget* p = w; p != window; p = p->parentWidget())
        part &= p->rect().translated(-w->mapTo(p, QPoint(0, 0)));
    return part & QRect(w->mapFrom(window, QPoint(0, 0)), window->size());
}

// One line of text against its place: the advance across, the ink (not the line's leading)
// down, so that a text in a line just taller than its control still counts as whole.
bool line_fits(const QFontMetrics& fm, const QString& text, const QRect& logical,
               const QRect& room) {
    if (logical.left() < room.left() || logical.right() > room.right()) return false;
    const QRect ink = fm.tightBoundingRect(text).translated(0, logical.top() + fm.ascent());
    return ink.isEmpty() || (ink.top() >= room.top() && ink.bottom() <= room.bottom());
}

bool label_fits(const QLabel* l) {
    const QFontMetrics fm = l->fontMetrics();
    const QRect area = l->contentsRect();
    const QRect room = area & shown_part(l);
    if (l->wordWrap()) {
        const QRect need = fm.boundingRect(area, int(l->alignment()) | Qt::TextWordWrap, l->text());
        return room.contains(need) && need.width() <= area.width();
    }
    const QRect logical = fm.boundingRect(area, int(l->alignment()), l->text());
    return line_fits(fm, l->text(), logical, room);
}

bool button_fits(const QPushButton* b) {
    QStyleOptionButton option;
    option.initFrom(b);
    option.text = b->text();
    const QRect area = b->style()->subElementRect(QStyle::SE_PushButtonContents, &option, b);
    const QFontMetrics fm = b->fontMetrics();
    const QRect logical = fm.boundingRect(area, Qt::AlignCenter | Qt::TextShowMnemonic, b->text());
    return line_fits(fm, b->text(), logical, area & shown_part(b));
}

class WindowProbe : public QObject {
  public:
    explicit WindowProbe(const QString& fifo) {
        // Read and write: the FIFO never reports an end while the test has not opened it yet.
        fd_ = ::open(fifo.toLocal8Bit().constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) return;
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &WindowProbe::take);
        QCoreApplication::instance()->installEventFilter(this);
    }

  protected:
    // Sees every event of the program before its receiver does.
    bool eventFilter(QObject* target, QEvent* event) override {
        const char* what = nullptr;
        switch (event->type()) {
            case QEvent::Show:
                what = "shown";
                break;
            case QEvent::Hide:
                what = "hidden";
                break;
            case QEvent::Close:
                what = "closed";
                break;
            case QEvent::Expose:
                what = "exposed";
                break;
            default:
                return false;
        }
        const QWidget* window = qobject_cast<const QWidget*>(target);
        if (const auto* handle = qobject_cast<const QWindow*>(target)) {
            // The platform's window: the one of a top-level widget, once it is on the screen.
            window = nullptr;
            if (!handle->isExposed()) return false;
            for (const QWidget* w : QApplication::topLevelWidgets())
                if (w->windowHandle() == handle) window = w;
        }
        if (window && window->isWindow())
            events_ << QString(what) + " " + window->metaObject()->className();
        return false;
    }

  private:
    void take() {
        char buffer[512];
        ssize_t n;
        while ((n = ::read(fd_, buffer, sizeof buffer)) > 0)
            pending_.append(buffer, static_cast<int>(n));
        int end;
        while ((end = pending_.indexOf('\n')) >= 0) {
            const QString line = QString::fromUtf8(pending_.left(end));
            pending_.remove(0, end + 1);
            const QStringList words = line.split(' ');
            if (words.size() >= 2 && words[0] == "dump") dump(words[1]);
            if (words.size() >= 2 && words[0] == "events") write_events(words[1]);
            if (words.size() >= 3 && words[0] == "set")
                set(words[1], words[2], line.section(' ', 3));
        }
    }

    static void set(const QString& window_class, const QString& id, const QString& text) {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (!window->inherits(window_class.toLatin1().constData())) continue;
            // Through the window's own entry where it has one, as the program sets its texts.
            if (window->metaObject()->indexOfMethod("set_text(int,QString)") >= 0) {
                QMetaObject::invokeMethod(window, "set_text", Q_ARG(int, id.toInt()),
                                          Q_ARG(QString, text));
                continue;
            }
            QWidget* w = window->findChild<QWidget*>(id);
            if (auto* l = qobject_cast<QLabel*>(w)) l->setText(text);
            if (auto* b = qobject_cast<QPushButton*>(w)) b->setText(text);
        }
    }

    static void dump(const QString& path) {
        QFile file(path + ".part");
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
        QTextStream out(&file);
        auto place = [](const QWidget* w) {
            const QPoint at = w->isWindow() ? w->pos() : w->mapTo(w->window(), QPoint(0, 0));
            return QString("%1\t%2\t%3\t%4")
                .arg(at.x())
                .arg(at.y())
                .arg(w->width())
                .arg(w->height());
        };
        for (QWidget* window : QApplication::topLevelWidgets()) {
            const QString cls = window->metaObject()->className();
            out << "window\t" << cls << '\t' << window->winId() << '\t' << int(window->isVisible())
                << '\t' << place(window) << '\n';
            for (QWidget* w : window->findChildren<QWidget*>()) {
                const auto* l = qobject_cast<QLabel*>(w);
                const auto* b = qobject_cast<QPushButton*>(w);
                const auto* e = qobject_cast<QLineEdit*>(w);
                if ((l == nullptr && b == nullptr && e == nullptr) || w->window() != window)
                    continue;
                const QString text = l ? l->text() : b ? b->text() : e->text();
                if ((text.isEmpty() && e == nullptr) || (l && !l->pixmap().isNull())) continue;
                // An edit scrolls its text: only where it is matters.
                const bool fits = l ? label_fits(l) : b ? button_fits(b) : true;
                const QColor colour = w->palette().color(w->foregroundRole());
                out << "control\t" << cls << '\t' << w->objectName() << '\t'
                    << (l   ? "label"
                        : b ? "button"
                            : "edit")
                    << '\t' << int(w->isVisibleTo(window)) << '\t' << place(w) << '\t' << int(fits)
                    << '\t' << colour.name().mid(1) << '\t' << QFontInfo(w->font()).family() << '\t'
                    << QFontInfo(w->font()).pixelSize() << '\t' << QString(text).replace('\n', ' ')
                    << '\n';
            }
        }
        out.flush();
        file.close();
        ::rename((path + ".part").toLocal8Bit().constData(), path.toLocal8Bit().constData());
    }

    void write_events(const QString& path) const {
        QFile file(path + ".part");
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
        file.write((events_.join('\n') + '\n').toUtf8());
        file.close();
        ::rename((path + ".part").toLocal8Bit().constData(), path.toLocal8Bit().constData());
    }

    int fd_ = -1;
    QStringList events_;
    QSocketNotifier* notifier_ = nullptr;
    QByteArray pending_;
};

}  // namespace

class WindowProbePlugin : public QGenericPlugin {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "window_probe_plugin.json")
  public:
    QObject* create(const QString& key, const QString& spec) override {
        return key.compare("windowprobe", Qt::CaseInsensitive) == 0 ? new WindowProbe(spec)
                                                                    : nullptr;
    }
};

#include "window_probe_plugin.moc"
