#include "serial/uart.h"

#include "serial/custom_baud.h"
#include "serial/events.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#ifndef SYSCON_BUSY_POLL
#include <algorithm>
#include <climits>
#endif
#include <ctime>
#include <unistd.h>

int g_uart_fd = -1;
volatile sig_atomic_t g_interrupted = 0;
ExchangePolicy g_exchange{};
uint32_t g_uart_rate = 0;

namespace {

struct RateSpeed {
    uint32_t rate;
    speed_t speed;
};

// Rates set by their standard speed code; every other rate is a custom speed.
constexpr std::array<RateSpeed, 19> k_rate_table{{
    {0, B0},         {50, B50},       {75, B75},         {110, B110},       {134, B134},
    {150, B150},     {200, B200},     {300, B300},       {600, B600},       {1200, B1200},
    {1800, B1800},   {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200},
    {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
}};

constexpr bool rates_ascending() {
    for (size_t i = 1; i < k_rate_table.size(); ++i)
        if (k_rate_table[i - 1].rate >= k_rate_table[i].rate)
            return false;
    return true;
}
static_assert(rates_ascending(), "each rate appears once");
static_assert(k_rate_table.front().speed == B0 && k_rate_table.back().speed == B230400);

const char *g_device = "";
bool g_hung_up = false;

int report_errno(int line) {
    int err = errno;
    report_error("%s(%d): ERROR: %s\n", SRC_NAME, line, strerror(err));
    return -err;
}

} // namespace

std::optional<speed_t> standard_speed(uint32_t rate) {
    for (const RateSpeed &rs : k_rate_table)
        if (rs.rate == rate)
            return rs.speed;
    return std::nullopt;
}

int uart_init(const char *device, uint32_t rate) {
    g_uart_rate = rate;
    // The settings record starts from zero, not from what the device had.
    struct termios tio {};
    tio.c_iflag = IGNPAR;
    tio.c_cflag = CS8 | CSTOPB | CREAD | CLOCAL;
    tio.c_cc[VEOL2] = 10; // VMIN and VTIME stay 0: reads return at once
    const std::optional<speed_t> speed = standard_speed(rate);
    if (speed)
        cfsetospeed(&tio, *speed); // input speed 0: it follows the output speed

    if (device == nullptr) {
        report_error("%s(%d): ERROR: No device specification.\n", SRC_NAME, LINE_NO_DEVICE);
        return -1;
    }

    g_device = device;
    g_uart_fd = open(device, O_RDWR | O_NOCTTY);
    if (g_uart_fd == -1) {
        int err = errno;
        report_error("%s(%d): ERROR: %s, %s\n", SRC_NAME, LINE_OPEN_DEVICE, strerror(err), device);
        return -err;
    }
    // One updater per port: another one's frames would meet ours on the line.
    // Taken before the port is touched; it goes with the process however it
    // ends. A device that cannot be locked at all is used as it is.
    if (flock(g_uart_fd, LOCK_EX | LOCK_NB) == -1 && errno == EWOULDBLOCK) {
        report_error("ERROR: %s is in use by another process\n", device);
        return -EBUSY;
    }

    // Only a test that the descriptor is a terminal; the settings read are not used.
    struct termios current {};
    if (tcgetattr(g_uart_fd, &current) == -1)
        return report_errno(LINE_NOT_A_TERMINAL);
    if (tcflush(g_uart_fd, TCIFLUSH) == -1)
        return report_errno(LINE_FLUSH);

    int rc;
    if (speed) {
        rc = tcsetattr(g_uart_fd, TCSANOW, &tio);
    } else {
        const LineSettings s{tio.c_iflag, tio.c_oflag, tio.c_cflag,    tio.c_lflag,
                             tio.c_line,  tio.c_cc,    sizeof tio.c_cc};
        rc = apply_custom_rate(g_uart_fd, s, rate);
    }
    if (rc == -1)
        return report_errno(LINE_SET_LINE);
    return 0;
}

void uart_close() {
    if (g_uart_fd != -1) {
        close(g_uart_fd);
        g_uart_fd = -1;
    }
}

void exchange_policy_begin() {
    g_exchange = {true, true, false};
}

void exchange_policy_end() {
    g_exchange = {};
}

int get_msec() {
    // Monotonic: a wall clock stepped by NTP or by hand neither ends nor stretches a limit.
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    const uint32_t ms =
        static_cast<uint32_t>(ts.tv_sec) * 1000u + static_cast<uint32_t>(ts.tv_nsec / 1000000);
    return static_cast<int>(ms);
}

namespace {

// In step: true, after reporting it once, when the port has hung up. Not
// inlined: the receive loop stays small on the musl builds.
[[gnu::noinline]] bool hung_up(int fd) {
    if (!g_exchange.in_step)
        return false;
    if (!g_hung_up) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 0) != 1 || !(p.revents & POLLHUP))
            return false;
        report_error(
            "ERROR: The serial port %s went away (hang-up): check the cable or USB adapter, "
            "then run the operation again\n",
            g_device);
        g_hung_up = true;
    }
    return true;
}

} // namespace

