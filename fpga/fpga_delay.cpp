// fpga_delay: a blocking millisecond sleep on the monotonic clock, for host
// code that drives the concentrator.

#include "fpga.h"

#include <time.h>

extern "C" void wait_ms(unsigned long ms) {
    struct timespec delay;
    struct timespec remaining;
    delay.tv_sec = static_cast<time_t>(ms / 1000);
    delay.tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    // The nanosecond part is whole milliseconds, so only ms = 0 skips.
    if (delay.tv_sec > 0 || delay.tv_nsec > 100000) {
        // Relative interval; a sleep cut short by a signal is not resumed.
        clock_nanosleep(CLOCK_MONOTONIC, 0, &delay, &remaining);
    }
}
