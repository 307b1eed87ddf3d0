// bench_client: the least a client can do for a block transfer, to measure
// what the line and the simulator leave over for update_syscon.
//
//   bench_client DEVICE RATE read|write DEVICE_ID START SIZE BLOCK [IMAGE]
//
// Sets the port to raw 8N2 at RATE, selects the flash device and the block
// size, then reads the area (RDT per block) or erases and programs it from
// IMAGE (ERS once, WDT per block), one exchange at a time. It waits in poll()
// instead of polling the port, checks only the ACK byte, the response length
// and its ETX, prints nothing and keeps nothing. Exits 0 when every exchange
// was answered, 1 when one was not (with a message), 2 on a usage error.
#include <asm/termbits.h>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint8_t STX = 0x02, ETX = 0x03, ACK = 0x06;
constexpr int kAckLimitMs = 100;
constexpr int kResponseLimitMs = 3000;
constexpr int kEraseLimitMs = 60000;

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class Port {
  public:
    Port(const char *path, uint32_t rate) : fd_(::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK)) {
        if (fd_ < 0)
            throw Failure(std::string("open ") + path + ": " + std::strerror(errno));
        struct termios2 t {};
        t.c_iflag = IGNPAR;
        t.c_cflag = CS8 | CSTOPB | CREAD | CLOCAL | BOTHER;
        t.c_ispeed = rate;
        t.c_ospeed = rate;
        if (ioctl(fd_, TCSETS2, &t) != 0)
            throw Failure(std::string("TCSETS2: ") + std::strerror(errno));
    }
    ~Port() { ::close(fd_); }
    Port(const Port &) = delete;
    Port &operator=(const Port &) = delete;

    void send(const std::vector<uint8_t> &frame) {
        size_t done = 0;
        while (done < frame.size()) {
            const ssize_t n = ::write(fd_, frame.data() + done, frame.size() - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
            } else if (n < 0 && errno == EAGAIN) {
                struct pollfd p {
                    fd_, POLLOUT, 0
                };
                ::poll(&p, 1, kAckLimitMs);
            } else {
                throw Failure(std::string("write: ") + std::strerror(errno));
            }
        }
    }

    // Receives exactly `count` bytes within `limit_ms`.
    void receive(uint8_t *buf, size_t count, int limit_ms) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + std::chrono::milliseconds(limit_ms);
        size_t done = 0;
        while (done < count) {
            const ssize_t n = ::read(fd_, buf + done, count - done);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno != EAGAIN)
                throw Failure(std::string("read: ") + std::strerror(errno));
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                    .count();
            if (left < 0)
                throw Failure("time limit passed");
            struct pollfd p {
                fd_, POLLIN, 0
            };
            ::poll(&p, 1, static_cast<int>(left) + 1);
        }
    }

  private:
    int fd_;
};

void put32(std::vector<uint8_t> &f, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        f.push_back(static_cast<uint8_t>(v >> shift));
}

uint16_t sum16(const uint8_t *p, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i)
        s += p[i];
    return static_cast<uint16_t>(s);
}

std::vector<uint8_t> frame(const char *code) {
    return {STX, static_cast<uint8_t>(code[0]), static_cast<uint8_t>(code[1]),
            static_cast<uint8_t>(code[2])};
}

void finish(std::vector<uint8_t> &f, uint16_t sum) {
    f.push_back(':');
    f.push_back(static_cast<uint8_t>(sum >> 8));
    f.push_back(static_cast<uint8_t>(sum));
    f.push_back(ETX);
}

std::vector<uint8_t> g_response;

void exchange(Port &port, const std::vector<uint8_t> &request, size_t response_length,
              int limit_ms) {
    port.send(request);
    uint8_t ack = 0;
    port.receive(&ack, 1, kAckLimitMs);
    if (ack != ACK)
        throw Failure("no ACK");
    g_response.resize(response_length);
    port.receive(g_response.data(), response_length, limit_ms);
    if (g_response[0] != STX || g_response.back() != ETX)
        throw Failure("malformed response");
}

uint32_t number(const char *text) {
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 0));
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 8 || (std::strcmp(argv[3], "write") == 0 && argc < 9)) {
        std::fprintf(stderr, "usage: bench_client DEVICE RATE read|write DEVICE_ID START SIZE "
                             "BLOCK [IMAGE]\n");
        return 2;
    }
    const bool write = std::strcmp(argv[3], "write") == 0;
    const uint32_t device = number(argv[4]), start = number(argv[5]), size = number(argv[6]),
                   block = number(argv[7]);
    try {
        std::vector<uint8_t> image;
        if (write) {
            std::ifstream in(argv[8], std::ios::binary);
            image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            if (image.size() < size)
                throw Failure("image shorter than the area");
        }
        Port port(argv[1], number(argv[2]));

        std::vector<uint8_t> f = frame("DEV");
        f.push_back(':');
        f.push_back(static_cast<uint8_t>(device));
        f.push_back(ETX);
        exchange(port, f, 11, kResponseLimitMs);
        f = frame("SIZ");
        f.push_back(':');
        put32(f, block);
        f.push_back(ETX);
        exchange(port, f, 14, kResponseLimitMs);

        if (write) {
            f = frame("ERS");
            std::vector<uint8_t> fields;
            put32(fields, start);
            put32(fields, size);
            f.push_back(':');
            f.insert(f.end(), fields.begin(), fields.begin() + 4);
            f.push_back(':');
            f.insert(f.end(), fields.begin() + 4, fields.end());
            finish(f, sum16(fields.data(), fields.size()));
            exchange(port, f, 11, kEraseLimitMs);
        }
        for (uint32_t address = start; address < start + size; address += block) {
            f = frame(write ? "WDT" : "RDT");
            f.push_back(':');
            put32(f, address);
            uint16_t sum = sum16(f.data() + 5, 4);
            if (write) {
                const uint8_t *data = image.data() + (address - start);
                f.push_back(':');
                f.insert(f.end(), data, data + block);
                sum = static_cast<uint16_t>(sum + sum16(data, block));
            }
            finish(f, sum);
            exchange(port, f, write ? 11 : block + 15, kResponseLimitMs);
        }
    } catch (const Failure &e) {
        std::fprintf(stderr, "bench_client: %s\n", e.what());
        return 1;
    }
    return 0;
}
