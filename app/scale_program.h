#pragma once
// The scale program: it reads the settings, builds its single objects on them in dependency
// order, and runs the threads on them. The main window takes it as its ui::Program and runs the
// start-up steps on it in their order (CTarveloDlg::OnInitDialog). Which thread owns what:
//   board reader threads    the board status (XonBoard, LetterBoard); the letter board's
//                           command threads, one short-lived thread per command
//   display thread          the saved snapshot, the display-ready flag and the posted texts;
//                           it shares the sale flags with the pipe thread (DisplayThread)
//   pipe server thread      the ECR link: the socket, the status characters, the
//                           verification, the event log (PipeServerThread, RecordDispatcher)
//   user-interface thread   the windows, the zero and tare keys, the calibration wizard
// stop() ends the pipe thread (closing the ECR link and removing its socket), then the display
// thread; the board threads run until the process ends.

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "config/settings.h"
#include "ecr/pipe_server.h"
#include "ecr/record_dispatcher.h"
#include "ecr/sale_state.h"
#include "log/event_log.h"
#include "platform/clock.h"
#include "platform/traffic_capture.h"
#include "scale/letter_board.h"
#include "scale/weighing_facade.h"
#include "scale/weighing_snapshot.h"
#include "scale/xon_board.h"
#include "ui/display_thread.h"
#include "ui/main_window.h"
#include "ui/program.h"

namespace tarvelo::app {

class ScaleProgram : public ui::Program {
  public:
    // Nothing is built before load_settings() has found the settings in the first of
    // `settings_places` that holds a regular file. With a capture, the board line and the ECR
    // link tell it everything they carry (it records only while it runs), and loading the
    // settings tells it what its header says of this scale.
    explicit ScaleProgram(std::vector<std::string> settings_places, Clock& clock = system_clock(),
                          TrafficCapture* capture = nullptr);
    ~ScaleProgram() override;
    ScaleProgram(const ScaleProgram&) = delete;
    ScaleProgram& operator=(const ScaleProgram&) = delete;

    // The start-up steps. load_settings() says on standard error why each place was passed
    // over, and runs once.
    std::optional<Configuration> load_settings() override;
    int open_board(MessageSink* owner, const std::string& port) override;
    std::optional<std::string> read_checksum() override;
    bool start_display_thread(ui::CTarveloDlg& dlg) override;
    bool start_pipe_thread(ui::CTarveloDlg& dlg) override;
    void exit_process(int code) override;
    // "tarvelo: scale ready" once the ECR link is served as well.
    void display_shown() override;

    // Once the settings are loaded.
    Scale& scale() override { return parts_->facade; }
    weighing_snapshot saved_snapshot() const override { return parts_->saved.load(); }
    ui::LibraryVersions library_versions() const override;
    WeighingFacade& facade() { return parts_->facade; }
    SavedSnapshot& saved() { return parts_->saved; }
    SaleState& sale() { return parts_->sale; }

    // Ends the pipe thread and then the display thread, and waits for both.
    void stop();

  private:
    // What the settings build, in dependency order.
    struct Parts {
        Parts(const Configuration& config, Clock& clock, TrafficCapture* capture);
        const Configuration config;
        // Weighing: the boards, the sale, the facade over them.
        XonBoard xon;
        LetterBoard letter;
        SaleState sale;
        SavedSnapshot saved;
        WeighingFacade facade;
        // The ECR link and the display, completed as their threads start.
        EventLog log;
        std::unique_ptr<RecordDispatcher> dispatcher;
        std::unique_ptr<PipeServerThread> pipe;
        std::unique_ptr<ui::DisplayThread> display;
    };
    void pipe_created(bool served);
    void announce();

    const std::vector<std::string> settings_places_;
    TrafficCapture* capture_;
    Clock& clock_;
    std::unique_ptr<Clock> boot_clock_;  // the boot screens' waits, shortened for automated runs
    std::unique_ptr<Parts> parts_;

    std::atomic<int32_t> display_ready_{0};
    std::atomic<bool> display_stop_{false};
    std::thread display_thread_, pipe_thread_;
    std::mutex announce_mutex_;
    bool shown_ = false;
    int served_ = 0;  // 1 the pipe was made, -1 it could not be
};

// Ends the process now with `code`: the board lines are given up for the next program, what
// is queued for standard output is written (for a second at most), and nothing else is torn
// down (the board drivers' threads run until the process ends).
// The capture of the board line and the ECR link is ended, with its end record, first.
[[noreturn]] void end_process(int code);

// The capture of the board line and the ECR link (--capture FILE, SIGUSR2), one for the
// process; it ends, with its end record, before the process does.
TrafficCapture& process_capture();

}  // namespace tarvelo::app
