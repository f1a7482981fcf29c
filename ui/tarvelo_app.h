#pragma once
// CTarveloApp: the scale program as a whole. It wires the main window to the process-wide
// settings, weighing facade, display thread and ECR link, and runs the main window until it
// closes.

#include "ui/main_window.h"

namespace tarvelo::ui {

class CTarveloApp {
public:
    // Returns the process's exit code: 0 after a normal close, 1 when start-up failed.
    int InitInstance(int argc, char** argv);
};

// The real outside world of the main window.
CTarveloDlg::Services production_services();

}  // namespace tarvelo::ui
