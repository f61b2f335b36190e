// Fixed pauses that must last their whole length (the watchdog kicks of
// shutdown, the save before a reboot): a signal that wakes the sleep early
// does not shorten them.
#pragma once

// Sleeps until ms milliseconds after the call, on the monotonic clock.
void settle_pause_ms(int ms);
