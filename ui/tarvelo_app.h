#pragma once
// CTarveloApp: the scale program as a whole. It wires the main window to the process-wide
// settings, weighing facade, display thread and ECR link, runs the main window until it
// closes, and then stops the display and pipe threads.

#include <QSocketNotifier>
#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "ui/main_window.h"

namespace tarvelo {
class PipeServerThread;
}

namespace tarvelo::ui {

class CTarveloApp {
public:
    // Returns the process's exit code: 0 after a normal close (also by SIGTERM, SIGINT or
    // SIGHUP), 1 when start-up failed.
    int InitInstance(int argc, char** argv);
};

// The display thread and the pipe thread: started by the main window's start-up, stopped and
// joined by stop() before the program ends. It also says "tarvelo: scale ready" on standard
// output once the display is up and the ECR link is served, and when the pipe could not be
// made, says on standard error that the scale runs without it.
class ScaleThreads {
public:
    bool start_display(CTarveloDlg& dlg);
    bool start_pipe(CTarveloDlg& dlg);
    void display_shown();
    // The pipe thread closes the ECR link and removes its socket; the display thread stops
    // posting to the windows.
    void stop();

private:
    void pipe_created(bool served);
    void announce();

    std::atomic<bool> display_stop_{false};
    std::thread display_, pipe_;
    PipeServerThread* link_ = nullptr;
    std::mutex mutex_;
    bool shown_ = false;
    int served_ = 0;  // 1 the pipe was made, -1 it could not be
};

// Signals reach the program through a self-pipe read on the Qt event loop. SIGTERM, SIGINT and
// SIGHUP close the main window as its own close does, so the program ends cleanly with exit
// code 0; each is taken once, and a second one ends the program at once. With
// TARVELO_SCREENSHOT_DIR set, SIGUSR1 saves both display windows there as PNG files (for
// demonstrations and checks on a machine without a screen).
class SignalEvents {
public:
    // Installs the handlers; signals that come before attach() wait in the pipe.
    SignalEvents();
    void attach(CTarveloDlg& dlg);

private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

// The real outside world of the main window.
CTarveloDlg::Services production_services(ScaleThreads& threads);

}  // namespace tarvelo::ui
