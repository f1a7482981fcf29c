#include "bench/process_threads.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace tarvelo::bench {
namespace {

uint64_t status_value(const std::string& status, const std::string& key) {
    size_t at = status.find(key + ":");
    if (at == std::string::npos) return 0;
    return std::stoull(status.substr(at + key.size() + 1));
}

std::string read_all(const std::filesystem::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

ThreadCosts read_thread_costs(int pid) {
    ThreadCosts costs;
    std::error_code error;
    const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        ThreadCost c;
        std::string status = read_all(task.path() / "status");
        if (status.empty()) continue;  // ended meanwhile
        std::istringstream(read_all(task.path() / "comm")) >> c.name;
        std::istringstream(read_all(task.path() / "schedstat")) >> c.cpu_ns;
        c.woken = status_value(status, "voluntary_ctxt_switches");
        c.preempted = status_value(status, "nonvoluntary_ctxt_switches");
        costs[std::stoi(task.path().filename().string())] = c;
    }
    return costs;
}

std::map<std::string, ThreadCost> cost_by_name(const ThreadCosts& before,
                                               const ThreadCosts& after) {
    std::map<std::string, ThreadCost> by_name;
    for (const auto& [tid, now] : after) {
        auto then = before.find(tid);
        ThreadCost base = then == before.end() ? ThreadCost{} : then->second;
        ThreadCost& sum = by_name[now.name];
        sum.name = now.name;
        sum.cpu_ns += now.cpu_ns - base.cpu_ns;
        sum.woken += now.woken - base.woken;
        sum.preempted += now.preempted - base.preempted;
    }
    return by_name;
}

}  // namespace tarvelo::bench
