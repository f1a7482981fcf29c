#pragma once
// The display bar, CTarveloDlg: the program's main window. It owns every other window, runs
// the start-up steps in their order (on the program, program.h), keeps the notification-area
// icon, and takes the window messages through which the display and pipe threads update it. Calls
// from other threads (posted messages, show/hide, mode switch, boot screens) are queued to the
// user-interface thread.

#include <QPoint>
#include <QSystemTrayIcon>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "config/settings.h"
#include "ecr/ecr_display.h"
#include "ui/background.h"
#include "ui/display_thread.h"
#include "ui/program.h"
#include "ui/second_window.h"
#include "ui/small_dialogs.h"
#include "ui/template_dialog.h"

namespace tarvelo::ui {

inline constexpr const char* kChecksumFailedText = "Failed to get scale module checksum!";
inline constexpr const char* kThreadFailedText = "Create Thread Error!";
inline constexpr const char* kOpenSpanSwitchText = "Please Open Span Switch!";

// How a failed start-up ends the process: without settings at once, -1 (255 to the shell);
// after any other failure once the start-up has run to its end.
inline constexpr int kNoSettingsExitCode = -1;
inline constexpr int kStartUpFailedExitCode = 1;

// The display metrics the windows are placed by.
constexpr int kHorizontalResolution = 8;
constexpr int kVerticalResolution = 10;
// Width or height of display `index`; -1 for a display that does not exist.
int display_metric(int index, int capability);
// Where display `index` begins on the desktop; none for a display that does not exist.
std::optional<QPoint> display_origin(int index);

// The desktop's displays, on which the start-up places the boot and flash windows; the window
// tests bring their own.
class Displays {
  public:
    virtual ~Displays() = default;
    virtual int metric(int index, int capability) const {
        return display_metric(index, capability);
    }
    virtual std::optional<QPoint> origin(int index) const { return display_origin(index); }
};
const Displays& desktop_displays();

class CTarveloDlg : public TemplateDialog, public EcrDisplay, public BootScreens {
    Q_OBJECT
  public:
    explicit CTarveloDlg(Program& program, const Displays& displays = desktop_displays());
    ~CTarveloDlg() override;

    // The start-up steps; false when a failure requested the close (or, without settings,
    // the process was told to end).
    bool OnInitDialog();
    bool close_requested() const { return close_requested_; }

    // Any thread.
    void post(PostedMessage message) override;
    void show_window(DisplayWindow window, bool show) override;
    void set_quantity_mode(DisplayWindow window, int mode) override;
    void set_flash_colour(int r, int g, int b) override;
    void close_flash() override;
    void show_boot() override;
    void boot_failed(const std::string& text) override;
    void close_boot() override;
    void show_display_windows() override;

    // User-interface thread.
    void handle_message(const PostedMessage& message);
    void tray_notify(int mouse_message);  // WM_LBUTTONDOWN or WM_LBUTTONDBLCLK
    void SetQuantityMode(int on);
    void LayoutByPercent();

    const Configuration& configuration() const { return config_; }
    const std::string& module_checksum() const { return module_checksum_; }
    std::atomic<int32_t>& calibration_mode() { return calibration_mode_; }
    CTarveloDlg2& second() { return *second_; }
    CDlg_ver& version() { return *ver_; }
    CDlg_calbS0& calibration() { return *calb_; }
    CDlg_boot& boot() { return *boot_; }
    CDlg_boot2& boot2() { return *boot2_; }
    CDlg_flash& flash() { return *flash_; }
    CDlg_flash2& flash2() { return *flash2_; }
    QSystemTrayIcon* tray() { return tray_.get(); }
    bool event(QEvent* e) override;
    // The dialog's own OK and Cancel end the program, as a close does.
    void reject() override;
    void accept() override;

  protected:
    ControlStyle control_style(int id) const override;
    void on_command(int id) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    // How long the colour test waits for the boot windows to reach the screen, and how often
    // it looks.
    static constexpr int kBootCoverWaitMs = 1000;
    static constexpr int kBootCoverPollMs = 10;
    void close_flash_when_covered(int patience_ms);
    void fail(const char* text);
    void request_close();
    void create_windows();
    void queue(std::function<void()> call);

    Program& program_;
    const Displays& displays_;
    Configuration config_;
    std::string module_checksum_ = "00000000";
    std::atomic<int32_t> calibration_mode_{0};
    bool close_requested_ = false;
    int quantity_mode_ = 0;
    QString weight_last_shown_;
    BackgroundImage background_;
    std::unique_ptr<QSystemTrayIcon> tray_;

    CTarveloDlg2* second_ = nullptr;
    CDlg_pop pop1_;
    CDlg_pop2 pop2_;
    CDlg_ver* ver_ = nullptr;
    CDlg_calbS0* calb_ = nullptr;
    CDlg_boot* boot_ = nullptr;
    CDlg_boot2* boot2_ = nullptr;
    CDlg_flash* flash_ = nullptr;
    CDlg_flash2* flash2_ = nullptr;
};

}  // namespace tarvelo::ui
