#include "ui/small_dialogs.h"

#include <algorithm>

#include "platform/message_box.h"
#include "ui/templates.h"

namespace tarvelo::ui {
namespace {
const QColor kCrimson(220, 20, 60);
}

BrushDialog::BrushDialog(const DialogTemplate& tmpl, QColor brush, QWidget* parent)
    : TemplateDialog(tmpl, parent), brush_(brush) {}

void BrushDialog::set_brush(QColor brush) {
    brush_ = brush;
    restyle();
    // Hide and show again, so the window repaints in its new colour.
    if (isVisible()) {
        hide();
        show();
    }
}

CDlg_flash::CDlg_flash(QWidget* parent) : BrushDialog(template_145(), Qt::black, parent) {
    restyle();
}
CDlg_flash2::CDlg_flash2(QWidget* parent) : BrushDialog(template_147(), Qt::black, parent) {
    restyle();
}

void BootDialog::resizeEvent(QResizeEvent* event) {
    BrushDialog::resizeEvent(event);
    QWidget* message = control(IDC_MESSAGE);
    if (message == nullptr) return;
    const int top = message->y();
    const QWidget* exit = control(IDC_EXIT);
    const int bottom = exit ? exit->y() : height();
    message->setGeometry(0, top, std::max(0, width()), std::max(message->height(), bottom - top));
}

CDlg_boot::CDlg_boot(QWidget* parent) : BootDialog(template_143(), kCrimson, parent) {
    if (QWidget* exit = control(IDC_EXIT)) exit->setFont(point_font("Arial Bold", 18));
    restyle();
}

ControlStyle CDlg_boot::control_style(int id) const {
    if (id == IDC_MESSAGE) return {point_font("Arial", 26), QColor(Qt::white), kCrimson};
    return {};
}

void CDlg_boot::on_command(int id) {
    if (id == IDC_EXIT && main_) QMetaObject::invokeMethod(main_, "close", Qt::QueuedConnection);
}

CDlg_boot2::CDlg_boot2(QWidget* parent) : BootDialog(template_144(), kCrimson, parent) {
    restyle();
}

ControlStyle CDlg_boot2::control_style(int id) const {
    if (id == IDC_MESSAGE) return {point_font("Arial", 26), QColor(Qt::white), kCrimson};
    return {};
}

CDlg_ver::CDlg_ver(QWidget* parent) : TemplateDialog(template_139(), parent) {
    restyle();
}

ControlStyle CDlg_ver::control_style(int id) const {
    switch (id) {
        case IDC_CHECKSUM:
        case IDC_VER_PELLUM:
        case IDC_VER_DRAVIX:
        case IDC_VER_MANUFACTURER:
            return {point_font("Arial", 26), QColor(Qt::white), QColor(Qt::black)};
        case IDC_VER_CHECKSUM_LABEL:
        case IDC_VER_PELLUM_LABEL:
        case IDC_VER_DRAVIX_LABEL:
            return {point_font("Arial Bold", 12), {}, {}};
        default:
            return {};
    }
}

void CDlg_ver::on_command(int id) {
    if (id == IDC_CLOSE) hide();
}

void place_small_window(TemplateDialog& dialog) {
    dialog.hide();
    dialog.place_topmost_at(250, 150);
}

CDlg_calbS2::CDlg_calbS2(Program& program, QWidget* parent)
    : TemplateDialog(template_142(), parent), program_(program) {
    restyle();
    place_small_window(*this);
}

ControlStyle CDlg_calbS2::control_style(int id) const {
    if (id == IDC_MESSAGE) return {point_font("Arial Bold", 18), {}, {}};
    return {};
}

void CDlg_calbS2::on_command(int id) {
    if (id == IDC_NEXT) {
        if (program_.scale().calibrate_span() == 0) {
            hide();
            message_box().info("Calibration success.");
        } else {
            message_box().error("Span calibration failed! Press Next to try again.");
        }
    } else if (id == IDC_EXIT) {
        hide();
        program_.scale().init_rezero();
    }
}

CDlg_calbS1::CDlg_calbS1(Program& program, QWidget* parent)
    : TemplateDialog(template_141(), parent), program_(program) {
    restyle();
    place_small_window(*this);
    step2_ = new CDlg_calbS2(program, parent);
}

ControlStyle CDlg_calbS1::control_style(int id) const {
    if (id == IDC_MESSAGE) return {point_font("Arial Bold", 18), {}, {}};
    return {};
}

void CDlg_calbS1::on_command(int id) {
    if (id == IDC_NEXT) {
        if (program_.scale().calibrate_zero() == 0) {
            hide();
            step2_->show();
        } else {
            message_box().error("Zero reset failed! Press Next to try again.");
        }
    } else if (id == IDC_EXIT) {
        hide();
        program_.scale().init_rezero();
    }
}

CDlg_calbS0::CDlg_calbS0(Program& program, QWidget* parent)
    : TemplateDialog(template_140(), parent) {
    restyle();
    place_small_window(*this);
    step1_ = new CDlg_calbS1(program, parent);
}

ControlStyle CDlg_calbS0::control_style(int id) const {
    if (id == IDC_AD_LABEL || id == IDC_IR_LABEL) return {point_font("Arial Bold", 12), {}, {}};
    if (id == IDC_AD_COUNT || id == IDC_IR_COUNT)
        return {point_font("Arial", 26), QColor(Qt::white), QColor(Qt::black)};
    return {};
}

void CDlg_calbS0::on_command(int id) {
    if (id == IDC_NEXT) {
        hide();
        step1_->show();
    } else if (id == IDC_CLOSE) {
        hide();
    }
}

}  // namespace tarvelo::ui
