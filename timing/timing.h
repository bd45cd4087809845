// The stopwatch on the performance counter, the busy-wait delay and the priority switch.
#pragma once

#include <windows.h>

void timing_reset();
BOOL timing_init();
double timing_read();
void timing_delay(double ms);
BOOL timing_set_priority(DWORD priority_class);
