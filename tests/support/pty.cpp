// This file talks to the kernel's termios2 interface, so it includes the
// kernel's termbits and not the C library's <termios.h>.
#include "pty.h"

#include <algorithm>
#include <asm/termbits.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>

namespace testsupport {

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
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            throw std::runtime_error("write failed");
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

std::vector<uint8_t> read_some(int fd, size_t count, int timeout_ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::vector<uint8_t> out;
    uint8_t buf[4096];
    for (struct pollfd p{fd, POLLIN, 0}; out.size() < count;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) < 0)
            break;
        const ssize_t n = p.revents ? ::read(fd, buf, std::min(sizeof buf, count - out.size())) : 0;
        if (p.revents && n <= 0)
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
