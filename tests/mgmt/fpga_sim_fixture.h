// The FPGA simulator behind the SPI seam, a scratch root holding the bit
// stream, and the poller's state fresh for each test. The test runs in a
// network namespace of its own: stop_poller gives eth0 its link-local
// address back, and that must never be the host's eth0.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <sched.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/event_queue.h"
#include "core/main_thread.h"
#include "core/watchdog.h"
#include "mgmt/fpga.h"
#include "mgmt/module.h"
#include "mgmt/poller.h"
#include "mgmt/var_store.h"
#include "platform/paths.h"
#include "sim/fpga/fpga_simulator.h"
#include "support/log_capture.h"

// Every sleep of the poller, counted by its length and cut short.
struct PollerSleeps {
    static inline std::atomic<int> loadRetries{0};   // 100 ms
    static inline std::atomic<int> spiErrors{0};     // 1 s
    static void sleep(int ms)
    {
        if (ms == 100)
            loadRetries++;
        else if (ms == 1000)
            spiErrors++;
        usleep(100);
    }
    static void reset()
    {
        loadRetries = 0;
        spiErrors = 0;
    }
};

class FpgaSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a network namespace of its own";
        ASSERT_EQ(unshare(CLONE_NEWNET), 0) << strerror(errno);
        char dir[] = "/tmp/fpga-test-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        root = dir;
        platform_set_root(root);
        std::filesystem::create_directories(root + "/usr/share/linegw");
        bitstream.resize(600);
        for (size_t i = 0; i < bitstream.size(); i++)
            bitstream[i] = static_cast<uint8_t>(i * 7 + 3);
        writeBitstream(bitstream);

        main_thread_set();
        if (!event_queue) {
            ASSERT_EQ(std_queue_create(&event_queue, 2048), 0);
        }
        drain();
        poller_reset_state();
        varStore.reset();
        PollerSleeps::reset();
        poller_set_sleep(PollerSleeps::sleep);

        sim = std::make_unique<FpgaSimulator>();
        sim->setBitstream(bitstream);
        sim->setBoardAddress(3);
        spi_set_opener(sim->opener());
        fpgaSpi.close();
        logs = std::make_unique<LogCapture>(7);
    }

    void TearDown() override
    {
        if (!sim)
            return;
        stop_poller();
        poller_set_web_server(nullptr, nullptr);
        fpgaSpi.close();
        spi_set_opener(nullptr);
        poller_set_sleep(nullptr);
        drain();
        logs.reset();
        platform_set_root("");
        std::filesystem::remove_all(root);
    }

    void writeBitstream(const std::vector<uint8_t>& bytes)
    {
        std::ofstream(root + FPGA_BITSTREAM, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    // Polls cond every millisecond for up to timeout_ms.
    static bool waitFor(const std::function<bool()>& cond, int timeout_ms = 10000)
    {
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (!cond()) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Waits until the poller read reg n more times.
    bool waitReads(unsigned reg, int n, int timeout_ms = 5000)
    {
        int target = sim->reads(reg) + n;
        return waitFor([&] { return sim->reads(reg) >= target; }, timeout_ms);
    }

    // Log lines whose message ends with text.
    size_t linesEnding(const std::string& text)
    {
        size_t n = 0;
        for (std::string l : logs->all()) {
            while (!l.empty() && (l.back() == '\n' || l.back() == '\r'))
                l.pop_back();
            n += l.ends_with(text);
        }
        return n;
    }

    static std::vector<std::unique_ptr<channel_event_t>> drain()
    {
        std::vector<std::unique_ptr<channel_event_t>> out;
        if (event_queue)
            while (channel_event_t* e = std_queue_dequeue(event_queue))
                out.emplace_back(e);
        return out;
    }

    std::string root;
    std::vector<uint8_t> bitstream;
    std::unique_ptr<FpgaSimulator> sim;
    std::unique_ptr<LogCapture> logs;
};
