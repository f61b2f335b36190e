// The user agent in-process: a network namespace of its own (so that it has
// 127.0.0.1:6060 to itself), the event queue, the main scheduler on a clock
// the test moves, and a main loop the test pumps.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/channel_event.h"
#include "support/own_net_namespace.h"

class UaHarness {
public:
    // fake_clock: main_scheduler runs on now_ms instead of the real clock.
    explicit UaHarness(bool fake_clock = false);
    ~UaHarness();
    bool start();  // ua_start and wait for ua_is_ready
    void stop();

    // Runs due timers and dispatches every queued event, with a line each in
    // events; until a while without new events.
    void pump(int ms = 50);
    // Pumps until a line containing text was dispatched; false after ms.
    bool waitFor(const std::string& text, int ms = 3000);
    bool sawLine(const std::string& text) const;
    void advance(int64_t ms);  // the fake clock

    std::vector<std::string> events;
    static int64_t now_ms;
};
