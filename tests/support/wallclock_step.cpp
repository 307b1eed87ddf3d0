// LD_PRELOAD shim: the wall clock that a program reads (time, gettimeofday,
// clock_gettime(CLOCK_REALTIME)) jumps an hour forwards WALLCLOCK_STEP_MS
// after the program starts, and twice that after it to an hour behind the
// true time, as NTP steps a board's clock. The monotonic clock runs on.
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <sys/time.h>

namespace {

using ClockGettime = int (*)(clockid_t, timespec *);

int real_clock_gettime(clockid_t id, timespec *ts) {
    static const auto real = reinterpret_cast<ClockGettime>(dlsym(RTLD_NEXT, "clock_gettime"));
    return real(id, ts);
}

long long ns(clockid_t id) {
    timespec ts{};
    real_clock_gettime(id, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

const long long g_start = ns(CLOCK_MONOTONIC);

long long wall_ns() {
    const char *step = std::getenv("WALLCLOCK_STEP_MS");
    const long long period = (step ? std::atoll(step) : 300) * 1000000LL;
    const long long t = ns(CLOCK_MONOTONIC) - g_start, hour = 3600LL * 1000000000LL;
    return ns(CLOCK_REALTIME) + (t < period ? 0 : t < 2 * period ? hour : -hour);
}

} // namespace

extern "C" {

int clock_gettime(clockid_t id, timespec *ts) noexcept {
    if (id != CLOCK_REALTIME)
        return real_clock_gettime(id, ts);
    const long long t = wall_ns();
    ts->tv_sec = static_cast<time_t>(t / 1000000000LL);
    ts->tv_nsec = static_cast<long>(t % 1000000000LL);
    return 0;
}

int gettimeofday(timeval *__restrict tv, void *__restrict) noexcept {
    const long long t = wall_ns();
    tv->tv_sec = static_cast<time_t>(t / 1000000000LL);
    tv->tv_usec = static_cast<suseconds_t>(t % 1000000000LL / 1000);
    return 0;
}

time_t time(time_t *out) noexcept {
    const time_t t = static_cast<time_t>(wall_ns() / 1000000000LL);
    if (out)
        *out = t;
    return t;
}
}
