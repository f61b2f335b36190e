// Setting the system clock. Tests and the demo must never touch the host's
// clock: LINEGW_SIM_CLOCK=<file> makes every request a line "<sec>.<usec>"
// appended to that file instead, and unit tests install their own setter.
#pragma once

#include <sys/time.h>

// 0, or -1 with errno set.
int platform_set_wall_clock(const struct timeval* tv);

typedef int (*wall_clock_setter_t)(const struct timeval* tv);
void platform_set_wall_clock_setter(wall_clock_setter_t setter);  // null restores the default
