// This file talks to the kernel's termios2 interface, so it includes the
// kernel's termbits and not the C library's <termios.h>.
#include "pty.h"

#include <asm/termbits.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>

namespace testsupport {

PtyPair::PtyPair() {
    master_.reset(posix_openpt(O_RDWR | O_NOCTTY));
    if (!master_ || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) {
        perror("posix_openpt");
        std::abort();
    }
    char name[128];
    if (ptsname_r(master_.get(), name, sizeof name) != 0) {
        perror("ptsname_r");
        std::abort();
    }
    slave_path_ = name;
}

void PtyPair::hold_slave() {
    slave_hold_.reset(::open(slave_path_.c_str(), O_RDWR | O_NOCTTY));
}

uint32_t LineState::speed_code() const {
    return cflag & CBAUD;
}
bool LineState::custom_speed() const {
    return speed_code() == BOTHER;
}

LineState read_line_state(int fd) {
    struct termios2 t2 {};
    if (ioctl(fd, TCGETS2, &t2) != 0)
        throw std::runtime_error("TCGETS2 failed");
    LineState s;
    s.iflag = t2.c_iflag;
    s.oflag = t2.c_oflag;
    s.cflag = t2.c_cflag;
    s.lflag = t2.c_lflag;
    s.line = t2.c_line;
    for (size_t i = 0; i < s.cc.size() && i < sizeof t2.c_cc; ++i)
        s.cc[i] = t2.c_cc[i];
    s.ispeed = t2.c_ispeed;
    s.ospeed = t2.c_ospeed;
    return s;
}

UniqueFd open_raw_port(const std::string &path, uint32_t rate) {
    UniqueFd fd(::open(path.c_str(), O_RDWR | O_NOCTTY));
    if (!fd)
        throw std::runtime_error("cannot open " + path);
    struct termios2 t2 {};
    t2.c_iflag = IGNPAR;
    t2.c_cflag = CS8 | CSTOPB | CREAD | CLOCAL | BOTHER;
    t2.c_ospeed = rate;
    t2.c_ispeed = rate;
    if (ioctl(fd.get(), TCSETS2, &t2) != 0)
        throw std::runtime_error("TCSETS2 failed on " + path);
    return fd;
}

void write_all(int fd, const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            throw std::runtime_error("write failed");
        }
        done += static_cast<size_t>(n);
    }
}

std::vector<uint8_t> read_some(int fd, size_t count, int timeout_ms) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<uint8_t> out;
    while (out.size() < count) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0)
            break;
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        if (!(p.revents & POLLIN))
            break;
        uint8_t buf[4096];
        const size_t want = std::min(sizeof buf, count - out.size());
        const ssize_t n = ::read(fd, buf, want);
        if (n <= 0)
            break;
        out.insert(out.end(), buf, buf + n);
    }
    return out;
}

std::vector<std::vector<uint8_t>> frames_with_code(const std::vector<std::vector<uint8_t>> &frames,
                                                   const std::string &code) {
    std::vector<std::vector<uint8_t>> out;
    for (const auto &f : frames)
        if (f.size() >= 4 && std::string(f.begin() + 1, f.begin() + 4) == code)
            out.push_back(f);
    return out;
}

std::string hex(const std::vector<uint8_t> &bytes) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        s += b;
    }
    return s;
}

} // namespace testsupport
