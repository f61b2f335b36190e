// The hardware watchdog seam. The board's device is /dev/comcerto_wdt; with
// LINEGW_SIM_WATCHDOG=<file> a simulated one is used instead, which appends
// one line per operation to that file: "<monotonic ms> <op>", op being
// "open", "timeout <s>", "W" (kick) or "V" (magic close).
// LINEGW_SIM_WATCHDOG_BUSY=<n> makes its first n opens fail with EBUSY, and a
// file "<file>.gemac<port>" holding a number is the link status of that port.
// Once open, the simulated device resets when it is not kicked within its
// time-out (60 s until one is set): it records "reset", logs "simulated
// watchdog: not kicked for <ms> ms, resetting the board" (also on stderr) and
// kills the process. LINEGW_SIM_WATCHDOG_TIMEOUT_MS=<ms> replaces whatever
// time-out is set, so tests need not wait 32 s.
#pragma once

#include <memory>

class Watchdog {
public:
    virtual ~Watchdog() = default;
    // 0, or -1 with errno set.
    virtual int open() = 0;
    virtual bool isOpen() const = 0;
    virtual int setTimeout(int seconds) = 0;
    virtual int kick() = 0;            // writes "W"
    virtual int magicClose() = 0;      // writes "V" and closes: the watchdog stops
    // The Ethernet port's state word (WDIOC_GETTEMP with the port as argument).
    virtual int linkStatus(int port, int* status) = 0;
};

// The real device, or the simulated one when LINEGW_SIM_WATCHDOG is set.
std::unique_ptr<Watchdog> watchdog_create();
