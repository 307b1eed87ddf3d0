// Pseudo-terminal pairs and line settings for tests that put the tool, or a
// test client, on the slave side of a terminal.
#pragma once

#include "fd.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

// A pseudo-terminal pair: the test keeps the master, the code under test
// opens the slave by its path.
class PtyPair {
  public:
    PtyPair(); // aborts the test program when no pseudo-terminal can be had
    int master() const { return master_.get(); }
    const std::string &slave_path() const { return slave_path_; }

    // Keeps a descriptor of the slave open, so that the master does not see
    // a hang-up while the code under test has it closed.
    void hold_slave();

  private:
    UniqueFd master_;
    UniqueFd slave_hold_;
    std::string slave_path_;
};

// The settings of a terminal as the kernel holds them (TCGETS2).
struct LineState {
    uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
    uint8_t line = 0;
    std::array<uint8_t, 19> cc{};
    uint32_t ospeed = 0;
    uint32_t speed_code = 0;   // the CBAUD bits of cflag
    bool custom_speed = false; // speed code BOTHER, the rate in ospeed
};

// Reads the settings of the terminal behind `fd` (a master reports its slave's).
LineState read_line_state(int fd);

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
