#include "timing/timing.h"

#include <math.h>
#include <stdint.h>

// About 1.1933 MHz: the stopwatch counts in these until TIMEINIT calibrates it.
static const double INITIAL_TICK_MS = 0.000838;

static double tick_ms = INITIAL_TICK_MS;
static int64_t start_count = 0;

void timing_reset() {
    tick_ms = INITIAL_TICK_MS;
    start_count = 0;
}

// A counter that reports no frequency keeps the old factor instead of dividing by zero.
BOOL timing_init() {
    LARGE_INTEGER frequency;
    frequency.QuadPart = 0;
    QueryPerformanceFrequency(&frequency);
    if (frequency.QuadPart > 0) tick_ms = 1000.0 / static_cast<double>(frequency.QuadPart);
    LARGE_INTEGER now;
    now.QuadPart = start_count;
    BOOL ok = QueryPerformanceCounter(&now);
    start_count = now.QuadPart;
    return ok;
}

double timing_read() {
    LARGE_INTEGER now;
    now.QuadPart = 0;
    QueryPerformanceCounter(&now);
    // Wrapping subtraction: defined for any pair of readings.
    int64_t elapsed = static_cast<int64_t>(static_cast<uint64_t>(now.QuadPart) -
                                           static_cast<uint64_t>(start_count));
    return static_cast<double>(elapsed) * tick_ms;
}

// Spins without sleeping; the test is strict, so reaching t0 + ms exactly ends the wait. A
// duration that is not finite would spin forever on infinity, so it returns at once.
void timing_delay(double ms) {
    if (!isfinite(ms)) return;
    double t0 = timing_read();
    while (t0 + ms > timing_read()) {
    }
}

BOOL timing_set_priority(DWORD priority_class) {
    return SetPriorityClass(GetCurrentProcess(), priority_class);
}
