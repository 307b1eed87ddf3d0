#include "server.h"

#include "line.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <system_error>

namespace syscon_sim {

namespace {

using namespace std::chrono_literals;

// A partial frame is dropped after this much silence on the line.
constexpr auto kFrameGap = 50ms;
// How often a quiet line with a client on it is looked at.
constexpr auto kIdlePoll = 20ms;
// Pause after a hang-up seen on the master before its close event arrives.
constexpr auto kHangupPoll = 5ms;

int ms_until(Clock::time_point t) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(t - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

// The serving loop: reads the master, keeps the line's clock, and gives the
// device its Port.
class Loop final : public Port {
  public:
    Loop(const Config &config, Shared &shared, Trace &trace, int master, int inotify, int stop_fd)
        : config_(config), shared_(shared), trace_(trace), master_(master), inotify_(inotify),
          stop_fd_(stop_fd), device_(config, shared, *this, trace) {}

    void run();

    Clock::time_point now() const override { return std::max(device_time_, Clock::now()); }
    void send(std::span<const uint8_t> bytes) override;
    void busy(uint32_t ms) override;
    void turn(uint32_t ms) override;

  private:
    // Sleeps until `t`; false when asked to stop meanwhile.
    bool sleep_until(Clock::time_point t);
    bool wait_writable();
    void write_now(std::span<const uint8_t> bytes);
    void drain();
    void client_events();
    void check_line();
    void take(std::span<const uint8_t> bytes);
    Clock::duration byte_time() const;

    const Config &config_;
    Shared &shared_;
    Trace &trace_;
    const int master_;
    const int inotify_;
    const int stop_fd_;
    Device device_;

    bool stopped_ = false;
    int clients_ = 0; // descriptors of the slave open
    LineSettings line_;
    bool line_seen_ = false;
    bool understood_ = false;
    Clock::time_point device_time_{}; // arrival of the byte being handled
    Clock::time_point in_clock_{};    // when the last received byte finished crossing
    Clock::time_point out_clock_{};   // when the last sent byte finishes crossing
    Clock::time_point answered_{};    // when the device's last answer was out
};

Clock::duration Loop::byte_time() const {
    if (!config_.pace || line_.rate == 0)
        return Clock::duration::zero();
    return std::chrono::duration_cast<Clock::duration>(
        std::chrono::nanoseconds(11ull * 1'000'000'000ull / line_.rate));
}

bool Loop::sleep_until(Clock::time_point t) {
    while (!stopped_) {
        const auto now = Clock::now();
        if (now >= t)
            return true;
        const auto left = t - now;
        if (left < 2ms) {
            std::this_thread::sleep_for(left);
            continue;
        }
        struct pollfd p {
            stop_fd_, POLLIN, 0
        };
        if (::poll(&p, 1, ms_until(t) - 1) > 0)
            stopped_ = true;
    }
    return false;
}

bool Loop::wait_writable() {
    struct pollfd p[2] = {{master_, POLLOUT, 0}, {stop_fd_, POLLIN, 0}};
    if (::poll(p, 2, static_cast<int>(kIdlePoll.count())) > 0 && (p[1].revents & POLLIN))
        stopped_ = true;
    return !stopped_;
}

void Loop::write_now(std::span<const uint8_t> bytes) {
    while (!bytes.empty() && !stopped_) {
        const ssize_t n = ::write(master_, bytes.data(), bytes.size());
        if (n > 0) {
            {
                std::lock_guard lock(shared_.mutex);
                shared_.stats.bytes_out += static_cast<uint64_t>(n);
            }
            bytes = bytes.subspan(static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            wait_writable();
        } else {
            trace_.write(now(), "line", "write failed, response dropped");
            return;
        }
    }
}

// Paced, byte k is written when its last stop bit would have arrived: the
// sending starts at device time, after whatever is still on the line.
void Loop::send(std::span<const uint8_t> bytes) {
    const auto bt = byte_time();
    if (bt == Clock::duration::zero()) {
        write_now(bytes);
        answered_ = Clock::now();
        return;
    }
    const auto start = std::max(out_clock_, now());
    size_t done = 0;
    while (done < bytes.size()) {
        if (!sleep_until(start + bt * (done + 1)))
            return;
        const auto elapsed = Clock::now() - start;
        const size_t due = std::min<size_t>(bytes.size(), static_cast<size_t>(elapsed / bt));
        write_now(bytes.subspan(done, due - done));
        done = due;
    }
    out_clock_ = start + bt * bytes.size();
    answered_ = out_clock_;
}

void Loop::busy(uint32_t ms) {
    device_time_ = now() + std::chrono::milliseconds(ms);
    sleep_until(device_time_);
}

void Loop::turn(uint32_t ms) {
    const auto ready = answered_ + std::chrono::milliseconds(ms);
    if (ms != 0 && ready > now()) {
        device_time_ = ready;
        sleep_until(ready);
    }
}

void Loop::check_line() {
    const LineSettings line = read_line_settings(master_);
    if (line_seen_ && line == line_)
        return;
    line_ = line;
    line_seen_ = true;
    const std::string problem = line_problem(line, config_.expect_baud);
    understood_ = problem.empty();
    LineSettings at_its_rate = line;
    at_its_rate.rate = config_.expect_baud;
    device_.set_other_rate(!understood_ && line.rate != 0 &&
                           line_problem(at_its_rate, config_.expect_baud).empty());
    {
        std::lock_guard lock(shared_.mutex);
        shared_.stats.line = line;
    }
    trace_.write(now(), "line",
                 line.describe() +
                     (understood_ ? "" : ": device cannot understand (" + problem + ")"));
}

void Loop::take(std::span<const uint8_t> bytes) {
    {
        std::lock_guard lock(shared_.mutex);
        shared_.stats.bytes_in += bytes.size();
    }
    const auto bt = byte_time();
    const auto arrived = Clock::now();
    for (uint8_t b : bytes) {
        // Paced, a byte takes one byte time to cross, after the one before it
        // and after the moment it was read at the earliest.
        in_clock_ = bt == Clock::duration::zero() ? arrived : std::max(in_clock_, arrived) + bt;
        device_time_ = std::max(device_time_, in_clock_);
        device_.receive(b, understood_);
        if (stopped_)
            return;
    }
}

void Loop::drain() {
    uint8_t buf[4096];
    while (!stopped_) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0)
            return; // EAGAIN: nothing more now; EIO: nobody has the slave open
        check_line();
        take({buf, static_cast<size_t>(n)});
    }
}

// Clients opening and closing the slave, as inotify reports them.
void Loop::client_events() {
    alignas(struct inotify_event) char buf[4096];
    const ssize_t n = ::read(inotify_, buf, sizeof buf);
    for (ssize_t at = 0; at < n;) {
        const auto *e = reinterpret_cast<const struct inotify_event *>(buf + at);
        at += static_cast<ssize_t>(sizeof *e + e->len);
        if ((e->mask & IN_OPEN) && clients_++ == 0) {
            trace_.write(now(), "session", "client opened the port");
            line_seen_ = false;
        }
        if ((e->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) && clients_ > 0 && --clients_ == 0) {
            drain(); // what the client wrote before it went
            device_.drop_frame("client closed the port");
            {
                std::lock_guard lock(shared_.mutex);
                ++shared_.stats.sessions_closed;
            }
            trace_.write(now(), "session", "client closed the port");
        }
    }
}

void Loop::run() {
    while (!stopped_) {
        const auto frame_deadline = std::max(in_clock_, device_time_) + kFrameGap;
        int timeout = clients_ > 0 ? static_cast<int>(kIdlePoll.count()) : -1;
        if (device_.mid_frame())
            timeout = std::min(timeout < 0 ? INT32_MAX : timeout, ms_until(frame_deadline));
        struct pollfd p[3] = {
            {clients_ > 0 ? master_ : -1, POLLIN, 0}, {inotify_, POLLIN, 0}, {stop_fd_, POLLIN, 0}};
        if (::poll(p, 3, timeout) < 0 && errno != EINTR)
            throw std::system_error(errno, std::generic_category(), "poll");
        if (p[2].revents & POLLIN)
            break;
        if (p[0].revents & POLLIN)
            drain();
        if (p[1].revents & POLLIN)
            client_events();
        else if (p[0].revents & POLLHUP && !(p[0].revents & POLLIN))
            sleep_until(Clock::now() + kHangupPoll); // the close event is on its way
        if (p[0].revents || p[1].revents)
            continue;
        // Quiet line.
        if (clients_ > 0)
            check_line();
        if (device_.mid_frame() && Clock::now() >= frame_deadline)
            device_.drop_frame("silence in the middle of the frame");
        else if (!device_.mid_frame())
            device_.flush_junk();
    }
    stopped_ = true;
}

} // namespace

Server::Server(const Config &config, Shared &shared, Trace &trace)
    : pty_(open_pty(O_NONBLOCK | O_CLOEXEC)) {
    // Opens and closes of the slave come from inotify: a close followed at
    // once by the next client's open leaves no trace on the master.
    inotify_.reset(::inotify_init1(IN_CLOEXEC | IN_NONBLOCK));
    if (!inotify_ || ::inotify_add_watch(inotify_.get(), pty_.slave_path.c_str(),
                                         IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE) < 0)
        throw std::system_error(errno, std::generic_category(), "inotify on the slave");
    stop_fd_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!stop_fd_)
        throw std::system_error(errno, std::generic_category(), "eventfd");
    thread_ = std::thread([this, &config, &shared, &trace] {
        if (config.realtime) {
            // The serving thread only ever sleeps in poll between events, so a
            // real-time policy cannot starve the machine. Without the
            // privilege it keeps the normal policy.
            const sched_param param{sched_get_priority_min(SCHED_FIFO) + 10};
            const int rc = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
            trace.write(Clock::now(), "session",
                        rc == 0 ? "serving at SCHED_FIFO"
                                : "serving at the normal policy (no SCHED_FIFO)");
        }
        try {
            Loop(config, shared, trace, pty_.master.get(), inotify_.get(), stop_fd_.get()).run();
        } catch (const std::exception &e) {
            trace.write(Clock::now(), "error", e.what());
            std::fprintf(stderr, "syscon_sim: serving stopped: %s\n", e.what());
        }
    });
}

Server::~Server() {
    const uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(stop_fd_.get(), &one, sizeof one);
    thread_.join();
}

} // namespace syscon_sim
