#pragma once

#include <time.h>

// Milliseconds of the monotonic clock, which no change of the time of day
// moves; a vDSO call, no system call, and safe in a signal handler.
inline long long monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}
