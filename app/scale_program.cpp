#include "app/scale_program.h"

#include <cstdio>
#include <cstdlib>

#include "platform/error_line.h"
#include "platform/output_lines.h"

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

}  // namespace

ScaleProgram::ScaleProgram(const Configuration& config, Clock& clock)
    : config_(config),
      clock_(clock),
      xon_(clock),
      letter_(clock),
      facade_(facade_parts(config_, xon_, letter_, sale_, saved_, clock)),
      log_(static_cast<uint32_t>(config_.scale.log_fg), clock) {
    // TARVELO_TIME_DIVISOR shortens the boot screens' 8 s for automated runs; nothing else.
    if (const char* divisor = std::getenv("TARVELO_TIME_DIVISOR");
        divisor && std::atoi(divisor) > 1)
        boot_clock_ = std::make_unique<ScaledClock>(std::atoi(divisor));
}

ScaleProgram::~ScaleProgram() {
    stop();
}

bool ScaleProgram::start_display(ui::CTarveloDlg& dlg) {
    ui::DisplayThread::Parts parts;
    parts.scale = &facade_;
    parts.module_checksum = dlg.module_checksum();
    parts.sale = &sale_;
    parts.saved = &saved_;
    parts.main = &dlg;
    parts.screens = &dlg;
    parts.clock = &clock_;
    parts.boot_clock = boot_clock_.get();
    parts.display_ready = &display_ready_;
    parts.calibration_mode = &dlg.calibration_mode();
    parts.auto_clear = config_.scale.auto_clear_fg != 0;
    display_ = std::make_unique<ui::DisplayThread>(parts);
    try {
        display_thread_ = std::thread([this] { display_->run(&display_stop_); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

bool ScaleProgram::start_pipe(ui::CTarveloDlg& dlg) {
    const Settings& s = config_.scale;
    RecordDispatcher::Parts parts;
    parts.scale = &facade_;
    parts.sale = &sale_;
    parts.saved = &saved_;
    parts.display = &dlg;
    parts.log = &log_;
    parts.clock = &clock_;
    parts.settings = EcrSettings{s.verify, s.min_wgt_fg, s.set_force_fg};
    dispatcher_ = std::make_unique<RecordDispatcher>(parts);
    pipe_ = std::make_unique<PipeServerThread>(
        PipeServerThread::Parts{s.pipe_name, dispatcher_.get(), &log_, &clock_, &display_ready_});
    pipe_->on_created([this](bool served) { pipe_created(served); });
    try {
        pipe_thread_ = std::thread([this] { pipe_->run(); });
    } catch (const std::system_error&) {
        return false;
    }
    return true;
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
    if (pipe_) pipe_->stop();
    if (pipe_thread_.joinable()) pipe_thread_.join();
    display_stop_ = true;
    if (display_thread_.joinable()) display_thread_.join();
}

}  // namespace tarvelo::app
