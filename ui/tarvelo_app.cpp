#include "ui/tarvelo_app.h"

#include <QApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

#include "config/settings.h"
#include "ecr/pipe_server.h"
#include "libs/dravix.h"
#include "libs/pellum.h"
#include "log/event_log.h"
#include "scale/weighing_facade.h"
#include "ui/qt_message_box.h"

namespace tarvelo::ui {
namespace {

class FacadeDisplayScale : public DisplayScale {
public:
    explicit FacadeDisplayScale(std::string checksum) : checksum_(std::move(checksum)) {}
    void get_snapshot(weighing_snapshot* out) override { scale_get_snapshot(out); }
    int startup() override { return scale_startup(checksum_); }
    void sale_refresh(MessageSink* owner) override { scale_sale_refresh(owner); }
    bool take_weight_text_clear() override { return weighing_facade().take_weight_text_clear(); }

private:
    std::string checksum_;
};

QtMessageBox& qt_boxes() {
    static QtMessageBox* boxes = new QtMessageBox;
    return *boxes;
}

int g_signal_pipe[2] = {-1, -1};

void on_signal(int signal) {
    int saved = errno;
    char c = static_cast<char>(signal);
    [[maybe_unused]] auto n = ::write(g_signal_pipe[1], &c, 1);
    errno = saved;
}

}  // namespace

bool ScaleThreads::start_display(CTarveloDlg& dlg) {
    DisplayThread::Parts parts;
    parts.scale = new FacadeDisplayScale(dlg.module_checksum());
    parts.sale = &sale_state();
    parts.saved = &saved_snapshot();
    parts.main = &dlg;
    parts.screens = &dlg;
    parts.clock = &system_clock();
    // TARVELO_TIME_DIVISOR shortens the boot screens' 8 s for automated runs; nothing else.
    if (const char* divisor = std::getenv("TARVELO_TIME_DIVISOR"); divisor && std::atoi(divisor) > 1)
        parts.boot_clock = new ScaledClock(std::atoi(divisor));
    parts.display_ready = &display_ready_flag();
    parts.calibration_mode = &dlg.calibration_mode();
    parts.auto_clear = configuration().scale.auto_clear_fg != 0;
    try {
        display_ = std::thread([this, parts] { DisplayThread(parts).run(&display_stop_); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool ScaleThreads::start_pipe(CTarveloDlg& dlg) {
    PipeServerThread& link = ecr_link(&dlg);
    link.on_created([this](bool served) { pipe_created(served); });
    try {
        pipe_ = std::thread([&link] { link.run(); });
    } catch (const std::system_error&) {
        return false;
    }
    link_ = &link;
    return true;
}

void ScaleThreads::display_shown() {
    std::lock_guard<std::mutex> lock(mutex_);
    shown_ = true;
    announce();
}

void ScaleThreads::pipe_created(bool served) {
    std::lock_guard<std::mutex> lock(mutex_);
    served_ = served ? 1 : -1;
    announce();
}

// "Ready" only when the ECR can really be served; said once, by whichever of the two comes last.
void ScaleThreads::announce() {
    if (!shown_ || served_ == 0) return;
    if (served_ == 1) {
        std::printf("tarvelo: scale ready\n");
        std::fflush(stdout);
    } else {
        std::fprintf(stderr, "tarvelo: scale running without the ECR link\n");
        std::fflush(stderr);
    }
}

void ScaleThreads::stop() {
    display_stop_ = true;
    if (link_) link_->stop();
    if (pipe_.joinable()) pipe_.join();
    if (display_.joinable()) display_.join();
}

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

void SignalEvents::attach(CTarveloDlg& dlg) {
    if (g_signal_pipe[0] < 0) return;
    const char* dir = std::getenv("TARVELO_SCREENSHOT_DIR");
    std::string out = dir ? dir : "";
    notifier_ = std::make_unique<QSocketNotifier>(g_signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [&dlg, out] {
        char c;
        while (::read(g_signal_pipe[0], &c, 1) == 1) {
            if (c != SIGUSR1) {
                dlg.close();  // as the operator's close: the event loop ends, then the threads
                continue;
            }
            for (auto [window, name] : {std::pair<QWidget*, const char*>{&dlg, "display_bar.png"},
                                        std::pair<QWidget*, const char*>{&dlg.second(), "customer_window.png"}}) {
                std::string path = out + "/" + name;
                if (window->grab().save(QString::fromStdString(path))) std::printf("screenshot: %s\n", path.c_str());
            }
            std::fflush(stdout);
        }
    });
}

CTarveloDlg::Services production_services(ScaleThreads& threads) {
    CTarveloDlg::Services s;
    s.load_settings = []() -> std::optional<Configuration> {
        auto path = find_settings_file(default_settings_paths());
        if (!path) return std::nullopt;
        auto ini = IniFile::load(*path);
        if (!ini) return std::nullopt;
        configuration() = load_settings(*ini);
        return configuration();
    };
    s.exit_process = [](int code) {
        std::fflush(nullptr);
        std::_Exit(code);
    };
    s.scale_open = [](MessageSink* owner, const char* port) { return scale_open(owner, port); };
    s.get_checksum = [](char* buffer) { return get_scale_checksum(buffer); };
    s.start_display_thread = [&threads](CTarveloDlg& dlg) { return threads.start_display(dlg); };
    s.start_pipe_thread = [&threads](CTarveloDlg& dlg) { return threads.start_pipe(dlg); };
    s.display_shown = [&threads] { threads.display_shown(); };
    s.zero_key = [] { on_zero_button(); };
    s.tare_key = [] { on_tare_button(); };
    s.saved_snapshot = [] { return saved_snapshot().load(); };
    s.calibrate_zero = [] { return scale_calibrate_zero(); };
    s.calibrate_span = [] { return scale_calibrate_span(); };
    s.init_rezero = [] { return scale_init_rezero(); };
    s.pellum_version = [] { return pellum_getversion(); };
    s.dravix_version = [] { return dravix_getversion(); };
    s.boxes = &qt_boxes();
    s.info_box = [](const std::string& text) { qt_boxes().info(text); };
    return s;
}

int CTarveloApp::InitInstance(int argc, char** argv) {
    auto* signal_events = new SignalEvents;
    // The application object and the windows live as long as the process: the board drivers'
    // reader threads are never stopped and post to the main window to the very end.
    static int app_argc = argc;
    auto* app = new QApplication(app_argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    set_message_box(&qt_boxes());
    auto* threads = new ScaleThreads;
    auto* dlg = new CTarveloDlg(production_services(*threads));
    bool started = dlg->OnInitDialog();
    signal_events->attach(*dlg);
    int code = 1;
    // Not a modal exec(): the bar may be hidden (DC2, the tray icon) without ending anything;
    // only its close ends the program.
    dlg->show();
    if (!dlg->close_requested()) {
        app->exec();
        code = started ? 0 : 1;
    }
    threads->stop();
    return code;
}

}  // namespace tarvelo::ui
