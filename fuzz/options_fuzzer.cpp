// Fuzzes the command line: random argv vectors through the tool's own main,
// whose exit() returns here instead, with a serial layer that opens nothing
// (defined below, so the library's is never linked). The only ways out are
// help (0), an option error (1) and the failed port set-up (1).
//
// Input: the arguments, argv[0] first, separated by zero bytes.
#include "options.h"
#include "rom/rom.h"
#include "serial/uart.h"

#include <csetjmp>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {
std::jmp_buf g_exit_jump;
int g_exit_status;
bool g_init_called;
} // namespace

[[noreturn]] static void fuzz_exit(int status) {
    g_exit_status = status;
    std::longjmp(g_exit_jump, 1);
}

#define exit fuzz_exit
#define main update_syscon_main
#include "update_syscon.cpp"
#undef main
#undef exit

// The serial layer that opens nothing: uart_init fails, so nothing is received.
int g_uart_fd = -1;
volatile sig_atomic_t g_interrupted = 0;
bool g_stop_on_hangup = false;
bool uart_stopped(int) {
    return false;
}
std::optional<speed_t> standard_speed(uint32_t) {
    return std::nullopt;
}
int uart_init(const char *, uint32_t) {
    g_init_called = true;
    return -2; // as for a port that cannot be opened
}
void uart_close() {}
int get_msec() {
    return 0;
}
int uart_recv(int *, uint8_t *, uint32_t, uint32_t, bool) {
    abort();
}
uint32_t g_uart_rate = 0;
int uart_discard_input(int *) {
    abort();
}
uint32_t uart_quiet_ms(uint32_t) {
    abort();
}
int uart_wait_quiet(int *, uint32_t) {
    abort();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Each argument in a heap block of its own, so that ASan sees reads past one.
    std::vector<std::unique_ptr<char[]>> args;
    std::vector<char *> argv;
    for (size_t i = 0; i < size && argv.size() < 64;) {
        const size_t len = strnlen(reinterpret_cast<const char *>(data + i), size - i);
        args.push_back(std::make_unique<char[]>(len + 1));
        memcpy(args.back().get(), data + i, len);
        argv.push_back(args.back().get());
        i += len + 1;
    }
    argv.push_back(nullptr);

    optind = 0; // a fresh process: getopt's state, the skip area
    g_skip_addr = 0;
    g_skip_size = 0;
    g_init_called = false;
    if (setjmp(g_exit_jump) == 0) {
        update_syscon_main(static_cast<int>(argv.size() - 1), argv.data());
        abort(); // main always ends in exit()
    }
    if (g_exit_status != 1 && (g_exit_status != 0 || g_init_called))
        abort();
    return 0;
}
