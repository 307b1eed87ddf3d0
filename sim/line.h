// The master end of the pseudo-terminal and the line settings that the
// client applied to the slave end.
#pragma once

#include "fd.h"
#include "types.h"

#include <string>

namespace syscon_sim {

struct Pty {
    Fd master; // non-blocking
    std::string slave_path;
};

// Throws std::system_error.
Pty open_pty();

// The client's settings of the slave, read through the master (TCGETS2).
// Throws std::system_error.
LineSettings read_line_settings(int master);

// Why a UART set to `line` would not understand a device running 8N2 raw at
// `expect_baud` (0 = any rate); empty when it would.
std::string line_problem(const LineSettings &line, uint32_t expect_baud);

} // namespace syscon_sim
