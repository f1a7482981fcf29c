#include "ui/tarvelo_app.h"

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <unistd.h>
#include <cstdlib>
#include <thread>

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

bool start_display_thread(CTarveloDlg& dlg) {
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
        std::thread([parts] { DisplayThread(parts).run(); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool start_pipe_thread(CTarveloDlg& dlg) {
    try {
        std::thread([&dlg] { pipe_server_thread(&dlg); }).detach();
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

}  // namespace

namespace {
int g_signal_pipe[2] = {-1, -1};
void on_usr1(int) {
    char c = 1;
    [[maybe_unused]] auto n = ::write(g_signal_pipe[1], &c, 1);
}
}  // namespace

ScreenshotOnSignal::ScreenshotOnSignal(CTarveloDlg& dlg) {
    const char* dir = std::getenv("TARVELO_SCREENSHOT_DIR");
    if (dir == nullptr || ::pipe(g_signal_pipe) != 0) return;
    std::string out = dir;
    notifier_ = std::make_unique<QSocketNotifier>(g_signal_pipe[0], QSocketNotifier::Read);
    QObject::connect(notifier_.get(), &QSocketNotifier::activated, [&dlg, out] {
        char c;
        [[maybe_unused]] auto n = ::read(g_signal_pipe[0], &c, 1);
        for (auto [window, name] : {std::pair<QWidget*, const char*>{&dlg, "display_bar.png"},
                                    std::pair<QWidget*, const char*>{&dlg.second(), "customer_window.png"}}) {
            std::string path = out + "/" + name;
            if (window->grab().save(QString::fromStdString(path))) std::printf("screenshot: %s\n", path.c_str());
        }
        std::fflush(stdout);
    });
    struct sigaction sa {};
    sa.sa_handler = on_usr1;
    sigaction(SIGUSR1, &sa, nullptr);
}

ScreenshotOnSignal::~ScreenshotOnSignal() = default;

CTarveloDlg::Services production_services() {
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
    s.start_display_thread = start_display_thread;
    s.start_pipe_thread = start_pipe_thread;
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
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    set_message_box(&qt_boxes());
    CTarveloDlg dlg(production_services());
    bool started = dlg.OnInitDialog();
    ScreenshotOnSignal screenshots(dlg);
    // Not a modal exec(): the bar may be hidden (DC2, the tray icon) without ending anything;
    // only its close ends the program.
    dlg.show();
    if (dlg.close_requested()) return 1;
    app.exec();
    return started ? 0 : 1;
}

}  // namespace tarvelo::ui
