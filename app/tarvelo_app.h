#pragma once
// CTarveloApp: the scale program as a whole. It runs the main window, whose start-up takes its
// steps on the program (scale_program.h), until the window closes, and then stops the display
// and pipe threads.

#include <QSocketNotifier>
#include <memory>
#include <string>
#include <vector>

#include "app/scale_program.h"
#include "platform/traffic_capture.h"
#include "ui/main_window.h"
#include "ui/qt_message_box.h"

namespace tarvelo::app {

using ui::CTarveloDlg;

class CTarveloApp {
  public:
    // Returns the process's exit code: 0 after a normal close (also by SIGTERM, SIGINT or
    // SIGHUP), 1 when start-up failed (also for want of file descriptors before it began).
    // The settings are read from the first of `settings_places` that holds a regular file.
    int InitInstance(const char* program_name, std::vector<std::string> settings_places);
};

// Signals reach the program through a self-pipe read on the Qt event loop. SIGTERM, SIGINT and
// SIGHUP close the main window as its own close does, so the program ends cleanly with exit
// code 0; each is taken once, and a second one ends the program at once (the board lines given
// up first). During the main window's start-up they are taken too (a message box there runs the
// event loop): the box closes, no other opens, and the program ends once the start-up returns,
// with the start-up's own exit code. With TARVELO_SCREENSHOT_DIR set, SIGUSR1 saves both display
// windows there as PNG files (for demonstrations and checks on a machine without a screen).
// SIGUSR2 starts a capture into capture_YYYYMMDDhhmmss.txt in the current directory, or ends
// the one that runs; it may come any number of times.
class SignalEvents {
  public:
    // Installs the handlers; signals that come before attach() wait in the pipe.
    SignalEvents();
    // Before the main window's start-up.
    void attach(CTarveloDlg& dlg, ui::QtMessageBox& boxes);
    // The start-up has returned: from now on a signal closes the main window.
    void started() { starting_ = false; }
    // A signal came during the start-up.
    bool stopped() const { return stopped_; }

  private:
    std::unique_ptr<QSocketNotifier> notifier_;
    bool starting_ = true;
    bool stopped_ = false;
};

}  // namespace tarvelo::app
