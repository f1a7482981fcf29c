// tarvelo: the price-computing retail scale.
#include <cstdio>
#include <cstdlib>

#include "ui/tarvelo_app.h"

int main(int argc, char** argv) {
    int code = tarvelo::ui::CTarveloApp().InitInstance(argc, argv);
    // Worker threads run until the process ends; nothing is torn down behind them.
    std::fflush(nullptr);
    std::_Exit(code);
}