bool uart_stopped(int fd) {
    return g_interrupted != 0 || hung_up(fd);
}

int uart_recv(int *port, uint8_t *buf, uint32_t length, uint32_t timeout, bool report) {
    const uint32_t start = static_cast<uint32_t>(get_msec());
    if (length == 0)
        return 0;

    uint32_t remaining = length;
    uint8_t *pos = buf;
    for (;;) {
        if (g_interrupted != 0)
            return RECV_INTERRUPTED;
        const ssize_t n = read(*port, pos, remaining);
        const int err = errno;
        // A hung-up port reads as end of file (0) or EIO.
        if (n <= 0 && hung_up(*port))
            return RECV_HANGUP;
        if (n == -1) {
            report_error("%s(%d): ERROR: %s\n", SRC_NAME, LINE_RECV_FAILED, strerror(err));
            return -err;
        }
        pos += n;
        remaining -= static_cast<uint32_t>(n);
        // The limit is tested before completion: bytes that complete the
        // frame at or after the limit still count as a time-out.
        const uint32_t elapsed = msec_elapsed(start, static_cast<uint32_t>(get_msec()));
        if (elapsed >= timeout) {
            if (report)
                report_error("%s(%d): ERROR: timeout\n", SRC_NAME, LINE_TIMEOUT);
            return RECV_TIMEOUT;
        }
        if (remaining == 0)
            return 0;
#ifndef SYSCON_BUSY_POLL
        // Sleep until the port is readable or the time left is over (the busy
        // poll spins instead); the read and the limit test above decide. poll
        // waits at least the time left, so after a quiet time-out the next
        // clock reading is past the limit. Its result is not needed: a failed
        // or interrupted poll only means the next read comes sooner.
        pollfd ready{*port, POLLIN, 0};
        poll(&ready, 1, static_cast<int>(std::min<uint32_t>(timeout - elapsed, INT_MAX)));
#endif
    }
}

int uart_discard_input(int *port) {
    if (tcflush(*port, TCIFLUSH) == -1) {
        int err = errno;
        report_error("ERROR: Discard input: %s\n", strerror(err));
        return -err;
    }
    return 0;
}

uint32_t uart_quiet_ms(uint32_t bytes) {
    // 11 bits a byte: start, 8 data and 2 stop bits. Rate 0 and tiny rates
    // end at the ceiling; huge rates still leave the floor.
    const uint64_t wire_ms = g_uart_rate == 0
                                 ? QUIET_MAX_MS
                                 : (uint64_t{bytes} * 11 * 1000 + g_uart_rate - 1) / g_uart_rate;
    const uint64_t quiet = wire_ms + wire_ms / 4 + QUIET_MIN_MS;
    return quiet > QUIET_MAX_MS ? QUIET_MAX_MS : static_cast<uint32_t>(quiet);
}

int uart_wait_quiet(int *port, uint32_t quiet_ms) {
    const uint32_t start = static_cast<uint32_t>(get_msec());
    uint32_t last = start;
    for (;;) {
        if (g_interrupted != 0)
            return RECV_INTERRUPTED;
        const uint32_t now = static_cast<uint32_t>(get_msec());
        if (msec_elapsed(last, now) >= quiet_ms)
            return 0;
        if (msec_elapsed(start, now) >= QUIET_WAIT_LIMIT_MS) {
            report_error("ERROR: The line did not fall quiet within %u ms\n", QUIET_WAIT_LIMIT_MS);
            return RECV_TIMEOUT;
        }
        // Sleeps until a byte arrives or the quiet time is over; what arrives is dropped.
        pollfd pfd{*port, POLLIN, 0};
        const int ready = poll(&pfd, 1, static_cast<int>(quiet_ms - msec_elapsed(last, now)));
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready == -1) {
            int err = errno;
            report_error("ERROR: Wait for a quiet line: %s\n", strerror(err));
            return -err;
        }
        if (ready == 0)
            continue;
        uint8_t sink[256];
        const ssize_t n = read(*port, sink, sizeof sink);
        if (n <= 0 && hung_up(*port))
            return RECV_HANGUP;
        if (n == -1) {
            int err = errno;
            report_error("ERROR: Wait for a quiet line: %s\n", strerror(err));
            return -err;
        }
        if (n > 0)
            last = static_cast<uint32_t>(get_msec());
    }
}
