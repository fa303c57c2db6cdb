// An interposed clock_nanosleep(): the test executable that links
// clock_sim.cpp records every call and returns at once, as if the whole
// interval had passed.
#pragma once

#include <time.h>

#include <vector>

namespace clocksim {

struct Sleep {
    clockid_t clock = 0;
    int flags = 0;
    struct timespec request {};
    bool remaining_given = false;  // a second, distinct timespec was passed
};

std::vector<Sleep> &Sleeps();

}  // namespace clocksim
