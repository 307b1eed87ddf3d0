// The serial layer of the options fuzzer: records what the front end asks
// for and opens nothing.
#pragma once

#include <csetjmp>
#include <cstdint>

namespace fake_uart {

// Set by uart_init, which then fails, so that the front end ends there.
extern bool g_init_called;
extern const char *g_device;
extern uint32_t g_rate;

} // namespace fake_uart
