#pragma once
// What the desktop tests share: the windows' class names and colours, the settings of the
// README's run command, one run of the scale (board simulator, tarvelo with the probe) and of
// kestrin, the clean environment, and the checks of start-up screens, places and texts.

#include <gtest/gtest.h>

#include <QColor>
#include <QImage>
#include <QPoint>
#include <QRect>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tests/desktop/x_session.h"

namespace tarvelo::test {

inline const std::string kShots = SCREENSHOT_DIR;
inline const QColor kGreen{0, 255, 169}, kBlue{135, 206, 250}, kCrimson{220, 20, 60};
inline const QColor kDesktop{0x50, 0x50, 0x50};  // the root window's grey

inline constexpr const char* kBar = "tarvelo::ui::CTarveloDlg";
inline constexpr const char* kCustomer = "tarvelo::ui::CTarveloDlg2";
inline constexpr const char* kVersion = "tarvelo::ui::CDlg_ver";
inline constexpr const char* kWizard = "tarvelo::ui::CDlg_calbS0";
inline constexpr const char* kStep1 = "tarvelo::ui::CDlg_calbS1";
inline constexpr const char* kStep2 = "tarvelo::ui::CDlg_calbS2";
inline constexpr const char* kBoot = "tarvelo::ui::CDlg_boot";
inline constexpr const char* kBoot2 = "tarvelo::ui::CDlg_boot2";
inline constexpr const char* kFlash = "tarvelo::ui::CDlg_flash";
inline constexpr const char* kFlash2 = "tarvelo::ui::CDlg_flash2";
inline constexpr const char* kKestrin = "kestrin::CkestrinDlg";
inline constexpr const char* kAbout = "kestrin::CAboutDlg";
inline constexpr const char* kBox = "QMessageBox";

// One key of one section of tarvelo.ini.
struct Setting {
    std::string section, key, value;
};
// The settings of the README's run command (scripts/run.sh), so that what it shows is what is
// checked here; `customer_place` is what it places the customer window by ("X Y").
std::string run_command_settings(const std::string& run_dir, const std::string& customer_place);
// The settings with each key set, in place where the section has it, else added to it.
std::string with_settings(std::string ini, const std::vector<Setting>& changes);
// The first `from` replaced by `to`; a check fails when there is none.
std::string replace(std::string text, const std::string& from, const std::string& to);
// One key's value as tarvelo reads it, or `fallback`.
std::string setting(const std::string& ini, const std::string& section, const std::string& key,
                    const std::string& fallback);

// The largest text each field of the display windows can show: weights and tares of the
// board's seven characters, unit prices of six digits, their product, thirteen bytes of
// article text.
extern const std::vector<std::pair<int, std::string>> kLargestBarValues;

// Every shown text of the window's controls lies inside what the window shows of its control,
// in the face the templates' fonts and "Arial" map to (Qt's own default face would be another).
void expect_whole_texts(const Dump& d, const std::string& cls, int at_least = 1);
// Every shown text of the window stands out from what is behind it on the screen.
void expect_legible(const QImage& screen, const Dump& d, const std::string& cls, int at_least);

std::vector<QPoint> corners(const QRect& r);
QPoint centre(const ProbedControl* c);
// A click on the control's centre, once X has its window under the pointer.
void press(XSession& x, const Dump& d, const char* cls, const char* id);
// The window is on the screen, painted, and takes clicks.
bool on_screen(XSession& x, const std::optional<Dump>& d, const char* cls);
const ProbedControl* ok_button(const Dump& d);

// Waits until every point of `points` shows `colour` and every point of `desktop` the bare
// desktop; saves that screen as `shot` in the screenshot folder.
bool screens_show(XSession& x, const std::vector<QPoint>& points, const QColor& colour,
                  const std::string& shot, const std::vector<QPoint>& desktop = {});

class ScaleRun {
  public:
    // `board_lines` go to the board before the scale starts, each answered before the next.
    ScaleRun(XSession& x, const std::vector<Setting>& changes,
             const std::vector<std::string>& board_lines = {});
    ScaleRun(XSession& x, const std::string& ini_changes_from, const std::string& ini_changes_to,
             const std::vector<std::string>& board_lines = {});
    ~ScaleRun();
    std::map<std::string, std::string> environment();
    // The commands the scale has sent to the board so far.
    int commands();
    // One control line to the board, waited for until the board has answered it.
    void board(const std::string& line);
    // The settings tarvelo runs with.
    const std::string& settings() const { return ini_; }

    XSession& x_;
    TempDir dir_;
    Probe probe_;
    std::unique_ptr<Process> board_, tarvelo_;

  private:
    void start(std::string ini, const std::vector<std::string>& board_lines);
    int board_answers();
    std::string ini_;
};

// kestrin against the scale of `s`, with a probe of its own.
struct KestrinRun {
    KestrinRun(XSession& x, ScaleRun& s);
    Probe probe_;
    Process process_;
};

// The programs under test see only what the test gives them: nothing of the developer's
// desktop session reaches them.
void clean_environment(const std::filesystem::path& home);

class Desktop : public ::testing::Test {
  protected:
    void SetUp() override;
    TempDir home_;
};

}  // namespace tarvelo::test
