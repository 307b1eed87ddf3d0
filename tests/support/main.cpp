// The test programs' main. Before any test runs, the process (and with it the
// simulator's threads and every tool it starts) gets a scheduling group of its
// own and a raised priority, where the system allows it. The tool gives the
// SYSCON 100 ms to acknowledge (and its busy-poll build spins meanwhile): other
// work on the machine must not hold the tool, or the terminal's delivery of
// its bytes, off the processor that long.
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

int main(int argc, char **argv) {
    // A session of its own is an autogroup of its own, whose weight no
    // longer depends on whatever else runs in the caller's session. Not when
    // run from a terminal, where Ctrl-C must still reach the tests.
    if (!isatty(STDIN_FILENO))
        setsid();
    if (FILE *group = std::fopen("/proc/self/autogroup", "w")) {
        std::fputs("-10", group);
        std::fclose(group);
    }
    setpriority(PRIO_PROCESS, 0, -10);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
