// tarvelo: the price-computing retail scale.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "app/tarvelo_app.h"

int main(int argc, char** argv) {
    // A vanished ECR or a closed standard output (a log collector that went away) must never
    // kill the scale: the failed write is reported where it happens, or dropped (traces).
    std::signal(SIGPIPE, SIG_IGN);
    int code = tarvelo::app::CTarveloApp().InitInstance(argc, argv);
    // The board drivers' threads run until the process ends; nothing is torn down behind them.
    std::fflush(nullptr);
    std::_Exit(code);
}
