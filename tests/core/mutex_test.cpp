#include <gtest/gtest.h>

#include <thread>

#include "core/mutex.h"

TEST(Mutex, RecursiveTakeAndReleaseLeavesItFree)
{
    Mutex m;
    m.lock();
    m.lock();
    m.unlock();
    m.unlock();
    bool taken = false;
    std::thread t([&] {
        taken = m.try_lock();
        if (taken)
            m.unlock();
    });
    t.join();
    EXPECT_TRUE(taken);
}

TEST(Mutex, ExceptionTexts)
{
    EXPECT_STREQ(Mutex::_attr_init_error().what(), "Mutex::Mutex(): attr init error");
    EXPECT_STREQ(Mutex::_attr_settype_error().what(), "Mutex::Mutex(): attr settype error");
    EXPECT_STREQ(Mutex::_mutex_init_error().what(), "Mutex::Mutex(): mutex init error");
}
