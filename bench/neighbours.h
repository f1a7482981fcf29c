#pragma once
// Busy neighbours for the loaded measurements: ordinary processes of the same user, in the same
// session and at the same nice level as the one that starts them, as a point-of-sale program and
// a browser beside the scale would be; each one spins on the processor without a pause. They are
// stopped by their process ids when the object goes, and die with the benchmark if it dies
// first, so that a failed run never leaves them behind.

#include <sys/types.h>

#include <vector>

namespace tarvelo::bench {

class BusyNeighbours {
  public:
    // One per online processor unless told otherwise.
    explicit BusyNeighbours(int count = 0);
    ~BusyNeighbours();
    BusyNeighbours(const BusyNeighbours&) = delete;
    BusyNeighbours& operator=(const BusyNeighbours&) = delete;

    int count() const { return static_cast<int>(pids_.size()); }
    const std::vector<pid_t>& pids() const { return pids_; }

  private:
    std::vector<pid_t> pids_;
};

// The system's one-minute load average, for the record beside a figure taken under it.
double load_average();

}  // namespace tarvelo::bench
