#pragma once
// The display's latency: from a weight frame written on the board's line to its weight shown
// in the display bar's weight control. In one process on Qt's offscreen platform: the board's
// end of a pseudo-terminal, the real xon/xoff driver and facade, the real display thread with
// its 100 ms cycle, and the real display bar handling the posted text on the user-interface
// thread. A weight counts as shown when the user-interface thread, having set it into the
// control, has nothing left to do (its repaint included) and is about to wait again.

#include <string>
#include <vector>

namespace tarvelo::bench {

struct DisplayLatencies {
    std::vector<double> ms;  // one per new weight, in the order measured
    int board_period_ms = 0;
    std::string failure;  // empty when every weight reached the control
};

// `count` new weights, the board sending a frame every `board_period_ms`. Needs a
// QApplication on the calling thread, which runs its event loop meanwhile.
DisplayLatencies measure_display_latency(int count, int board_period_ms);

}  // namespace tarvelo::bench
