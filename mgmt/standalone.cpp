#include "mgmt/standalone.h"

#include "core/log.h"
#include "mgmt/fpga.h"
#include "mgmt/var_store.h"

void enter_standalone_mode()
{
    LOG(LOGF_BOARD, 6, "switching to standalone mode");
    // 0x11 would make the board the clock master as well; no clock-master
    // setting exists before the configuration file is read, and that file is
    // not read yet.
    fpga_write_reg(FPGA_MODE, 0x10);
    standaloneMode.store(true, std::memory_order_release);
}
