// Fuzzes the command line: random argv vectors through the tool's own main,
// with the port set-up replaced (fake_uart.cpp) so that nothing is opened.
// main ends in exit(); here exit() returns to the fuzz target instead.
//
// Input: the arguments, argv[0] first, separated by zero bytes.
#include "fake_uart.h"
#include "options.h"
#include "rom/rom.h"
#include "serial/uart.h"

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libgen.h>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {
std::jmp_buf g_exit_jump;
int g_exit_status;
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Split into arguments; at most 64 of them, like a long command line.
    std::vector<std::string> args;
    std::string cur;
    for (size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == 0) {
            args.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    if (args.size() < 64 && !cur.empty())
        args.push_back(cur);

    // Each argument in a heap block of its own, so that reading past one is caught.
    std::vector<std::unique_ptr<char[]>> storage;
    std::vector<char *> argv;
    for (const std::string &a : args) {
        storage.push_back(std::make_unique<char[]>(a.size() + 1));
        memcpy(storage.back().get(), a.c_str(), a.size() + 1);
        argv.push_back(storage.back().get());
    }
    std::vector<char *> original = argv; // getopt permutes argv, not the strings
    argv.push_back(nullptr);

    // A fresh process: getopt's state, the skip area and the fake port.
    optind = 0;
    g_skip_addr = 0;
    g_skip_size = 0;
    fake_uart::g_init_called = false;
    fake_uart::g_device = nullptr;
    g_exit_status = -1000;

    if (setjmp(g_exit_jump) == 0) {
        update_syscon_main(static_cast<int>(args.size()), argv.data());
        abort(); // main always ends in exit()
    }

    // The only ways out: help (0), an option error (1) or the failed port set-up (1).
    if (g_exit_status != 0 && g_exit_status != 1)
        abort();
    if (fake_uart::g_init_called) {
        if (g_exit_status != 1)
            abort();
        // The device is one of the arguments, or none.
        const char *d = fake_uart::g_device;
        bool found = d == nullptr;
        for (const char *a : original)
            found = found || (d >= a && d <= a + strlen(a));
        if (!found)
            abort();
    }
    return 0;
}
