#include "app/scale_program.h"

#include <cstdio>
#include <cstdlib>

#include "platform/error_line.h"
#include "platform/output_lines.h"

namespace tarvelo::app {

// The sale flags as the facade's keys and sale refresh see them.
class ScaleProgram::SaleStateFlags : public SaleFlags {
  public:
    explicit SaleStateFlags(SaleState& sale) : sale_(sale) {}
    bool sale_open() const override { return sale_.price_set.load() != 0 || !sale_.text().empty(); }
    int32_t one_touch_tare() const override { return sale_.one_touch_tare.load(); }
    void set_one_touch_tare(int32_t value) override { sale_.one_touch_tare = value; }
    void set_sale_active(int32_t value) override { sale_.sale_active = value; }

  private:
    SaleState& sale_;
};

// The ECR link's view of the weighing facade: zero and tare follow ad_type like the keys.
class ScaleProgram::EcrScaleOnFacade : public EcrScale {
  public:
    explicit EcrScaleOnFacade(WeighingFacade& facade) : facade_(facade) {}
    void get_snapshot(weighing_snapshot* out) override { facade_.get_snapshot(out); }
    int rezero() override { return facade_.rezero(); }
    int tare() override { return facade_.tare(); }
    int preset_tare(int32_t tare) override { return facade_.preset_tare(tare); }
    void sale_refresh(MessageSink* owner) override { facade_.sale_refresh(owner); }

  private:
    WeighingFacade& facade_;
};

// The display thread's view of the weighing facade.
class ScaleProgram::DisplayScaleOnFacade : public ui::DisplayScale {
  public:
    DisplayScaleOnFacade(WeighingFacade& facade, std::string checksum)
        : facade_(facade), checksum_(std::move(checksum)) {}
    void get_snapshot(weighing_snapshot* out) override { facade_.get_snapshot(out); }
    int startup() override { return facade_.startup(checksum_); }
    void sale_refresh(MessageSink* owner) override { facade_.sale_refresh(owner); }
    bool take_weight_text_clear() override { return facade_.take_weight_text_clear(); }

  private:
    WeighingFacade& facade_;
    std::string checksum_;
};

namespace {

WeighingFacade::Parts facade_parts(const Configuration& config, XonBoard& xon, LetterBoard& letter,
                                   SaleFlags& sale, SavedSnapshot& saved, Clock& clock) {
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

namespace {

LineOpener board_opener(TrafficCapture* capture) {
    return capture ? capturing_opener(serial_port_opener(), *capture) : serial_port_opener();
}

}  // namespace

ScaleProgram::ScaleProgram(const Configuration& config, Clock& clock, TrafficCapture* capture)
    : config_(config),
      capture_(capture),
      clock_(clock),
      xon_(clock, stdout_trace(), board_opener(capture)),
      letter_(clock, stdout_trace(), {}, board_opener(capture)),
      sale_flags_(std::make_unique<SaleStateFlags>(sale_)),
      facade_(facade_parts(config_, xon_, letter_, *sale_flags_, saved_, clock)),
      log_(static_cast<uint32_t>(config_.scale.log_fg), clock),
      ecr_scale_(std::make_unique<EcrScaleOnFacade>(facade_)) {
    // TARVELO_TIME_DIVISOR shortens the boot screens' 8 s for automated runs; nothing else.
    if (const char* divisor = std::getenv("TARVELO_TIME_DIVISOR");
        divisor && std::atoi(divisor) > 1)
        boot_clock_ = std::make_unique<ScaledClock>(std::atoi(divisor));
}

ScaleProgram::~ScaleProgram() {
    stop();
}

bool ScaleProgram::start_display(ui::CTarveloDlg& dlg) {
    display_scale_ = std::make_unique<DisplayScaleOnFacade>(facade_, dlg.module_checksum());
    ui::DisplayThread::Parts parts;
    parts.scale = display_scale_.get();
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
    parts.scale = ecr_scale_.get();
    parts.sale = &sale_;
    parts.saved = &saved_;
    parts.display = &dlg;
    parts.log = &log_;
    parts.clock = &clock_;
    parts.settings = EcrSettings{s.verify, s.min_wgt_fg, s.set_force_fg};
    dispatcher_ = std::make_unique<RecordDispatcher>(parts);
    pipe_ = std::make_unique<PipeServerThread>(PipeServerThread::Parts{
        s.pipe_name, dispatcher_.get(), &log_, &clock_, &display_ready_, capture_});
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
