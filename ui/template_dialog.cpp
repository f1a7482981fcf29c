#include "ui/template_dialog.h"

#include <QFontInfo>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>
#include <algorithm>
#include <cmath>
#include <string_view>

namespace tarvelo::ui {

int dlu_x(int dlu, FontBase base) {
    return static_cast<int>(std::lround(dlu * base.x / 4.0));
}
int dlu_y(int dlu, FontBase base) {
    return static_cast<int>(std::lround(dlu * base.y / 8.0));
}

QFont template_font(FontBase base) {
    QFont font;
    font.setFamilies({"Liberation Sans", "Arial"});
    // The size at the 96 dots per inch the dialog units were laid out at: "System" 10 (a bold
    // face of 8 x 16 cells) is 13 pixels, "MS Sans Serif" 8 (6 x 13) is 11. Liberation Sans
    // there keeps its average character inside those cells and its line inside their height.
    font.setPixelSize(static_cast<int>(std::lround(base.points * 96 / 72.0)));
    font.setBold(std::string_view(base.face) == "System");
    return font;
}

QFont point_font(const QString& face, double points) {
    QString family = face;
    bool bold = false;
    if (family.endsWith(" Bold")) {
        family.chop(5);
        bold = true;
    }
    QFont font(family);
    // Points at the 96 dots per inch the windows are drawn for, as whole pixels: a desktop
    // that claims 144 dpi would otherwise make every text half as large again as its control.
    font.setPixelSize(std::max(1, static_cast<int>(std::lround(points * 96 / 72.0))));
    font.setBold(bold);
    return font;
}

void ClickLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) emit clicked();
    QLabel::mousePressEvent(event);
}

TemplateDialog::TemplateDialog(const DialogTemplate& tmpl, QWidget* parent)
    : QDialog(parent), tmpl_(tmpl) {
    setWindowFlags(Qt::Tool | Qt::WindowStaysOnTopHint | Qt::FramelessWindowHint);
    resize(dlu_x(tmpl.w, tmpl.base), dlu_y(tmpl.h, tmpl.base));
    const QFont font = template_font(tmpl.base);
    setFont(font);
    for (const ControlTemplate& c : tmpl.controls) {
        QWidget* w;
        if (c.kind == ControlKind::button) {
            auto* b = new QPushButton(QString::fromUtf8(c.text), this);
            connect(b, &QPushButton::clicked, this, [this, id = c.id] {
                on_command(id);
                emit command(id);
            });
            w = b;
        } else {
            auto* l = new ClickLabel(QString::fromUtf8(c.text), this);
            Qt::Alignment h = c.align == Align::left    ? Qt::AlignLeft
                              : c.align == Align::right ? Qt::AlignRight
                                                        : Qt::AlignHCenter;
            if (tmpl.statics_centre_vertically) {
                l->setAlignment(h | Qt::AlignVCenter);
            } else {
                l->setAlignment(h | Qt::AlignTop);
                l->setWordWrap(true);
            }
            if (c.notify)
                connect(l, &ClickLabel::clicked, this, [this, id = c.id] {
                    on_command(id);
                    emit command(id);
                });
            w = l;
        }
        // Set on each control: the platform's own fonts for buttons would otherwise win.
        w->setFont(font);
        w->setObjectName(QString::number(c.id));
        w->setGeometry(dlu_x(c.x, tmpl.base), dlu_y(c.y, tmpl.base), dlu_x(c.w, tmpl.base),
                       dlu_y(c.h, tmpl.base));
        if (!c.visible) w->hide();
        controls_[c.id] = w;
    }
}

QWidget* TemplateDialog::control(int id) const {
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

QString TemplateDialog::text(int id) const {
    QWidget* w = control(id);
    if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<QPushButton*>(w)) return b->text();
    return {};
}

void TemplateDialog::set_text(int id, const QString& text) {
    QWidget* w = control(id);
    if (auto* l = qobject_cast<QLabel*>(w)) l->setText(text);
    if (auto* b = qobject_cast<QPushButton*>(w)) b->setText(text);
    fit_text(id);
}

