#include "app/tarvelo_app.h"

#include "app/installation_check.h"

#include <fcntl.h>
#include <unistd.h>
#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/error_line.h"
#include "platform/output_lines.h"
#include "ui/qt_message_box.h"

namespace tarvelo::app {

using ui::QtMessageBox;
namespace {

QtMessageBox& qt_boxes() {
    static QtMessageBox* boxes = new QtMessageBox;
    return *boxes;
}

int g_signal_pipe[2] = {-1, -1};
volatile sig_atomic_t g_taken[NSIG] = {};  // an ending signal of this kind has come once

// SIGUSR2: a capture begins beside the event log files, named by the time as they are; or the
// one that runs ends.
void toggle_capture() {
    TrafficCapture& capture = process_capture();
    if (capture.running()) {
        std::string path = capture.path();
        capture.stop();
        error_line("tarvelo: capture ended: " + path);
        return;
    }
    LocalTime t = system_clock().local_time();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "capture_%04d%02d%02d%02d%02d%02d", t.year, t.month, t.day,
                  t.hour, t.minute, t.second);
    // A capture ended and the next begun in the same second must not empty the one before.
    std::string name = std::string(stamp) + ".txt";
    std::error_code error;
    for (int n = 2; n < 1000 && std::filesystem::symlink_status(name, error).type() !=
                                    std::filesystem::file_type::not_found;
         ++n)
        name = std::string(stamp) + "_" + std::to_string(n) + ".txt";
    std::string path = std::filesystem::absolute(name, error).string();
    if (error) path = name;
    if (Result<void> started = capture.start(path, false); !started)
        error_line("tarvelo: cannot capture: " + started.error());
    else
        error_line("tarvelo: capture started: " + path);
}

void on_signal(int number) {
    // SIGUSR1 and SIGUSR2 ask for something and may come any number of times.
    bool ending = number != SIGUSR1 && number != SIGUSR2;
    if (ending && g_taken[number]) {
        // The second of a kind ends the program at once, by the signal's own default, once the
        // board lines are given up: a pseudo-terminal's exclusive flag would outlive us and
        // refuse the next start by a normal user.
        release_serial_ports();
        ::signal(number, SIG_DFL);
        ::raise(number);  // delivered as this handler returns
        return;
    }
    if (ending) g_taken[number] = 1;
    int saved = errno;
    char c = static_cast<char>(number);
    [[maybe_unused]] auto n = ::write(g_signal_pipe[1], &c, 1);
    errno = saved;
}

}  // namespace

SignalEvents::SignalEvents() {
    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    for (int s : {SIGTERM, SIGINT, SIGHUP, SIGUSR2}) sigaction(s, &sa, nullptr);
    if (std::getenv("TARVELO_SCREENSHOT_DIR")) sigaction(SIGUSR1, &sa, nullptr);
}

void SignalEvents::attach(CTarveloDlg& dlg, QtMessageBox& boxes) {
    if (g_signal_pipe[0] < 0) return;
    const char* dir = std::getenv("TARVELO_SCREENSHOT_DIR");
    std::string out = dir ? dir : "";
    notifier_ = std::make_unique<QSocketNotifier>(g_signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this, &dlg, &boxes, out] {
        char c;
        while (::read(g_signal_pipe[0], &c, 1) == 1) {
            if (c == SIGTERM || c == SIGINT || c == SIGHUP) {
                if (!starting_) {
                    dlg.close();  // as the operator's close: the event loop ends, then the threads
                } else {
                    // A service manager's stop or a logout must not hang on a box nobody sees.
                    stopped_ = true;
                    boxes.dismiss();
                }
                continue;
            }
            if (c == SIGUSR2) {
                toggle_capture();
                continue;
            }
            if (c != SIGUSR1 || out.empty() || starting_) continue;
            for (auto [window, name] :
                 {std::pair<QWidget*, const char*>{&dlg, "display_bar.png"},
                  std::pair<QWidget*, const char*>{&dlg.second(), "customer_window.png"}}) {
                std::string path = out + "/" + name;
                if (window->grab().save(QString::fromStdString(path)))
                    standard_output().write("screenshot: " + path + "\n");
            }
        }
    });
}

int CTarveloApp::InitInstance(const char* program_name, std::vector<std::string> settings_places) {
    if (int spare = spare_descriptors(kSpareDescriptors); spare < kSpareDescriptors) {
        error_line("tarvelo: too few file descriptors left (" + std::to_string(spare) +
                   " could be opened, the scale needs " + std::to_string(kSpareDescriptors) +
                   "); raise the limit (ulimit -n)");
        return ui::kStartUpFailedExitCode;
    }
    auto* signal_events = new SignalEvents;
    // The application object and the windows live as long as the process: the board drivers'
    // reader threads are never stopped and post to the main window to the very end. It sees
    // the program's name only: the command line has been read, and nothing of it is Qt's.
    static int app_argc = 1;
    static char* app_argv[] = {const_cast<char*>(program_name), nullptr};
    // The display bar must be placed where the settings say and kept on top, which a Wayland
    // session does not allow its own windows: there the scale runs on X11 (XWayland), unless
    // the platform was chosen explicitly.
    if (!std::getenv("QT_QPA_PLATFORM") && std::getenv("WAYLAND_DISPLAY") && std::getenv("DISPLAY"))
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    // The windows are drawn in pixels for 96 dpi and the settings place them in screen pixels:
    // a desktop scaled to 150 % must not make the 800-pixel bar 1200 pixels wide. A scaling
    // the user asks for explicitly still holds.
    ::setenv("QT_ENABLE_HIGHDPI_SCALING", "0", 0);
    auto* app = new QApplication(app_argc, app_argv);
    QApplication::setQuitOnLastWindowClosed(false);
    set_message_box(&qt_boxes());
    auto* program =
        new ScaleProgram(std::move(settings_places), system_clock(), &process_capture());
    auto* dlg = new CTarveloDlg(*program);
    signal_events->attach(*dlg, qt_boxes());
    bool started = dlg->OnInitDialog();
    signal_events->started();
    int code = started ? 0 : ui::kStartUpFailedExitCode;
    // Not a modal exec(): the bar may be hidden (DC2, the tray icon) without ending anything;
    // only its close ends the program.
    if (!signal_events->stopped()) {
        dlg->show();
        if (started) app->exec();  // a failed start-up has requested the close: it ends here
    }
    program->stop();
    return code;
}

}  // namespace tarvelo::app
