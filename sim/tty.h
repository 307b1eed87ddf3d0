// Pseudo-terminals and the settings of a terminal, for the simulator's line
// and the tests' clients alike.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unistd.h>
#include <utility>

namespace syscon_sim {

// Owns one file descriptor and closes it on destruction.
class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd &&o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
    Fd &operator=(Fd &&o) noexcept {
        if (this != &o)
            reset(std::exchange(o.fd_, -1));
        return *this;
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

struct Pty {
    Fd master;
    std::string slave_path;
};

// A new pseudo-terminal pair, its master opened O_RDWR | O_NOCTTY | `flags`.
// Throws std::system_error.
Pty open_pty(int flags);

// The settings of a terminal as the kernel holds them (TCGETS2).
struct LineState {
    uint32_t iflag = 0, oflag = 0, cflag = 0, lflag = 0;
    uint8_t line = 0;
    std::array<uint8_t, 19> cc{};
    uint32_t ospeed = 0;       // the rate in bits per second, whichever way it was set
    uint32_t speed_code = 0;   // the CBAUD bits of cflag
    bool custom_speed = false; // speed code BOTHER, the rate in ospeed
};

// Reads the settings of the terminal behind `fd` (a master reports its
// slave's). Throws std::system_error.
LineState read_line_state(int fd);

} // namespace syscon_sim
