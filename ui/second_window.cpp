#include "ui/second_window.h"

#include <QPainter>
#include <algorithm>

#include "ui/background.h"
#include "ui/layout.h"
#include "ui/templates.h"
#include "ui/text_codec.h"

namespace tarvelo::ui {

QFont value_font(const WindowSettings& window) {
    return point_font(decode_text(window.font_name),
                      std::max(window.font_size / 10.0, kSmallestValuePoints));
}

QString unit_price_caption(const Settings& s, const std::string& unit) {
    return decode_text(s.currency_symbol) + "/" + decode_text(unit);
}

void set_bar_texts(TemplateDialog& w, const Settings& s, const std::string& checksum) {
    w.set_text(IDC_CHECKSUM, decode_text(checksum));
    w.set_text(IDC_APPROVAL, decode_text(s.approval_text));
    w.set_text(IDC_MAX, decode_text(s.max_label));
    w.set_text(IDC_MIN, decode_text(s.min_label));
    w.set_text(IDC_ED, decode_text(s.ed_label));
    w.set_text(IDC_TARE_CAPTION, decode_text(s.tare_label) + " " + decode_text(s.weight_symbol));
    w.set_text(IDC_WEIGHT_UNIT, decode_text(s.weight_symbol));
    w.set_text(IDC_ZERO_MARK, decode_text(s.zero_symbol));
    w.set_text(IDC_NET_MARK, decode_text(s.net_symbol));
    w.set_text(IDC_UPRICE_CAPTION, unit_price_caption(s, s.weight_symbol));
    w.set_text(IDC_CURRENCY, decode_text(s.currency_symbol));
    w.show_control(IDC_ZERO_MARK, false);
    w.show_control(IDC_NET_MARK, false);
}

CTarveloDlg2::CTarveloDlg2(const WindowSettings& window, const Settings& settings, QWidget* parent)
    : TemplateDialog(template_135(), parent), window_(window), settings_(settings) {
    restyle();
}

void set_mode_controls(TemplateDialog& w, const Settings& s, int on) {
    if (on) {
        for (int id : {IDC_TARE_CAPTION, IDC_TARE, IDC_ZERO_MARK, IDC_NET_MARK})
            w.show_control(id, false);
        w.set_text(IDC_WEIGHT_UNIT, decode_text(s.quantity_symbol));
        w.set_text(IDC_WEIGHT, "0");
        w.set_text(IDC_UPRICE_CAPTION, unit_price_caption(s, s.quantity_symbol));
    } else {
        // The indicators come back with the display thread's next messages.
        w.show_control(IDC_TARE_CAPTION, true);
        w.show_control(IDC_TARE, true);
        w.set_text(IDC_WEIGHT_UNIT, decode_text(s.weight_symbol));
        w.set_text(IDC_WEIGHT, "0,00");
        w.set_text(IDC_UPRICE_CAPTION, unit_price_caption(s, s.weight_symbol));
    }
}

void apply_layout(TemplateDialog& w, const std::vector<LayoutOp>& ops) {
    for (const LayoutOp& op : ops) {
        if (op.hide)
            w.layout_hide(op.id);
        else
            w.layout_place(op.id, op.rect);
    }
}

void CTarveloDlg2::SetQuantityMode(int on) {
    quantity_mode_ = on ? 1 : 0;
    set_mode_controls(*this, settings_, on);
    layout();
    repaint();
}

void CTarveloDlg2::layout() {
    std::vector<LayoutOp> ops;
    if (window_.type == 1) {
        ops = layout_fixed();
    } else {
        ops = layout_second(width(), height(), window_, [this](int id) {
            QWidget* c = control(id);
            return c ? c->height() : 0;
        });
    }
    apply_layout(*this, ops);
}

void CTarveloDlg2::LayoutByPercent() {
    layout();
}

void CTarveloDlg2::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (window_.type == 1)
        painter.drawImage(rect(), builtin_bitmap(quantity_mode_ == 1));
    else
        background_.paint(painter, rect(), window_.bg_image);
}

void CTarveloDlg2::resizeEvent(QResizeEvent* event) {
    TemplateDialog::resizeEvent(event);
    layout();
}

void CTarveloDlg2::showEvent(QShowEvent* event) {
    TemplateDialog::showEvent(event);
    layout();
}

ControlStyle CTarveloDlg2::control_style(int id) const {
    const QColor custom =
        QColor::fromRgb(window_.color_r & 0xFF, window_.color_g & 0xFF, window_.color_b & 0xFF);
    const QColor amber = QColor::fromRgb(kAmber), teal = QColor::fromRgb(kTeal);
    const bool fixed = window_.type == 1;
    const QFont values = value_font(window_);
    switch (id) {
        case IDC_BRAND:
            return {point_font("Arial Bold", 18), teal, {}};
        case IDC_CHECKSUM:
        case IDC_MAX:
        case IDC_MIN:
        case IDC_ED:
        case IDC_APPROVAL:
            return {point_font("Arial Bold", 9), {}, {}};
        case IDC_WEIGHT_UNIT:
        case IDC_TARE_CAPTION:
        case IDC_UPRICE_CAPTION:
        case IDC_CURRENCY:
            return {point_font("Arial Bold", 9), custom, {}};
        case IDC_ZERO_MARK:
        case IDC_NET_MARK:
            if (fixed) return {point_font("Arial Bold", 9), QColor(Qt::black), amber};
            return {point_font("Arial Bold", 9), custom, {}};
        case IDC_WEIGHT:
        case IDC_UPRICE:
        case IDC_TARE:
            if (fixed) return {point_font("Arial", 16), amber, QColor(Qt::black)};
            return {values, custom, {}};
        case IDC_TPRICE:
            if (fixed) return {point_font("Arial", 18), QColor(Qt::black), amber};
            return {values, custom, {}};
        case IDC_TEXT:
            if (fixed) return {point_font("Arial", 18), amber, QColor(Qt::black)};
            return {values, custom, {}};  // teal is only the text background colour: transparent
        default:
            return {};
    }
}

}  // namespace tarvelo::ui
