#include <gtest/gtest.h>

#include "support/log_capture.h"

TEST(Log, FiltersByLevelAndFamily)
{
    LogCapture cap(5);
    LOG(LOGF_GENERAL, 5, "kept %d", 1);
    LOG(LOGF_GENERAL, 6, "dropped by level");
    uint32_t saved = log_family_mask;
    log_family_mask = LOGF_BOARD;
    LOG(LOGF_WEB, 3, "dropped by family");
    log_family_mask = saved;
    auto lines = cap.all();
    ASSERT_EQ(lines.size(), 1u);
    int line = __LINE__ - 8;
    EXPECT_EQ(lines[0], "log_test.cpp:" + std::to_string(line) + ": kept 1");
}
