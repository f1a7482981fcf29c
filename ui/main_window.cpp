#include "ui/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <cstring>

#include "platform/error_line.h"
#include "platform/message_box.h"
#include "platform/window_messages.h"
#include "ui/background.h"
#include "ui/layout.h"
#include "ui/templates.h"
#include "ui/text_codec.h"

namespace tarvelo::ui {
namespace {

const QEvent::Type kMessageEvent = static_cast<QEvent::Type>(QEvent::User + 1);

class MessageEvent : public QEvent {
  public:
    explicit MessageEvent(PostedMessage m) : QEvent(kMessageEvent), message(std::move(m)) {}
    PostedMessage message;
};

}  // namespace

int display_metric(int index, int capability) {
    const auto screens = QGuiApplication::screens();
    if (index < 0 || index >= screens.size()) return -1;
    QRect g = screens[index]->geometry();
    if (capability == kHorizontalResolution) return g.width();
    if (capability == kVerticalResolution) return g.height();
    return -1;
}

std::optional<QPoint> display_origin(int index) {
    const auto screens = QGuiApplication::screens();
    if (index < 0 || index >= screens.size()) return std::nullopt;
    return screens[index]->geometry().topLeft();
}

const Displays& desktop_displays() {
    static const Displays displays;
    return displays;
}

CTarveloDlg::CTarveloDlg(Program& program, const Displays& displays)
    : TemplateDialog(template_102()), program_(program), displays_(displays) {
    setWindowIcon(style()->standardIcon(QStyle::SP_ComputerIcon));
    ver_ = new CDlg_ver(this);
    calb_ = new CDlg_calbS0(program_, this);
    boot_ = new CDlg_boot(this);
    boot2_ = new CDlg_boot2(this);
    flash_ = new CDlg_flash(this);
    flash2_ = new CDlg_flash2(this);
}

CTarveloDlg::~CTarveloDlg() = default;

void CTarveloDlg::fail(const char* text) {
    message_box().error(text);
    request_close();
}

void CTarveloDlg::request_close() {
    close_requested_ = true;
    if (tray_) tray_->hide();
    QMetaObject::invokeMethod(this, "close", Qt::QueuedConnection);
}

void CTarveloDlg::queue(std::function<void()> call) {
    QMetaObject::invokeMethod(this, std::move(call), Qt::QueuedConnection);
}

// The start-up, in its order. Every failure shows its message box. Without settings nothing
// else can run: the process ends there with kNoSettingsExitCode. Any other failure requests the
// close and the later steps still run (threads may already be running); the program then ends
// with kStartUpFailedExitCode as soon as the start-up returns.
bool CTarveloDlg::OnInitDialog() {
    // The notification-area icon, where the desktop has one.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = std::make_unique<QSystemTrayIcon>(windowIcon());
        connect(tray_.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason r) {
                    if (r == QSystemTrayIcon::Trigger) tray_notify(WM_LBUTTONDOWN);
                    if (r == QSystemTrayIcon::DoubleClick) tray_notify(WM_LBUTTONDBLCLK);
                });
        tray_->show();
    }
    // The keys' font.
    for (int id : {IDC_ZERO_KEY, IDC_TARE_KEY})
        if (QWidget* key = control(id)) key->setFont(point_font("Arial Bold", 20));

    // The settings, and the program built on them.
    std::optional<Configuration> loaded = program_.load_settings();
    if (!loaded) {
        message_box().error(kMissingSettingsText);
        program_.exit_process(kNoSettingsExitCode);
        return false;
    }
    config_ = *loaded;
    // The weighing board.
    int opened = program_.open_board(this, config_.scale.serial_port);
    if (opened == -1) fail("Scale initialize failed!");
    if (opened == -2) fail("Failed to start scale!");
    // The scale library's checksum.
    if (std::optional<std::string> checksum = program_.read_checksum())
        module_checksum_ = *checksum;
    else
        fail(kChecksumFailedText);
    // The display thread, then the pipe thread.
    if (!program_.start_display_thread(*this)) fail(kThreadFailedText);
    if (!program_.start_pipe_thread(*this)) fail(kThreadFailedText);
    // The windows.
    create_windows();
    return !close_requested_;
}

