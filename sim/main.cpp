// syscon_sim: serves a simulated SYSCON on a pseudo-terminal until SIGINT or
// SIGTERM, or with --once until the first client closes the port.
#include "options.h"
#include "simulator.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using syscon_sim::Config;
using syscon_sim::ProgramOptions;
using syscon_sim::Simulator;

// Points `link` at `target`, replacing whatever is there, in one rename.
void make_link(const std::string &target, const std::string &link) {
    const std::string tmp = link + ".syscon_sim." + std::to_string(::getpid());
    ::unlink(tmp.c_str());
    if (::symlink(target.c_str(), tmp.c_str()) != 0 || ::rename(tmp.c_str(), link.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw std::runtime_error("cannot link " + link + ": " + std::strerror(err));
    }
}

// Removes `link` if it still points at `target`.
void remove_link(const std::string &target, const std::string &link) {
    char buf[4096];
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n >= 0 && std::string(buf, static_cast<size_t>(n)) == target)
        ::unlink(link.c_str());
}

int serve(const ProgramOptions &opt) {
    // The serving thread inherits this mask; the signals are taken here only.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    // Nothing here reads the frames: stats(), polled for --once, stays cheap.
    Config config = opt.config;
    config.keep_frames = false;
    Simulator sim(config);
    for (const auto &[area, file] : opt.loads)
        sim.load_area(area, file);
    for (const auto &fault : opt.faults)
        sim.add_fault(fault);
    sim.start();
    if (!opt.link.empty())
        make_link(sim.slave_path(), opt.link);
    std::printf("%s\n", sim.slave_path().c_str());
    std::fflush(stdout);

    const struct timespec tick { 0, 50'000'000 };
    while (sigtimedwait(&stop_signals, nullptr, &tick) < 0) {
        if (opt.once && sim.stats().sessions_closed > 0)
            break;
    }

    sim.stop();
    int status = 0;
    for (const auto &[area, file] : opt.saves) {
        try {
            sim.save_area(area, file);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "syscon_sim: %s\n", e.what());
            status = 1;
        }
    }
    if (opt.config.trace_path != "-")
        std::fprintf(stderr, "syscon_sim: %s\n", sim.summary().c_str());
    if (!opt.link.empty())
        remove_link(sim.slave_path(), opt.link);
    return status;
}

} // namespace

int main(int argc, char **argv) {
    ProgramOptions opt;
    try {
        opt = syscon_sim::parse_command_line(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const syscon_sim::UsageError &e) {
        std::fprintf(stderr, "syscon_sim: %s\nTry 'syscon_sim --help'.\n", e.what());
        return 2;
    }
    if (opt.help) {
        std::fputs(syscon_sim::usage().c_str(), stdout);
        return 0;
    }
    try {
        return serve(opt);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "syscon_sim: %s\n", e.what());
        return 1;
    }
}
