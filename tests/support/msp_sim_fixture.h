// A simulated media processor wired to the daemon's control socket, with the
// test's thread as the main thread. The default window is generous so that a
// loaded machine does not turn answers into time-outs; tests of time-outs
// shorten it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <poll.h>
#include <vector>

#include "core/channel_event.h"
#include "core/event_queue.h"
#include "core/main_loop.h"
#include "core/main_thread.h"
#include "msp/msp_transaction.h"
#include "sim/msp/msp_simulator.h"

class MspSimFixture {
public:
    explicit MspSimFixture(int window_ms = 1000)
    {
        main_thread_set();
        main_pollfds_init();
        msp_transactions_reset();
        msp_set_answer_window(window_ms);
        sim = std::make_unique<MspSimulator>();
        msp_socket_adopt(sim->take_daemon_fd());
        msp_socket = msp_socket_open(MSP_MAC, 0);
        main_pollfds[POLLFD_MSP].fd = msp_socket;
        sim->start();
    }
    ~MspSimFixture()
    {
        sim->stop();
        msp_socket_close(msp_socket.exchange(-1));
        msp_transactions_reset();
        msp_set_answer_window(750);
        msp_set_indication_handler(nullptr);
        main_pollfds_init();
    }

    // Serves the control socket as the main loop would, until done() or ms passed.
    bool pump(const std::function<bool()>& done, int ms = 2000)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            pollfd p{msp_socket.load(), POLLIN, 0};
            if (poll(&p, 1, 5) > 0)
                comcerto_process_socket();
        }
        return true;
    }
    void pump_for(int ms)
    {
        pump([] { return false; }, ms);
    }
    // Takes every event waiting in the event queue, oldest first.
    std::vector<std::unique_ptr<channel_event_t>> drain()
    {
        std::vector<std::unique_ptr<channel_event_t>> out;
        while (channel_event_t* e = std_queue_dequeue(event_queue))
            out.emplace_back(e);
        return out;
    }

    std::unique_ptr<MspSimulator> sim;
};
