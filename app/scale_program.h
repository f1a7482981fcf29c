#pragma once
// The scale program's single objects, owned in one place and built in dependency order once
// the settings are known, and the threads that run on them. Which thread owns what:
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
#include <string>
#include <thread>

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

namespace tarvelo::app {

class ScaleProgram {
  public:
    // Builds every object on the settings; nothing runs until the board is opened and the
    // threads are started by the main window's start-up. With a capture, the board line and
    // the ECR link tell it everything they carry (it records only while it runs).
    explicit ScaleProgram(const Configuration& config, Clock& clock = system_clock(),
                          TrafficCapture* capture = nullptr);
    ~ScaleProgram();
    ScaleProgram(const ScaleProgram&) = delete;
    ScaleProgram& operator=(const ScaleProgram&) = delete;

    // The display thread and the pipe thread, started by the main window's start-up.
    bool start_display(ui::CTarveloDlg& dlg);
    bool start_pipe(ui::CTarveloDlg& dlg);
    // The windows are up: "tarvelo: scale ready" once the ECR link is served as well.
    void display_shown();
    // Ends the pipe thread and then the display thread, and waits for both.
    void stop();

    WeighingFacade& facade() { return facade_; }
    SavedSnapshot& saved() { return saved_; }
    SaleState& sale() { return sale_; }

  private:
    class SaleStateFlags;
    class EcrScaleOnFacade;
    class DisplayScaleOnFacade;

    void pipe_created(bool served);
    void announce();

    const Configuration config_;
    TrafficCapture* capture_;
    Clock& clock_;
    std::unique_ptr<Clock> boot_clock_;  // the boot screens' waits, shortened for automated runs

    // Weighing: the boards, the sale, the facade over them.
    XonBoard xon_;
    LetterBoard letter_;
    SaleState sale_;
    SavedSnapshot saved_;
    std::unique_ptr<SaleStateFlags> sale_flags_;
    WeighingFacade facade_;

    // The ECR link.
    std::atomic<int32_t> display_ready_{0};
    EventLog log_;
    std::unique_ptr<EcrScaleOnFacade> ecr_scale_;
    std::unique_ptr<RecordDispatcher> dispatcher_;
    std::unique_ptr<PipeServerThread> pipe_;

    // The display.
    std::unique_ptr<DisplayScaleOnFacade> display_scale_;
    std::unique_ptr<ui::DisplayThread> display_;

    std::atomic<bool> display_stop_{false};
    std::thread display_thread_, pipe_thread_;
    std::mutex announce_mutex_;
    bool shown_ = false;
    int served_ = 0;  // 1 the pipe was made, -1 it could not be
};

}  // namespace tarvelo::app
