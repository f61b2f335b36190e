// The daemon's tests run with the seams its start-up fills in.
#include <gtest/gtest.h>

#include "daemon/startup_steps.h"

namespace {

class DaemonSeams : public ::testing::Environment {
public:
    void SetUp() override { daemon_install_hooks(); }
};

[[maybe_unused]] ::testing::Environment* const seams = ::testing::AddGlobalTestEnvironment(new DaemonSeams);

}  // namespace
