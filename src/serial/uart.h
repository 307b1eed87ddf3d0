// Serial link: the one UART to the SYSCON, a millisecond clock and the
// timed receive that every byte from the SYSCON goes through.
#pragma once

#include <cstdint>
#include <optional>
#include <termios.h>

// Source name printed in front of located messages: "update_syscon(436): ERROR: ...".
inline constexpr const char *SRC_NAME = "update_syscon";

// Result of a receive that ran out of time (the negated ETIME).
inline constexpr int RECV_TIMEOUT = -62;

// Descriptor of the serial port; -1 while it is closed.
extern int g_uart_fd;

// Standard speed code for a rate of the classic table, or nothing when the
// rate has to be set as a custom speed.
std::optional<speed_t> standard_speed(uint32_t rate);

// Opens `device` and sets it to raw 8 data bits, 2 stop bits, no parity at
// `rate`, with reads that never wait. Returns 0, or non-zero after reporting
// the failure on standard error (-errno where a system call failed).
int uart_init(const char *device, uint32_t rate);

// Closes the port if it is open.
void uart_close();

// Wall-clock milliseconds, modulo 2^32.
int get_msec();

// Milliseconds from `start` to `now` on the wrapping 32-bit clock.
constexpr uint32_t msec_elapsed(uint32_t start, uint32_t now) {
    return now - start;
}

// Receives exactly `length` bytes from the port into `buf` within `timeout`
// milliseconds, polling without pause (built with SYSCON_QUIET_WAIT: sleeping
// in poll() between reads). Returns 0, RECV_TIMEOUT or -errno.
int uart_recv(int *port, uint8_t *buf, uint32_t length, uint32_t timeout);
