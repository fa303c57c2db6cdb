// The interposed clock_nanosleep(): see clock_sim.h.
#include "clock_sim.h"

#include <cerrno>

namespace clocksim {

std::vector<Sleep> &Sleeps() {
    static std::vector<Sleep> *sleeps = new std::vector<Sleep>;
    return *sleeps;
}

}  // namespace clocksim

extern "C" int clock_nanosleep(clockid_t clock, int flags, const struct timespec *request,
                               struct timespec *remaining) {
    if (request == nullptr) return EFAULT;
    clocksim::Sleep s;
    s.clock = clock;
    s.flags = flags;
    s.request = *request;
    s.remaining_given = remaining != nullptr && static_cast<const void *>(remaining) != request;
    clocksim::Sleeps().push_back(s);
    if (remaining != nullptr) *remaining = timespec{0, 0};
    return 0;
}
