#include "app/tarvelo_app.h"

#include <fcntl.h>
#include <unistd.h>
#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/installation_check.h"
#include "config/settings.h"
#include "libs/dravix.h"
#include "libs/pellum.h"
#include "platform/error_line.h"
#include "platform/output_lines.h"
#include "platform/serial_port.h"
#include "ui/qt_message_box.h"

namespace tarvelo::app {

using ui::QtMessageBox;
namespace {

QtMessageBox& qt_boxes() {
    static QtMessageBox* boxes = new QtMessageBox;
    return *boxes;
}

// What the scale opens beyond what it has at the start, with room: the toolkit and its X
// connection (fonts, plugins, shared-memory images), the board, the ECR socket, its connection
// and guard, the log file. Without them the toolkit aborts or the scale starts only in part.
constexpr int kSpareDescriptors = 32;

// How many more descriptors the process can open, counted up to `wanted`.
int spare_descriptors(int wanted) {
    std::vector<int> held;
    for (int i = 0; i < wanted; ++i) {
        int fd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0);
        if (fd < 0) break;
        held.push_back(fd);
    }
    for (int fd : held) ::close(fd);
    return static_cast<int>(held.size());
}

int g_signal_pipe[2] = {-1, -1};

void on_signal(int signal) {
    int saved = errno;
    char c = static_cast<char>(signal);
    [[maybe_unused]] auto n = ::write(g_signal_pipe[1], &c, 1);
    errno = saved;
}

}  // namespace

SignalEvents::SignalEvents() {
    if (::pipe2(g_signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART | SA_RESETHAND;
    for (int s : {SIGTERM, SIGINT, SIGHUP}) sigaction(s, &sa, nullptr);
    if (std::getenv("TARVELO_SCREENSHOT_DIR")) {
        sa.sa_flags = SA_RESTART;
        sigaction(SIGUSR1, &sa, nullptr);
    }
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

void end_process(int code) {
    release_serial_ports();
    standard_output().flush(1000);
    std::fflush(nullptr);
    std::_Exit(code);
}

CTarveloDlg::Services production_services(std::unique_ptr<ScaleProgram>& program,
                                          std::vector<std::string> settings_places) {
    CTarveloDlg::Services s;
    // Loading the settings builds the program on them; the window's later steps reach it
    // only after that.
    s.load_settings = [&program,
                       places = std::move(settings_places)]() -> std::optional<Configuration> {
        std::vector<std::string> passed_over;
        auto path = find_settings_file(places, &passed_over);
        if (!path) {
            // Each place and why, before "Could not find tarvelo.ini" says only what.
            for (const std::string& why : passed_over) error_line("tarvelo: " + why);
            return std::nullopt;
        }
        auto ini = IniFile::load(*path);
        if (!ini) {
            error_line("tarvelo: " + ini.error());  // then "Could not find ..."
            return std::nullopt;
        }
        Configuration config = load_settings(*ini);
        program = std::make_unique<ScaleProgram>(config);
        return config;
    };
    s.exit_process = [](int code) { end_process(code); };
    s.scale_open = [&program](MessageSink* owner, const char* port) {
        int opened = program->facade().open(owner, port);
        // What tarvelo --check would say of the device, beside the box's "Scale initialize
        // failed!" on standard error.
        if (opened == -1) {
            if (std::string hint = board_open_hint(port ? port : ""); !hint.empty())
                error_line("tarvelo: " + hint);
        }
        return opened;
    };
    s.get_checksum = [](char* buffer) { return get_scale_checksum(buffer); };
    s.start_display_thread = [&program](CTarveloDlg& dlg) { return program->start_display(dlg); };
    s.start_pipe_thread = [&program](CTarveloDlg& dlg) { return program->start_pipe(dlg); };
    s.display_shown = [&program] { program->display_shown(); };
    s.zero_key = [&program] { program->facade().on_zero_button(); };
    s.tare_key = [&program] { program->facade().on_tare_button(); };
    s.saved_snapshot = [&program] { return program->saved().load(); };
    s.calibrate_zero = [&program] { return program->facade().calibrate_zero(); };
    s.calibrate_span = [&program] { return program->facade().calibrate_span(); };
    s.init_rezero = [&program] { return program->facade().init_rezero(); };
    s.pellum_version = [] { return pellum_getversion(); };
    s.dravix_version = [] { return dravix_getversion(); };
    s.boxes = &qt_boxes();
    s.info_box = [](const std::string& text) { qt_boxes().info(text); };
    return s;
}

int CTarveloApp::InitInstance(const char* program_name, std::vector<std::string> settings_places) {
    if (int spare = spare_descriptors(kSpareDescriptors); spare < kSpareDescriptors) {
        error_line("tarvelo: too few file descriptors left (" + std::to_string(spare) +
                   " could be opened, the scale needs " + std::to_string(kSpareDescriptors) +
                   "); raise the limit (ulimit -n)");
        return 1;
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
    auto* program = new std::unique_ptr<ScaleProgram>;
    auto* dlg = new CTarveloDlg(production_services(*program, std::move(settings_places)));
    signal_events->attach(*dlg, qt_boxes());
    bool started = dlg->OnInitDialog();
    signal_events->started();
    int code = started ? 0 : 1;
    // Not a modal exec(): the bar may be hidden (DC2, the tray icon) without ending anything;
    // only its close ends the program.
    if (!signal_events->stopped()) {
        dlg->show();
        if (started) app->exec();  // a failed start-up has requested the close: it ends here
    }
    if (*program) (*program)->stop();
    return code;
}

}  // namespace tarvelo::app
