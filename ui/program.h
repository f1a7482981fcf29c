#pragma once
// The scale program as its main window sees it: the start-up steps that the window takes in
// their order (CTarveloDlg::OnInitDialog), and what its keys, labels and calibration wizard
// reach once the program is running. The program implements it (app/scale_program.h); the
// window tests fake it.

#include <optional>
#include <string>

#include "config/settings.h"
#include "platform/message_sink.h"
#include "scale/scale.h"
#include "scale/weighing_snapshot.h"

namespace tarvelo::ui {

class CTarveloDlg;

struct LibraryVersions {
    int pellum = 0;
    int dravix = 0;
};

class Program {
  public:
    virtual ~Program() = default;

    // The start-up steps, in their order.
    // Reads the settings and builds the program on them; none without a settings file.
    virtual std::optional<Configuration> load_settings() = 0;
    // Opens the weighing board: 0; -1 the port was not opened; -2 the letter board's reader
    // did not start. Board messages go to `owner`.
    virtual int open_board(MessageSink* owner, const std::string& port) = 0;
    // The scale library's checksum as the windows show it; none when it could not be read.
    virtual std::optional<std::string> read_checksum() = 0;
    // False when the thread could not be created.
    virtual bool start_display_thread(CTarveloDlg& dlg) = 0;
    virtual bool start_pipe_thread(CTarveloDlg& dlg) = 0;
    // Ends the process now with `code`.
    virtual void exit_process(int code) = 0;
    // Any thread: the boot is over and the display windows are up.
    virtual void display_shown() = 0;

    // Once the settings are loaded: the keys and the wizard act on the scale, the calibration
    // labels read the snapshot that the display thread saved last.
    virtual Scale& scale() = 0;
    virtual weighing_snapshot saved_snapshot() const = 0;
    virtual LibraryVersions library_versions() const = 0;
};

}  // namespace tarvelo::ui
