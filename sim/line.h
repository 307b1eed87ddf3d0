// The master end of the pseudo-terminal and the line settings that the
// client applied to the slave end.
#pragma once

#include "fd.h"
#include "simulator.h"

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

} // namespace syscon_sim
