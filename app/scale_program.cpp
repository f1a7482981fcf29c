#include "app/scale_program.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "app/command_line.h"
#include "app/installation_check.h"
#include "config/ini_reader.h"
#include "libs/dravix.h"
#include "libs/pellum.h"
#include "platform/error_line.h"
#include "platform/output_lines.h"
#include "platform/regular_file.h"
#include "platform/serial_port.h"

namespace tarvelo::app {
namespace {

WeighingFacade::Parts facade_parts(const Configuration& config, XonBoard& xon, LetterBoard& letter,
                                   SaleState& sale, SavedSnapshot& saved, Clock& clock) {
    WeighingFacade::Parts parts;
    parts.ad_type = config.scale.ad_type;
    parts.xon = &xon;
    parts.letter = &letter;
    parts.sale = &sale;
    parts.saved = &saved;
    parts.clock = &clock;
    return parts;
}

LineOpener board_opener(TrafficCapture* capture) {
    return capture ? capturing_opener(serial_port_opener(), *capture) : serial_port_opener();
}

// A settings file is a few kilobytes; a capture carries it whole up to this size.
constexpr size_t kMaxSettingsText = 1 << 20;

// What a capture's first line says of this scale.
capture::Header capture_header(const Configuration& config, const std::string& settings_path) {
    capture::Header h;
    h.version = TARVELO_VERSION;
    h.board = config.scale.ad_type == 0 ? "xon" : "letter";
    h.checksum = scale_library_checksum().value_or("");
    h.pipe = config.scale.pipe_name;
    if (const char* divisor = std::getenv("TARVELO_TIME_DIVISOR");
        divisor && std::atoi(divisor) > 1)
        h.divisor = std::atoi(divisor);
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(settings_path, error);
    h.settings = error ? settings_path : absolute.lexically_normal().string();
    if (auto text = read_regular_file(settings_path, kMaxSettingsText))
        h.settings_text = text.take();
    return h;
}

}  // namespace

ScaleProgram::Parts::Parts(const Configuration& loaded, Clock& clock, TrafficCapture* capture)
    : config(loaded),
      xon(clock, stdout_trace(), board_opener(capture)),
      letter(clock, stdout_trace(), {}, board_opener(capture)),
      facade(facade_parts(config, xon, letter, sale, saved, clock)),
      log(static_cast<uint32_t>(config.scale.log_fg), clock) {}

ScaleProgram::ScaleProgram(std::vector<std::string> settings_places, Clock& clock,
                           TrafficCapture* capture)
    : settings_places_(std::move(settings_places)), capture_(capture), clock_(clock) {
    // TARVELO_TIME_DIVISOR shortens the boot screens' 8 s for automated runs; nothing else.
    if (const char* divisor = std::getenv("TARVELO_TIME_DIVISOR");
        divisor && std::atoi(divisor) > 1)
        boot_clock_ = std::make_unique<ScaledClock>(std::atoi(divisor));
}

ScaleProgram::~ScaleProgram() {
    stop();
}

std::optional<Configuration> ScaleProgram::load_settings() {
    std::vector<std::string> passed_over;
    auto path = find_settings_file(settings_places_, &passed_over);
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
    Configuration config = tarvelo::load_settings(*ini);
    if (capture_) capture_->identify(capture_header(config, *path));
    parts_ = std::make_unique<Parts>(config, clock_, capture_);
    return parts_->config;
}

int ScaleProgram::open_board(MessageSink* owner, const std::string& port) {
    int opened = parts_->facade.open(owner, port.c_str());
    // What tarvelo --check would say of the device, beside the box's "Scale initialize
    // failed!" on standard error.
    if (opened == -1) {
        if (std::string hint = board_open_hint(port); !hint.empty()) error_line("tarvelo: " + hint);
    }
    return opened;
}

std::optional<std::string> ScaleProgram::read_checksum() {
    return scale_library_checksum();
}

ui::LibraryVersions ScaleProgram::library_versions() const {
    return {pellum_getversion(), dravix_getversion()};
}

bool ScaleProgram::start_display_thread(ui::CTarveloDlg& dlg) {
    const Configuration& config = parts_->config;
    ui::DisplayThread::Parts parts;
    parts.scale = &parts_->facade;
    parts.module_checksum = dlg.module_checksum();
    parts.sale = &parts_->sale;
    parts.saved = &parts_->saved;
    parts.main = &dlg;
    parts.screens = &dlg;
    parts.clock = &clock_;
    parts.boot_clock = boot_clock_.get();
    parts.display_ready = &display_ready_;
    parts.calibration_mode = &dlg.calibration_mode();
    parts.auto_clear = config.scale.auto_clear_fg != 0;
    parts_->display = std::make_unique<ui::DisplayThread>(parts);
    try {
        display_thread_ = std::thread([this] { parts_->display->run(&display_stop_); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool ScaleProgram::start_pipe_thread(ui::CTarveloDlg& dlg) {
    const Settings& s = parts_->config.scale;
    RecordDispatcher::Parts parts;
    parts.scale = &parts_->facade;
    parts.sale = &parts_->sale;
    parts.saved = &parts_->saved;
    parts.display = &dlg;
    parts.log = &parts_->log;
    parts.clock = &clock_;
    parts.settings = EcrSettings{s.verify, s.min_wgt_fg, s.set_force_fg};
    parts_->dispatcher = std::make_unique<RecordDispatcher>(parts);
    parts_->pipe = std::make_unique<PipeServerThread>(PipeServerThread::Parts{
        s.pipe_name, parts_->dispatcher.get(), &parts_->log, &clock_, &display_ready_, capture_});
    parts_->pipe->on_created([this](bool served) { pipe_created(served); });
    try {
        pipe_thread_ = std::thread([this] { parts_->pipe->run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void ScaleProgram::exit_process(int code) {
    end_process(code);
}

void ScaleProgram::display_shown() {
    std::lock_guard<std::mutex> lock(announce_mutex_);
    shown_ = true;
    announce();
}

void ScaleProgram::pipe_created(bool served) {
    std::lock_guard<std::mutex> lock(announce_mutex_);
    served_ = served ? 1 : -1;
    announce();
}

// "Ready" only when the ECR can really be served; said once, by whichever of the two comes last.
void ScaleProgram::announce() {
    if (!shown_ || served_ == 0) return;
    if (served_ == 1) {
        standard_output().write("tarvelo: scale ready\n");
    } else {
        error_line("tarvelo: scale running without the ECR link");
    }
}

// The ECR is served only while the display follows the platform (the saved snapshot, the sale
// rules): the pipe thread ends before the display thread is told to.
void ScaleProgram::stop() {
    if (parts_ && parts_->pipe) parts_->pipe->stop();
    if (pipe_thread_.joinable()) pipe_thread_.join();
    display_stop_ = true;
    if (display_thread_.joinable()) display_thread_.join();
}

TrafficCapture& process_capture() {
    // Used until the process ends, by the board and pipe threads too.
    static TrafficCapture* capture =
        new TrafficCapture([](const std::string& text) { error_line("tarvelo: " + text); });
    return *capture;
}

void end_process(int code) {
    process_capture().stop();
    release_serial_ports();
    standard_output().flush(1000);
    std::fflush(nullptr);
    std::_Exit(code);
}

}  // namespace tarvelo::app
