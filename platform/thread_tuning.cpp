#include "platform/thread_tuning.h"

#include <pthread.h>
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdint>
#include <string>

namespace tarvelo {
namespace {

// The kernel's scheduling attributes (sched_setattr(2)); the C library has no wrapper.
struct SchedAttr {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime;  // for SCHED_OTHER since Linux 6.12: the thread's time slice, in ns
    uint64_t deadline;
    uint64_t period;
};

// The shortest slice the kernel takes (0.1 ms). The thread works for some tens of microseconds
// per wake-up, so it never uses up even this, and its early deadlines let it preempt a
// neighbour that is in the middle of a long slice.
constexpr uint64_t kShortSliceNs = 100'000;

// Threads the tuned thread starts (the pipe's guard among them) begin ordinary: they may be
// kept busy by a host, and a real-time thread that is kept busy starves the board reader and
// the display.
constexpr uint64_t kResetOnFork = 0x01;  // SCHED_FLAG_RESET_ON_FORK

bool set_attr(uint32_t policy, int nice, uint32_t priority, uint64_t runtime) {
    SchedAttr a{};
    a.size = sizeof a;
    a.policy = policy;
    a.flags = kResetOnFork;
    a.nice = nice;
    a.priority = priority;
    a.runtime = runtime;
    return syscall(SYS_sched_setattr, 0, &a, 0) == 0;
}

}  // namespace

void name_this_thread(const char* name) {
    pthread_setname_np(pthread_self(), std::string(name).substr(0, 15).c_str());
}

Wakeups prefer_prompt_wakeups(Wakeups ceiling) {
    if (ceiling == Wakeups::ordinary) return Wakeups::ordinary;
    // Root, CAP_SYS_NICE or a LimitRTPRIO grant of at least 1: the lowest real-time priority
    // already runs ahead of every ordinary thread.
    if (ceiling == Wakeups::realtime && set_attr(SCHED_RR, 0, 1, 0)) return Wakeups::realtime;
    const bool short_slice = set_attr(SCHED_OTHER, 0, 0, kShortSliceNs);
    // A LimitNICE grant (RLIMIT_NICE) sets how low the kernel lets the thread go; -10 already
    // weighs nine times an ordinary thread, and lower would gain a thread that sleeps nothing.
    if (ceiling >= Wakeups::raised)
        for (int nice = -10; nice < 0; ++nice)
            if (set_attr(SCHED_OTHER, nice, 0, short_slice ? kShortSliceNs : 0))
                return Wakeups::raised;
    return short_slice ? Wakeups::short_slice : Wakeups::ordinary;
}

const char* wakeups_name(Wakeups w) {
    switch (w) {
        case Wakeups::ordinary:
            return "ordinary";
        case Wakeups::short_slice:
            return "short slices";
        case Wakeups::raised:
            return "short slices, raised priority";
        case Wakeups::realtime:
            return "real-time";
    }
    return "?";
}

}  // namespace tarvelo
