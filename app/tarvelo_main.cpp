// tarvelo: the price-computing retail scale.
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "app/tarvelo_app.h"
#include "platform/output_lines.h"

int main(int argc, char** argv) {
    // Started with a standard descriptor closed (as some service starters do), the first file
    // the program opens would take its number, and traces or errors would land in it.
    for (int fd = 0; fd <= 2; ++fd)
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) ::open("/dev/null", O_RDWR | O_CLOEXEC);
    // A vanished ECR or a closed standard output (a log collector that went away) must never
    // kill the scale: the failed write is reported where it happens, or dropped (traces).
    std::signal(SIGPIPE, SIG_IGN);
    int code = tarvelo::app::CTarveloApp().InitInstance(argc, argv);
    // The board drivers' threads run until the process ends; nothing is torn down behind them.
    tarvelo::standard_output().flush(1000);
    std::fflush(nullptr);
    std::_Exit(code);
}
