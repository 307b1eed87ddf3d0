#include "fake_uart.h"

#include "serial/uart.h"

#include <cstdio>
#include <cstdlib>

int g_uart_fd = -1;
uint32_t g_uart_rate = 0;

namespace fake_uart {
bool g_init_called = false;
const char *g_device = nullptr;
uint32_t g_rate = 0;
} // namespace fake_uart

std::optional<speed_t> standard_speed(uint32_t) {
    return std::nullopt;
}

// Fails like a port that cannot be opened, without touching any file.
int uart_init(const char *device, uint32_t rate) {
    fake_uart::g_init_called = true;
    fake_uart::g_device = device;
    fake_uart::g_rate = rate;
    return -2;
}

void uart_close() {
    g_uart_fd = -1;
}

int get_msec() {
    return 0;
}

// The front end never reaches a receive: uart_init always fails.
int uart_recv(int *, uint8_t *, uint32_t, uint32_t) {
    abort();
}

// Nor does it reach the discard and quiet-line primitives of verify.
int uart_discard_input(int *) {
    abort();
}

uint32_t uart_quiet_ms(uint32_t) {
    abort();
}

int uart_wait_quiet(int *, uint32_t) {
    abort();
}
