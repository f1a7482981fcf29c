#pragma once
// CTarveloApp: the scale program as a whole. It wires the main window to the process-wide
// settings, weighing facade, display thread and ECR link, and runs the main window until it
// closes.

#include <QSocketNotifier>
#include <memory>

#include "ui/main_window.h"

namespace tarvelo::ui {

class CTarveloApp {
public:
    // Returns the process's exit code: 0 after a normal close, 1 when start-up failed.
    int InitInstance(int argc, char** argv);
};

// With TARVELO_SCREENSHOT_DIR set, SIGUSR1 saves both display windows there as PNG files
// (for demonstrations and checks on a machine without a screen).
class ScreenshotOnSignal {
public:
    explicit ScreenshotOnSignal(CTarveloDlg& dlg);
    ~ScreenshotOnSignal();

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

// The real outside world of the main window.
CTarveloDlg::Services production_services();

}  // namespace tarvelo::ui
