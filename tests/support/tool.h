// Runs the real update_syscon binary as a child process.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace testsupport {

struct ToolResult {
    int status = -1; // exit status 0..255, or -signal when killed
    std::string out; // standard output, byte for byte
    std::string err; // standard error, byte for byte
};

// Path of the update_syscon binary under test.
std::string tool_path();

// Runs update_syscon with `args` (argv[1..]) and waits for it, at most
// `timeout_ms` (then it is killed). `argv0` replaces the program name;
// `during` is called with its process id once it runs, before its streams
// are read.
ToolResult run_tool(const std::vector<std::string> &args, int timeout_ms = 120000,
                    const std::string &argv0 = "",
                    const std::function<void(pid_t)> &during = nullptr);

} // namespace testsupport
