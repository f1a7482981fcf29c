#include "bench/display_latency.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "bench/board_line.h"
#include "scale/weighing_facade.h"
#include "scale/xon_board.h"
#include "tests/support/test_support.h"
#include "ui/main_window.h"
#include "ui/program.h"
#include "ui/templates.h"

namespace tarvelo::bench {
namespace {

using Steady = std::chrono::steady_clock;

// The real facade, but for the start-up sequence, which the board played here does not answer.
class StartedFacade : public WeighingFacade {
  public:
    using WeighingFacade::WeighingFacade;
    int startup(const std::string&) override { return 0; }
};

// The program as the bar sees it: nothing but the scale is reached here.
class BarProgram : public ui::Program {
  public:
    explicit BarProgram(Scale& scale) : scale_(scale) {}
    std::optional<Configuration> load_settings() override { return Configuration{}; }
    int open_board(MessageSink*, const std::string&) override { return 0; }
    std::optional<std::string> read_checksum() override { return "00000000"; }
    bool start_display_thread(ui::CTarveloDlg&) override { return true; }
    bool start_pipe_thread(ui::CTarveloDlg&) override { return true; }
    void exit_process(int) override {}
    void display_shown() override {}
    Scale& scale() override { return scale_; }
    weighing_snapshot saved_snapshot() const override { return {}; }
    ui::LibraryVersions library_versions() const override { return {}; }

  private:
    Scale& scale_;
};

class NoBootScreens : public ui::BootScreens {
  public:
    void set_flash_colour(int, int, int) override {}
    void show_boot() override {}
    void close_flash() override {}
    void boot_failed(const std::string&) override {}
    void close_boot() override {}
    void show_display_windows() override {}
};

// What the user-interface thread has seen in the weight control, for the thread that changes
// the board's weight.
class Shown {
  public:
    void expect(const QString& text) {
        std::lock_guard<std::mutex> lock(mutex_);
        expected_ = text;
        seen_ = false;
    }
    // On the user-interface thread, each time it is about to wait.
    void look(const QString& control_text) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (seen_ || control_text != expected_) return;
        seen_ = true;
        at_ = Steady::now();
        changed_.notify_all();
    }
    bool wait(Steady::time_point& at, int timeout_ms) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] { return seen_; }))
            return false;
        at = at_;
        return true;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    QString expected_;
    bool seen_ = false;
    Steady::time_point at_;
};

}  // namespace

DisplayLatencies measure_display_latency(int count, int board_period_ms) {
    DisplayLatencies result;
    result.board_period_ms = board_period_ms;
    int32_t grams = 1000;
    std::unique_ptr<BoardLine> board = BoardLine::create(board_period_ms, grams);
    if (!board) return {{}, board_period_ms, "no pseudo-terminal for the board's line"};
    XonBoard xon(system_clock(), [](const std::string&) {});
    SaleState sale;
    SavedSnapshot saved;
    WeighingFacade::Parts facade_parts;
    facade_parts.xon = &xon;
    facade_parts.saved = &saved;
    facade_parts.clock = &system_clock();
    StartedFacade facade(facade_parts);

    BarProgram program(facade);
    ui::CTarveloDlg bar{program};
    bar.show();
    if (facade.open(&bar, board->device().c_str()) != 0)
        return {{}, board_period_ms, "the driver could not open the board's line"};

    NoBootScreens screens;
    test::FakeClock no_boot_wait;
    std::atomic<int32_t> ready{0};
    std::atomic<bool> stop{false};
    ui::DisplayThread display({&facade, "", &sale, &saved, &bar, &screens, &system_clock(),
                               &no_boot_wait, &ready, nullptr, true});
    std::thread display_thread([&] { display.run(&stop); });

    Shown shown;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     &bar, [&] { shown.look(bar.text(ui::IDC_WEIGHT)); });
    QEventLoop loop;
    std::thread board_thread([&] {
        // The first weight settles the display; the measured ones follow.
        for (int i = -1; i < count; ++i) {
            grams = 1000 + (grams - 1000 + 137) % 9000;
            shown.expect(QString::fromStdString(ui::kilogram_text(grams)));
            board->set_weight(grams);
            Steady::time_point written = board->wait_written(), seen;
            if (!shown.wait(seen, 5000)) {
                result.failure = "a new weight did not reach the bar within 5 s";
                break;
            }
            if (i >= 0)
                result.ms.push_back(
                    std::chrono::duration<double, std::milli>(seen - written).count());
        }
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    loop.exec();
    board_thread.join();
    stop = true;
    display_thread.join();
    return result;
}

}  // namespace tarvelo::bench
