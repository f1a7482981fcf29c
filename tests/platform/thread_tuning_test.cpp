#include "platform/thread_tuning.h"

#include <grp.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
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

// What the kernel lets this process take at all: a container may deny real-time scheduling or
// a raised priority even to root (no CAP_SYS_NICE, or no real-time time in its control group),
// and then the rows that need it cannot be seen here.
struct Allowed {
    bool realtime = false, raised = false;
};
Allowed kernel_allows() {
    return on_fresh_thread([] {
        Allowed a;
        sched_param rr{};
        rr.sched_priority = 1;
        a.realtime = pthread_setschedparam(pthread_self(), SCHED_RR, &rr) == 0;
        sched_param other{};
        pthread_setschedparam(pthread_self(), SCHED_OTHER, &other);
        a.raised = setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -10) == 0;
        return a;
    });
}

bool seen_here(Wakeups needed, const Allowed& allowed) {
    if (needed == Wakeups::realtime) return allowed.realtime;
    if (needed == Wakeups::raised) return allowed.raised;
    return true;
}

TEST(ThreadTuning, TheThreadGetsWhatItReportsAndNoMoreThanItsCeiling) {
    if (geteuid() != 0) GTEST_SKIP() << "the grants need root here";
    const Allowed allowed = kernel_allows();
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
    std::string not_here;
    for (const Row& row : rows) {
        SCOPED_TRACE(wakeups_name(row.ceiling));
        if (!seen_here(row.got, allowed)) {
            not_here += std::string(not_here.empty() ? " " : "; ") + wakeups_name(row.got);
            continue;
        }
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
    if (!not_here.empty()) GTEST_SKIP() << "the kernel allows no" << not_here << " here";
}

// The tuned thread starts other threads (the pipe's guard that turns away second clients): they
// must not inherit its real-time policy or raised priority, for they may be kept busy by a host
// that connects again and again.
TEST(ThreadTuning, ThreadsStartedByTheTunedThreadRunAsEveryOther) {
    if (geteuid() != 0) GTEST_SKIP() << "the grants need root here";
    const Allowed allowed = kernel_allows();
    for (Wakeups ceiling : {Wakeups::raised, Wakeups::realtime}) {
        SCOPED_TRACE(wakeups_name(ceiling));
        if (!seen_here(ceiling, allowed)) continue;
        Seen child = on_fresh_thread([&] {
            prefer_prompt_wakeups(ceiling);
            return on_fresh_thread([] { return seen(); });
        });
        EXPECT_EQ(child.policy, static_cast<uint32_t>(SCHED_OTHER));
        EXPECT_EQ(child.nice, 0);
    }
}

// An ordinary user gets what its grants allow and no more, silently: real-time with a
// LimitRTPRIO grant, the lowest nice level a LimitNICE grant allows, else short slices at most.
TEST(ThreadTuning, AnOrdinaryUserGetsWhatItsGrantsAllow) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become an ordinary user";
    const bool slices = kernel_takes_slices();
    const Wakeups none = slices ? Wakeups::short_slice : Wakeups::ordinary;
    struct Row {
        rlim_t rtprio, nice_limit;  // RLIMIT_NICE allows nice levels down to 20 - limit
        Wakeups got;
        uint32_t policy;
        int nice;
    } rows[] = {
        {0, 0, none, SCHED_OTHER, 0},
        {0, 25, Wakeups::raised, SCHED_OTHER, -5},
        {0, 40, Wakeups::raised, SCHED_OTHER, -10},
        {1, 0, Wakeups::realtime, SCHED_RR, 0},
    };
    std::string not_granted;  // a root without CAP_SYS_RESOURCE cannot raise a hard limit
    const Allowed allowed = kernel_allows();
    for (const Row& row : rows) {
        if (!seen_here(row.got, allowed)) {
            not_granted += " " + std::string(wakeups_name(row.got)) + " (not even for root);";
            continue;
        }
        SCOPED_TRACE("rtprio " + std::to_string(row.rtprio) + ", nice " +
                     std::to_string(row.nice_limit));
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            rlimit rtprio{row.rtprio, row.rtprio}, nice{row.nice_limit, row.nice_limit};
            if (setrlimit(RLIMIT_RTPRIO, &rtprio) != 0 || setrlimit(RLIMIT_NICE, &nice) != 0)
                _exit(101);
            bool dropped = setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0;
            if (!dropped) _exit(100);
            Outcome o = ask(Wakeups::realtime);
            bool as_expected =
                o.got == row.got && o.kernel.policy == row.policy && o.kernel.nice == row.nice;
            _exit(as_expected ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status));
        if (WEXITSTATUS(status) == 101) {
            not_granted += " rtprio " + std::to_string(row.rtprio) + " nice " +
                           std::to_string(row.nice_limit) + ";";
            continue;
        }
        EXPECT_EQ(WEXITSTATUS(status), 0);
    }
    if (!not_granted.empty()) GTEST_SKIP() << "could not grant:" << not_granted;
}

}  // namespace
}  // namespace tarvelo
