#include "bench/neighbours.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

namespace tarvelo::bench {

BusyNeighbours::BusyNeighbours(int count) {
    if (count <= 0) count = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
    const pid_t parent = getpid();
    for (int i = 0; i < count; ++i) {
        pid_t pid = fork();
        if (pid == 0) {
            // Only async-signal-safe work from here: the parent may have threads.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(0);  // the benchmark died before the line above
            volatile unsigned long spin = 0;
            for (;;) spin = spin + 1;
        }
        if (pid > 0) pids_.push_back(pid);
    }
}

BusyNeighbours::~BusyNeighbours() {
    for (pid_t pid : pids_) kill(pid, SIGKILL);
    for (pid_t pid : pids_) waitpid(pid, nullptr, 0);
}

double load_average() {
    double loads[1] = {-1};
    return getloadavg(loads, 1) == 1 ? loads[0] : -1;
}

}  // namespace tarvelo::bench
