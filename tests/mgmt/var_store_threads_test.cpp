#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "mgmt/var_store.h"

// Publishers on many threads while a reader drains the store the way the
// management link does.
TEST(VarStoreThreads, ConcurrentPublishersLoseNothing)
{
    standaloneMode = false;
    varStore.reset();
    varStore.updateSummary();
    constexpr int threads = 6;
    constexpr int rounds = 2000;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        while (!done.load()) {
            MutexLock lock(varStore.mutex);
            varStore.valuesSending = varStore.values;
            (void)varStore.alarmLevel(".14.1.2.0");
        }
    });
    std::vector<std::thread> publishers;
    for (int t = 0; t < threads; ++t)
        publishers.emplace_back([t] {
            std::string status = ".10." + std::to_string(t + 1) + ".3.0";
            std::string alarm = ".14." + std::to_string(t + 1) + ".2.0";
            for (int i = 0; i < rounds; ++i) {
                poller_publish_var(status, MyVarValue("t" + std::to_string(t) + "-" + std::to_string(i)));
                poller_publish_var(".2.0", MyVarValue(MyVarValue::INT32, i));
                poller_set_alarm(alarm, i % 3);
            }
        });
    for (auto& p : publishers)
        p.join();
    done = true;
    reader.join();

    ASSERT_EQ(varStore.values.size(), size_t(threads) + 1);
    for (int t = 0; t < threads; ++t) {
        std::string status = ".10." + std::to_string(t + 1) + ".3.0";
        EXPECT_EQ(varStore.values[status].text, "t" + std::to_string(t) + "-" + std::to_string(rounds - 1));
        // the last level was (rounds - 1) % 3 == 1
        EXPECT_EQ(varStore.alarmLevel(".14." + std::to_string(t + 1) + ".2.0"), 1);
    }
    EXPECT_EQ(varStore.values[".2.0"].value, rounds - 1);
    EXPECT_EQ(varStore.alarmChanges.size(), size_t(threads));
    EXPECT_EQ(varStore.summary(), 1);
    varStore.reset();
}
