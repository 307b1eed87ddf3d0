// Fuzzes the command line: random argv vectors through the tool's own front
// end, serial layer included. Every device named with -d is replaced by a path
// that cannot be opened, so nothing is ever sent: the only ways out are help
// (0), an option error (1), the failed port set-up (1) and a careful
// operation's refusal of its -s or -b, found before the port (11).
//
// Input: the arguments, argv[0] first, separated by zero bytes.
#include "rom/rom.h"
#include "update_syscon.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char *k_no_port = "/nonexistent/ttySYSCON";

// -d DEVICE and -dDEVICE; -h is the only option without an argument, and it
// ends the parse, so no other cluster can hold a d that names a device.
void keep_off_devices(std::vector<std::string> &args) {
    for (size_t i = 1; i < args.size(); ++i) {
        if (args[i] == "-d" && i + 1 < args.size())
            args[i + 1] = k_no_port;
        else if (args[i].starts_with("-d") && args[i].size() > 2)
            args[i] = std::string("-d") + k_no_port;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words;
    for (size_t i = 0; i < size && words.size() < 64;) {
        const size_t len = strnlen(reinterpret_cast<const char *>(data + i), size - i);
        words.emplace_back(reinterpret_cast<const char *>(data + i), len);
        i += len + 1;
    }
    keep_off_devices(words);
    // Each argument in a heap block of its own, so that ASan sees reads past one.
    std::vector<std::unique_ptr<char[]>> args;
    std::vector<char *> argv;
    for (const std::string &w : words) {
        args.push_back(std::make_unique<char[]>(w.size() + 1));
        memcpy(args.back().get(), w.c_str(), w.size() + 1);
        argv.push_back(args.back().get());
    }
    argv.push_back(nullptr);

    optind = 0; // a fresh process: getopt's state, the skip area
    g_skip_addr = 0;
    g_skip_size = 0;
    const int status = update_syscon_main(static_cast<int>(argv.size() - 1), argv.data());
    if (status != 0 && status != 1 && status != 11)
        abort();
    return 0;
}