void CTarveloDlg::create_windows() {
    const Settings& s = config_.scale;
    // The bar itself.
    const WindowSettings& m = config_.main1;
    place_topmost(m.x, m.y, m.w, m.h);
    set_bar_texts(*this, s, module_checksum_);
    restyle();
    // The second window, hidden until start-up ends.
    second_ = new CTarveloDlg2(config_.main2, s, this);
    set_bar_texts(*second_, s, module_checksum_);
    second_->hide();
    second_->place_topmost(config_.main2.x, config_.main2.y, config_.main2.w, config_.main2.h);
    // Boot and flash windows, one per display, each where its display lies on the desktop:
    // with display 1 right of display 0 at the top, at the width of display 0. A display 1
    // that does not exist gives -1 sizes and its windows go right of display 0.
    int w0 = displays_.metric(0, kHorizontalResolution),
        h0 = displays_.metric(0, kVerticalResolution);
    int w1 = displays_.metric(1, kHorizontalResolution),
        h1 = displays_.metric(1, kVerticalResolution);
    const QPoint at0 = displays_.origin(0).value_or(QPoint(0, 0));
    const QPoint at1 = displays_.origin(1).value_or(QPoint(at0.x() + w0, at0.y()));
    boot_->set_main_window(this);
    boot_->hide();
    boot_->place_topmost(at0.x(), at0.y(), w0, h0);
    boot2_->hide();
    boot2_->place_topmost(at1.x(), at1.y(), w1, h1);
    flash_->place_topmost(at0.x(), at0.y(), w0, h0);
    flash_->show();
    flash2_->place_topmost(at1.x(), at1.y(), w1, h1);
    flash2_->show();
    // The version window.
    place_small_window(*ver_);
    const LibraryVersions versions = program_.library_versions();
    ver_->set_text(IDC_CHECKSUM, decode_text(module_checksum_));
    ver_->set_text(IDC_VER_PELLUM, QString::number(versions.pellum));
    ver_->set_text(IDC_VER_DRAVIX, QString::number(versions.dravix));
    ver_->set_text(IDC_VER_MANUFACTURER, decode_text(s.manufacturer));
    // The calibration wizard.
    place_small_window(*calb_);
}

// --- calls from other threads ---------------------------------------------------------------

void CTarveloDlg::post(PostedMessage message) {
    QCoreApplication::postEvent(this, new MessageEvent(std::move(message)));
}

void CTarveloDlg::show_window(DisplayWindow window, bool show) {
    queue([this, window, show] {
        QWidget* w = window == DisplayWindow::main ? static_cast<QWidget*>(this) : second_;
        if (w) w->setVisible(show);
    });
}

void CTarveloDlg::set_quantity_mode(DisplayWindow window, int mode) {
    queue([this, window, mode] {
        if (window == DisplayWindow::main)
            SetQuantityMode(mode);
        else if (second_)
            second_->SetQuantityMode(mode);
    });
}

void CTarveloDlg::set_flash_colour(int r, int g, int b) {
    queue([this, r, g, b] {
        flash_->set_brush(QColor(r, g, b));
        flash2_->set_brush(QColor(r, g, b));
    });
}

void CTarveloDlg::close_flash() {
    queue([this] { close_flash_when_covered(kBootCoverWaitMs); });
}

void CTarveloDlg::close_flash_when_covered(int patience_ms) {
    // A shown window reaches the screen only once the window manager has mapped it: closing
    // the colour test any earlier would leave the bare desktop in sight for a frame or two.
    // A boot window that never gets there (no such display) holds it up for a moment only.
    auto covering = [](const QWidget* w) {
        return !w->isVisible() || (w->windowHandle() && w->windowHandle()->isExposed());
    };
    if (patience_ms > 0 && !(covering(boot_) && covering(boot2_))) {
        QTimer::singleShot(kBootCoverPollMs, this, [this, patience_ms] {
            close_flash_when_covered(patience_ms - kBootCoverPollMs);
        });
        return;
    }
    flash_->close();
    flash2_->close();
}

void CTarveloDlg::show_boot() {
    queue([this] {
        boot_->show();
        boot2_->show();
    });
}

void CTarveloDlg::boot_failed(const std::string& text) {
    // Also on standard error: a scale running without a screen must still say why it stopped.
    error_line(text);
    queue([this, text] {
        boot_->set_text(IDC_MESSAGE, decode_text(text));
        boot2_->set_text(IDC_MESSAGE, decode_text(text));
        boot_->show_control(IDC_EXIT, true);
    });
}

void CTarveloDlg::close_boot() {
    queue([this] {
        boot_->close();
        boot2_->close();
    });
}

void CTarveloDlg::show_display_windows() {
    program_.display_shown();
    queue([this] {
        setVisible(config_.main1.hide_fg == 0);
        if (second_) second_->setVisible(config_.main2.hide_fg == 0);
    });
}

bool CTarveloDlg::event(QEvent* e) {
    if (e->type() == kMessageEvent) {
        handle_message(static_cast<MessageEvent*>(e)->message);
        return true;
    }
    return TemplateDialog::event(e);
}

// --- the message table --------------------------------------------------------------------

