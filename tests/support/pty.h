// Pseudo-terminal pairs and line settings for tests that put the tool, or a
// test client, on the slave side of a terminal.
#pragma once

#include "sim/tty.h"

#include <cstdint>
#include <fcntl.h>
#include <string>
#include <vector>

namespace testsupport {

using UniqueFd = syscon_sim::Fd;
using syscon_sim::LineState;
using syscon_sim::read_line_state; // of the terminal behind a descriptor; a master reports its
                                   // slave's

// A pseudo-terminal pair: the test keeps the master, the code under test
// opens the slave by its path.
class PtyPair {
  public:
    PtyPair() : pty_(syscon_sim::open_pty(0)) {} // throws std::system_error
    int master() const { return pty_.master.get(); }
    const std::string &slave_path() const { return pty_.slave_path; }
    void hang_up() { pty_.master.reset(); } // the slave's readers see a hang-up

    // Keeps a descriptor of the slave open, so that the master does not see
    // a hang-up while the code under test has it closed.
    void hold_slave() { slave_hold_.reset(::open(pty_.slave_path.c_str(), O_RDWR | O_NOCTTY)); }

  private:
    syscon_sim::Pty pty_;
    UniqueFd slave_hold_;
};

// Opens `path` as a test client and sets it raw, 8 data bits, 2 stop bits, no
// parity, at `rate` baud (any rate, as a custom speed where needed).
UniqueFd open_raw_port(const std::string &path, uint32_t rate = 38400);

// Writes all of `bytes` to `fd`.
void write_all(int fd, const std::vector<uint8_t> &bytes);

// Reads up to `count` bytes from `fd`, waiting at most `timeout_ms` for all of them.
std::vector<uint8_t> read_some(int fd, size_t count, int timeout_ms);

// The frames among `frames` whose three-letter code is `code`.
std::vector<std::vector<uint8_t>> frames_with_code(const std::vector<std::vector<uint8_t>> &frames,
                                                   const std::string &code);

// Hex dump "02 44 45" for readable failure messages.
std::string hex(const std::vector<uint8_t> &bytes);

} // namespace testsupport
