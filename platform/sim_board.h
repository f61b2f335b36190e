// The simulated board. Any of the simulator's variables (LINEGW_ROOT,
// LINEGW_SIM_*) selects it as a whole: every seam, and every path and
// external command under the root. The board's daemon would otherwise
// reconfigure, and may reboot, the machine it runs on.
#pragma once

#include <string>

// True when the environment selects the simulated board.
bool sim_board_selected();

// "" when the daemon may start: the board's daemon, or the simulated board
// with a scratch root other than / and a network namespace of its own.
// Otherwise the reason it must not.
std::string sim_board_refusal();
