#pragma once
// What each thread of a running process costs, from /proc: processor time to the nanosecond
// (schedstat) and how often it was woken (voluntary context switches) or pushed off the
// processor (involuntary ones). The difference of two readings shows what wakes an idle
// program, thread by thread, whatever else the machine is doing.

#include <cstdint>
#include <map>
#include <string>

namespace tarvelo::bench {

struct ThreadCost {
    std::string name;
    uint64_t cpu_ns = 0;
    uint64_t woken = 0;      // voluntary context switches: it slept and was woken
    uint64_t preempted = 0;  // involuntary ones
};

// By thread id.
using ThreadCosts = std::map<int, ThreadCost>;

ThreadCosts read_thread_costs(int pid);

// The costs between two readings, summed by thread name (threads of the same name together).
std::map<std::string, ThreadCost> cost_by_name(const ThreadCosts& before, const ThreadCosts& after);

}  // namespace tarvelo::bench