bool text_fits(const QFontMetrics& metrics, const QString& text, const QRect& area,
               Qt::Alignment alignment) {
    // Across: the line as the label lays it out, rounded outwards.
    const QRect line = metrics.boundingRect(area, int(alignment), text);
    if (line.left() < area.left() || line.right() > area.right()) return false;
    // Down: the ink, not the line's leading, so that a line just taller than its control
    // still counts as whole while no digit's foot and no comma is cut.
    const QRect ink = metrics.tightBoundingRect(text).translated(0, line.top() + metrics.ascent());
    return ink.isEmpty() || (ink.top() >= area.top() && ink.bottom() <= area.bottom());
}

void TemplateDialog::fit_text(int id) {
    auto* label = qobject_cast<QLabel*>(control(id));
    auto wanted = wanted_font_.find(id);
    if (label == nullptr || wanted == wanted_font_.end()) return;
    QFont font = wanted->second;
    const QRect area = label->contentsRect();
    const QString text = label->text();
    auto fits = [&](int pixels) {
        QFont f = font;
        f.setPixelSize(pixels);
        return text_fits(QFontMetrics(f), text, area, label->alignment());
    };
    // A static that wraps its words takes more lines instead.
    const int wanted_pixels = QFontInfo(font).pixelSize();
    if (!label->wordWrap() && !area.isEmpty() && !text.isEmpty() &&
        wanted_pixels > kSmallestFitPixels && !fits(wanted_pixels)) {
        // The largest size that fits, down to the smallest one still drawn.
        int low = kSmallestFitPixels, high = wanted_pixels - 1;
        while (low < high) {
            const int middle = (low + high + 1) / 2;
            if (fits(middle))
                low = middle;
            else
                high = middle - 1;
        }
        font.setPixelSize(low);
    }
    if (label->font() != font) label->setFont(font);
}

void TemplateDialog::show_control(int id, bool show) {
    if (show && hidden_by_layout_.count(id) != 0) return;
    if (QWidget* w = control(id)) w->setVisible(show);
}

void TemplateDialog::layout_hide(int id) {
    hidden_by_layout_.insert(id);
    if (QWidget* w = control(id)) w->setVisible(false);
}

void TemplateDialog::layout_place(int id, const QRect& rect) {
    hidden_by_layout_.erase(id);
    move_control(id, rect);
}

bool TemplateDialog::control_visible(int id) const {
    QWidget* w = control(id);
    return w && !w->isHidden();
}

void TemplateDialog::move_control(int id, const QRect& rect) {
    if (QWidget* w = control(id)) w->setGeometry(rect);
    fit_text(id);
}

void TemplateDialog::refresh_control(int id) {
    QWidget* w = control(id);
    if (w && !w->isHidden()) {
        w->hide();
        w->show();
    }
}

void TemplateDialog::place_topmost(int x, int y, int w, int h) {
    // Sizes come from the INI: no window is larger than the screens together (h=2147483647
    // would otherwise ask for a backing store of hundreds of megabytes).
    QRect desktop = QGuiApplication::primaryScreen()
                        ? QGuiApplication::primaryScreen()->virtualGeometry()
                        : QRect();
    if (desktop.isValid()) {
        w = std::clamp(w, 0, desktop.width());
        h = std::clamp(h, 0, desktop.height());
    }
    setGeometry(x, y, w, h);
}

void TemplateDialog::place_topmost_at(int x, int y) {
    move(x, y);
}

ControlStyle TemplateDialog::control_style(int) const {
    return {};
}

void TemplateDialog::restyle() {
    if (auto brush = window_brush()) {
        QPalette p = palette();
        p.setColor(QPalette::Window, *brush);
        setPalette(p);
        setAutoFillBackground(true);
    }
    for (auto& [id, w] : controls_) {
        ControlStyle s = control_style(id);
        if (qobject_cast<QLabel*>(w)) {
            wanted_font_[id] = s.font ? *s.font : template_font(tmpl_.base);
            fit_text(id);
        } else if (s.font) {
            w->setFont(*s.font);
        }
        QPalette p = w->palette();
        if (s.text) {
            p.setColor(QPalette::WindowText, *s.text);
            p.setColor(QPalette::ButtonText, *s.text);
        }
        if (s.background) p.setColor(QPalette::Window, *s.background);
        w->setPalette(p);
        if (qobject_cast<QLabel*>(w)) w->setAutoFillBackground(s.background.has_value());
    }
    update();
}

}  // namespace tarvelo::ui
