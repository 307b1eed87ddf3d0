// The line as the device sees it: the settings the client applied to the
// slave end, and whether the device can read bytes sent with them.
#pragma once

#include "types.h"

#include <string>

namespace syscon_sim {

// The client's settings of the slave, read through the master. Throws
// std::system_error.
LineSettings read_line_settings(int master);

// Why a UART set to `line` would not understand a device running 8N2 raw at
// `expect_baud` (0 = any rate); empty when it would.
std::string line_problem(const LineSettings &line, uint32_t expect_baud);

} // namespace syscon_sim
