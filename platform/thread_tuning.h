#pragma once
// How a thread of the scale presents itself to the kernel: its name (for top, ps and the
// system's tracing tools), and for the one thread whose wake-ups the ECR waits on, the
// promptest scheduling that the process is allowed.

namespace tarvelo {

// Names the calling thread; at most 15 characters are kept.
void name_this_thread(const char* name);

// What prefer_prompt_wakeups() obtained for the calling thread.
enum class Wakeups {
    ordinary,     // nothing could be changed
    short_slice,  // short time slices: woken ahead of busy neighbours that use long ones
    raised,       // short slices and a nice level below 0 (a LimitNICE grant, or root)
    realtime,     // round-robin real-time at the lowest priority (a LimitRTPRIO grant, or root)
};

// For a thread that sleeps or blocks nearly all the time and must run as soon as it wakes:
// real-time scheduling when the process may use it, else the lowest nice level it is allowed,
// and short time slices in any case where the kernel offers them (Linux 6.12 and later; no
// privilege needed). Whatever is refused is passed over silently: the thread then runs as
// every other. Never for a thread that may run for long without blocking: a real-time thread
// that spins would starve the rest of the system. `ceiling` is the most it asks for (the
// benchmark's way to measure an ungranted scale while it runs as root).
Wakeups prefer_prompt_wakeups(Wakeups ceiling = Wakeups::realtime);

const char* wakeups_name(Wakeups w);

}  // namespace tarvelo
