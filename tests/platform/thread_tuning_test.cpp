#include "platform/thread_tuning.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <thread>

namespace tarvelo {
namespace {

// What the kernel says of the calling thread.
struct Seen {
    uint32_t policy = 0;
    int nice = 0;
    uint32_t priority = 0;
    uint64_t slice_ns = 0;
};

Seen seen() {
    struct {
        uint32_t size, policy;
        uint64_t flags;
        int32_t nice;
        uint32_t priority;
        uint64_t runtime, deadline, period;
    } a{};
    Seen s;
    if (syscall(SYS_sched_getattr, 0, &a, sizeof a, 0) != 0) return s;
    return {a.policy, a.nice, a.priority, a.runtime};
}

// Runs `f` on a thread of its own, so that the test's threads keep their scheduling.
template <class F>
auto on_fresh_thread(F f) {
    decltype(f()) result{};
    std::thread([&] { result = f(); }).join();
    return result;
}

struct Outcome {
    Wakeups got = Wakeups::ordinary;
    Seen kernel;
};

Outcome ask(Wakeups ceiling) {
    return on_fresh_thread([&] {
        Outcome o;
        o.got = prefer_prompt_wakeups(ceiling);
        o.kernel = seen();
        return o;
    });
}

// Whether this kernel takes a time slice from an ordinary thread (Linux 6.12 and later).
bool kernel_takes_slices() {
    return ask(Wakeups::short_slice).got == Wakeups::short_slice;
}

TEST(ThreadTuning, TheThreadGetsWhatItReportsAndNoMoreThanItsCeiling) {
    if (geteuid() != 0) GTEST_SKIP() << "the grants need root here";
    const uint64_t slice = kernel_takes_slices() ? 100'000 : ask(Wakeups::ordinary).kernel.slice_ns;
    struct Row {
        Wakeups ceiling;
        Wakeups got;
        uint32_t policy;
        int nice;
        uint32_t priority;
    } rows[] = {
        {Wakeups::ordinary, Wakeups::ordinary, SCHED_OTHER, 0, 0},
        {Wakeups::short_slice, Wakeups::short_slice, SCHED_OTHER, 0, 0},
        {Wakeups::raised, Wakeups::raised, SCHED_OTHER, -10, 0},
        {Wakeups::realtime, Wakeups::realtime, SCHED_RR, 0, 1},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(wakeups_name(row.ceiling));
        Outcome o = ask(row.ceiling);
        if (row.got == Wakeups::short_slice && slice != 100'000) {
            EXPECT_EQ(o.got, Wakeups::ordinary);
            continue;
        }
        EXPECT_EQ(o.got, row.got);
        EXPECT_EQ(o.kernel.policy, row.policy);
        EXPECT_EQ(o.kernel.nice, row.nice);
        EXPECT_EQ(o.kernel.priority, row.priority);
        if (row.policy == SCHED_OTHER && row.ceiling != Wakeups::ordinary) {
            EXPECT_EQ(o.kernel.slice_ns, slice);
        }
    }
}

// An ordinary user without a grant gets short slices at most, silently, and stays at nice 0.
TEST(ThreadTuning, WithoutAGrantTheThreadStaysOrdinary) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become an ordinary user";
    const bool slices = kernel_takes_slices();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        rlimit none{0, 0};
        bool dropped = setrlimit(RLIMIT_RTPRIO, &none) == 0 && setrlimit(RLIMIT_NICE, &none) == 0 &&
                       setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
        if (!dropped) _exit(100);
        Outcome o = ask(Wakeups::realtime);
        bool as_expected = o.got == (slices ? Wakeups::short_slice : Wakeups::ordinary) &&
                           o.kernel.policy == SCHED_OTHER && o.kernel.nice == 0;
        _exit(as_expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace tarvelo
