// The command line of the syscon_sim program.
#pragma once

#include "types.h"

#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace syscon_sim {

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct ProgramOptions {
    Config config;
    std::vector<Fault> faults;
    std::vector<std::pair<std::string, std::string>> loads, saves; // area, file
    std::string link;
    bool once = false;
    bool help = false;
};

// "CMD:N:KIND[=PARAM]" with N a number from 1 or '*' for every request.
// Throws UsageError.
Fault parse_fault(std::string_view text);

// args without the program name. Throws UsageError.
ProgramOptions parse_command_line(const std::vector<std::string> &args);

// The help text of -h and --help.
std::string usage();

} // namespace syscon_sim
