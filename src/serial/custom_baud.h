// Custom line rates through the Linux termios2 ioctls. They live in a file of
// their own because the kernel's termios header cannot share a translation
// unit with the C library's <termios.h>.
#pragma once

#include <cstddef>
#include <cstdint>

// A terminal settings record in neutral types, speed bits excluded.
struct LineSettings {
    uint32_t iflag;
    uint32_t oflag;
    uint32_t cflag;
    uint32_t lflag;
    uint8_t line;
    const uint8_t *cc;
    size_t ncc;
};

// Applies `s` at once (TCSETS2) with an output speed of exactly `rate` baud
// and the input following the output speed. Returns 0 or -1 with errno set.
int apply_custom_rate(int fd, const LineSettings &s, uint32_t rate);
