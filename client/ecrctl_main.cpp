// ecrctl: drives the scale's ECR pipe from a terminal, one request per command, printing each
// exchange as hex and decoded. `ecrctl --help` tells the commands, values and exit codes.

#include <cerrno>
#include <csignal>
#include <ctime>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "client/ecrctl_session.h"
#include "client/pipe_link.h"

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);  // a closed standard output must not kill a half-done exchange
    kestrin::EcrctlEnv env;
    env.connect = [](const std::string& pipe,
                     std::string* error) -> std::unique_ptr<kestrin::Link> {
        return kestrin::PipeLink::open(pipe, error);
    };
    env.sleep = [](int ms) {
        timespec ts{ms / 1000, (ms % 1000) * 1000000L};
        while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
        }
    };
    return kestrin::ecrctl_main(std::vector<std::string>(argv + 1, argv + argc), std::cin,
                                std::cout, std::cerr, std::move(env));
}
