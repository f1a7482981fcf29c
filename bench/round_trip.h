#pragma once
// The ECR round trip, ENQ to record 02 on a stable scale, over the real socket and through the
// real serve loop with its 10 ms pause, a real event log on disk, and the real facade and
// xon/xoff driver reading a board that sends 10 frames a second. Besides the whole round
// trip it times the stages of each one from marks the loop leaves in its clock, its log and its
// scale, so that a slow round trip shows where its time went.

#include <string>
#include <vector>

#include "platform/thread_tuning.h"

namespace tarvelo::bench {

// Milliseconds of one round trip, stage by stage. They add up to `total`.
struct RoundTripStages {
    double total = 0;
    double late_pause = 0;   // the loop began its pause after the request came: late after its
                             // previous reply
    double pause_left = 0;   // the request waits for the loop's pause to end, as planned
    double overshoot = 0;    // the pause ended late: the loop's thread woke after its time
    double read = 0;         // request bytes read and framed, up to the dispatcher's first line
    double log_receive = 0;  // the "receive" line of the event log, written to its file
    double snapshot = 0;     // the stability check's snapshot of the board driver's status
    double dispatch = 0;     // the rules and the reply, up to the "send" line
    double log_send = 0;     // the "send" line, up to the reply's write
    double wake = 0;         // the reply written, until the client has its first byte
    double drain = 0;        // the client reads the rest of the reply
};

struct RoundTrips {
    std::vector<RoundTripStages> trips;  // in the order measured
    std::string failure;                 // empty when every round trip was answered
    std::string wakeups;                 // how promptly the loop's thread was woken
};

// `count` round trips after a warm-up of 100, the loop's thread asking for no more than
// `ceiling`.
RoundTrips measure_round_trips(int count, Wakeups ceiling);

// The value at quantile q (0..1) of the sorted copy of `values`.
double quantile(std::vector<double> values, double q);

}  // namespace tarvelo::bench