void CTarveloDlg::handle_message(const PostedMessage& m) {
    const QString text = decode_text(m.text);
    const bool second_refresh = second_ && second_->window_settings().type == 0;
    auto set_value = [&](int id) {
        set_text(id, text);
        refresh_control(id);
        if (second_) {
            second_->set_text(id, text);
            if (second_refresh) second_->refresh_control(id);
        }
    };
    auto show_both = [&](int id, bool show) {
        if (show && quantity_mode_ == 1) return;
        show_control(id, show);
        if (second_) second_->show_control(id, show);
    };
    switch (m.id) {
        case WM_SHOW_WEIGHT:
            if (text.left(15) == weight_last_shown_) break;
            weight_last_shown_ = text.left(15);
            set_value(IDC_WEIGHT);
            break;
        case WM_SHOW_TARE:
            if (quantity_mode_ == 0) set_value(IDC_TARE);
            break;
        case WM_SHOW_UNIT_PRICE:
            set_value(IDC_UPRICE);
            break;
        case WM_SHOW_TOTAL_PRICE:
            set_value(IDC_TPRICE);
            break;
        case WM_SHOW_TEXT:
            if (second_) {
                second_->set_text(IDC_TEXT, text);
                second_->refresh_control(IDC_TEXT);
            }
            break;
        case WM_ZERO_ON:
            show_both(IDC_ZERO_MARK, true);
            break;
        case WM_ZERO_OFF:
            show_both(IDC_ZERO_MARK, false);
            break;
        case WM_NET_ON:
            show_both(IDC_NET_MARK, true);
            break;
        case WM_NET_OFF:
            show_both(IDC_NET_MARK, false);
            break;
        case WM_SHOW_AD_COUNT:
            calb_->set_text(IDC_AD_COUNT, text);
            break;
        case WM_SHOW_IR_COUNT:
            calb_->set_text(IDC_IR_COUNT, text);
            break;
        default:
            break;  // the sale notifications and the board's own messages: nothing to do
    }
}

void CTarveloDlg::tray_notify(int mouse_message) {
    if (mouse_message == WM_LBUTTONDOWN) {
        setVisible(!isVisible());
        if (second_) second_->setVisible(!second_->isVisible());
    } else if (mouse_message == WM_LBUTTONDBLCLK) {
        QMetaObject::invokeMethod(this, "close", Qt::QueuedConnection);
        if (second_) QMetaObject::invokeMethod(second_, "close", Qt::QueuedConnection);
    }
}

void CTarveloDlg::on_command(int id) {
    switch (id) {
        case IDC_ZERO_KEY:
            program_.scale().on_zero_button();
            break;
        case IDC_TARE_KEY:
            program_.scale().on_tare_button();
            break;
        case IDC_BRAND:
        case IDC_CHECKSUM:
        case IDC_APPROVAL:
            calibration_mode_ = 0;
            calb_->hide();
            calb_->step1().hide();
            ver_->show();
            break;
        case IDC_MAX:
        case IDC_MIN:
        case IDC_ED:
            if (program_.saved_snapshot().span_switch != 0) {
                calibration_mode_ = 1;
                ver_->hide();
                calb_->show();
            } else {
                message_box().error(kOpenSpanSwitchText);
            }
            break;
        default:
            break;
    }
}

void CTarveloDlg::SetQuantityMode(int on) {
    quantity_mode_ = on ? 1 : 0;
    weight_last_shown_.clear();  // the weight now shows a placeholder: the next value must show
    set_mode_controls(*this, config_.scale, on);
    LayoutByPercent();
    repaint();
}

void CTarveloDlg::LayoutByPercent() {
    apply_layout(*this, layout_main(width(), height(), config_.main1, [this](int id) {
        QWidget* c = control(id);
        return c ? c->height() : 0;
    }));
}

void CTarveloDlg::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    background_.paint(painter, rect(), config_.main1.bg_image);
}

void CTarveloDlg::resizeEvent(QResizeEvent* event) {
    TemplateDialog::resizeEvent(event);
    LayoutByPercent();
}

void CTarveloDlg::closeEvent(QCloseEvent* event) {
    // Closing the bar ends the program; hiding it (DC2, the tray icon) never does.
    if (tray_) tray_->hide();
    event->accept();
    hide();
    QCoreApplication::quit();
}

void CTarveloDlg::reject() {
    close();
}
void CTarveloDlg::accept() {
    close();
}

ControlStyle CTarveloDlg::control_style(int id) const {
    const WindowSettings& m = config_.main1;
    const QColor custom = QColor::fromRgb(m.color_r & 0xFF, m.color_g & 0xFF, m.color_b & 0xFF);
    switch (id) {
        case IDC_BRAND:
            return {point_font("Arial Bold", 18), QColor::fromRgb(kTeal), {}};
        case IDC_CHECKSUM:
        case IDC_MAX:
        case IDC_MIN:
        case IDC_ED:
        case IDC_APPROVAL:
            return {point_font("Arial Bold", 9), {}, {}};
        case IDC_ZERO_MARK:
        case IDC_NET_MARK:
        case IDC_WEIGHT_UNIT:
        case IDC_TARE_CAPTION:
        case IDC_UPRICE_CAPTION:
        case IDC_CURRENCY:
            return {point_font("Arial Bold", 9), custom, {}};
        case IDC_WEIGHT:
        case IDC_UPRICE:
        case IDC_TPRICE:
        case IDC_TARE:
            return {value_font(m), custom, {}};
        default:
            return {};
    }
}

}  // namespace tarvelo::ui
