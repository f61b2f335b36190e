// A board without a chassis (board address 31) manages itself.
#pragma once

// Called once by the poller thread when it first reads address 31: sets
// standaloneMode and the FPGA's standalone mode.
void enter_standalone_mode();
