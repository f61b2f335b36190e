// The daemon's use of the hardware watchdog: opened once at start-up, kicked by
// the main thread alone, closed with "V" at the very end of shutdown.
#pragma once

#include <atomic>

#include "platform/watchdog.h"

// Set by the poller thread after every good FPGA read.
extern std::atomic<bool> poller_alive;
// Set while the media processor is up (comcerto_init .. comcerto_destroy).
extern std::atomic<bool> msp_ready;
// Set when the media processor reports every status bit good.
extern std::atomic<bool> msp_alive;

// Up to 20 opens 400 ms apart, then a 32 s timeout. Without a device the
// daemon runs without a watchdog. sleep_ms replaces the pauses in tests.
void watchdog_start(void (*sleep_ms)(int ms) = nullptr);
// Plain kick: no condition, flags untouched.
void watchdog_kick();
// Kicks only when the poller read the FPGA and the media processor is either
// down or reported good status since the last kick; clears both flags then.
bool watchdog_conditional_kick();
// "V" and close; the watchdog stops.
void watchdog_stop();
// The open device, or null.
Watchdog* watchdog_device();
// Tests replace the device (null forgets it).
void watchdog_set_device(std::unique_ptr<Watchdog> device);
