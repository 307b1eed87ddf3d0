// Serial link: the one UART to the SYSCON, a millisecond clock and the
// timed receive that every byte from the SYSCON goes through.
#pragma once

#include <csignal>
#include <cstdint>
#include <optional>
#include <termios.h>

#include "status.h"

// Result of a receive that ran out of time (the negated ETIME).
inline constexpr int RECV_TIMEOUT = -62;

// Result of a receive or wait stopped by an interruption (the negated EINTR).
inline constexpr int RECV_INTERRUPTED = -4;

// Number of the signal that interrupted a block operation, 0 before one; set
// by the handler of the rom layer (progress_start). Once it is set, the
// receive and the wait for a quiet line return RECV_INTERRUPTED at once.
extern volatile sig_atomic_t g_interrupted;

// Result of a receive or wait on a port whose other end went away (the
// negated EIO).
inline constexpr int RECV_HANGUP = -5;

// How the exchanges on the port are kept in step. The classic operations
// leave it all off, so that their bytes on the wire and their reads stay as
// they were. A careful operation sets it whole (exchange_policy_begin) and
// the front end clears it whole after every operation (exchange_policy_end),
// so that nothing is left half set. Policy and reasons: docs/protocol.md.
struct ExchangePolicy {
    // The input is discarded before every request, the line must fall quiet
    // after a failed try, a retried exchange is followed by a barrier, and a
    // port that hangs up stops the exchanges at once with one message.
    bool in_step;
    // The next request waits out a SYSCON still busy with an earlier
    // process's erase: its tries go on silently up to the erase limit.
    bool await_syscon;
    // An exchange needed more than one try: a duplicate request may still be
    // answered, so the next exchange is preceded by a barrier.
    bool barrier_due;
};
extern ExchangePolicy g_exchange;
void exchange_policy_begin(); // in step, awaiting the SYSCON
void exchange_policy_end();   // all off

// True once an interruption has ended the exchanges, or, in step, once the
// port `fd` is found hung up (reported once).
bool uart_stopped(int fd);

// Descriptor of the serial port; -1 while it is closed.
extern int g_uart_fd;

// Standard speed code for a rate of the classic table, or nothing when the
// rate has to be set as a custom speed.
std::optional<speed_t> standard_speed(uint32_t rate);

// Opens `device` and sets it to raw 8 data bits, 2 stop bits, no parity at
// `rate`, with reads that never wait. Holds an exclusive flock on the port
// until it is closed; when another process holds one, nothing is changed.
// Returns 0, or non-zero after reporting the failure on standard error
// (-errno where a system call failed, -EBUSY for the lock).
int uart_init(const char *device, uint32_t rate);

// Closes the port if it is open.
void uart_close();

// Milliseconds of the monotonic clock, modulo 2^32.
int get_msec();

// Milliseconds from `start` to `now` on the wrapping 32-bit clock.
constexpr uint32_t msec_elapsed(uint32_t start, uint32_t now) {
    return now - start;
}
static_assert(msec_elapsed(0xFFFFFFF0u, 0x10u) == 0x20u, "the clock wraps");

// Receives exactly `length` bytes from the port into `buf` within `timeout`
// milliseconds, sleeping in poll() between reads (built with SYSCON_BUSY_POLL:
// reading again without pause). Returns 0, RECV_TIMEOUT (reported unless
// `report` is false), RECV_INTERRUPTED, RECV_HANGUP or -errno.
int uart_recv(int *port, uint8_t *buf, uint32_t length, uint32_t timeout, bool report = true);

// Rate set by uart_init, for the time bytes take on the wire.
extern uint32_t g_uart_rate;

// Bounds of a quiet time, and of a whole wait for one.
inline constexpr uint32_t QUIET_MIN_MS = 20;
inline constexpr uint32_t QUIET_MAX_MS = 3000;
inline constexpr uint32_t QUIET_WAIT_LIMIT_MS = 10000;

// Drops what the port has received and nobody has read yet. Bytes still on
// the wire are not touched. Returns 0 or -errno.
int uart_discard_input(int *port);

// How long the line must stay quiet so that a response of `bytes` bytes, sent
// at the rate in force, cannot still be on its way: its time on the wire plus
// a quarter and 20 ms, within QUIET_MIN_MS..QUIET_MAX_MS.
uint32_t uart_quiet_ms(uint32_t bytes);

// Waits until nothing has arrived for `quiet_ms`, dropping whatever arrives.
// Returns 0, RECV_TIMEOUT when the line keeps talking for QUIET_WAIT_LIMIT_MS,
// RECV_INTERRUPTED, RECV_HANGUP or -errno.
int uart_wait_quiet(int *port, uint32_t quiet_ms);
