// LD_PRELOAD shim: the wall clock that a program reads (time, gettimeofday,
// clock_gettime(CLOCK_REALTIME)) jumps an hour forwards 300 ms after the
// program starts, and 300 ms later to an hour behind the true time, as NTP
// steps a board's clock. The other clocks run on.
#include <ctime>
#include <dlfcn.h>
#include <sys/time.h>

namespace {

constexpr long long G = 1000000000; // nanoseconds a second

long long ns(clockid_t id) {
    static const auto real =
        reinterpret_cast<int (*)(clockid_t, timespec *)>(dlsym(RTLD_NEXT, "clock_gettime"));
    timespec ts{};
    real(id, &ts);
    return ts.tv_sec * G + ts.tv_nsec;
}

const long long g_start = ns(CLOCK_MONOTONIC);

long long wall_ns() {
    const long long period = 300000000, t = ns(CLOCK_MONOTONIC) - g_start;
    return ns(CLOCK_REALTIME) + (t < period ? 0 : t < 2 * period ? 3600 : -3600) * G;
}

} // namespace

extern "C" {

int clock_gettime(clockid_t id, timespec *ts) noexcept {
    const long long t = id == CLOCK_REALTIME ? wall_ns() : ns(id);
    *ts = {static_cast<time_t>(t / G), static_cast<long>(t % G)};
    return 0;
}

int gettimeofday(timeval *__restrict tv, void *__restrict) noexcept {
    const long long t = wall_ns();
    *tv = {static_cast<time_t>(t / G), static_cast<suseconds_t>(t % G / 1000)};
    return 0;
}

time_t time(time_t *out) noexcept {
    const time_t t = static_cast<time_t>(wall_ns() / G);
    return out ? (*out = t) : t;
}
}
