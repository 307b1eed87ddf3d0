// The serial link against a real pseudo-terminal: the tool's side is the
// slave, opened by uart_init; the test writes the SYSCON's bytes on the master.
#include "serial/uart.h"

#include "pty.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace testsupport;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

namespace {

class UartRecv : public ::testing::Test {
  protected:
    void SetUp() override {
        pty.hold_slave();
        ASSERT_EQ(uart_init(pty.slave_path().c_str(), 115200), 0);
    }
    void TearDown() override { uart_close(); }

    void send(const std::vector<uint8_t> &bytes) { write_all(pty.master(), bytes); }
    // Lets bytes written on the master reach the slave's input queue.
    static void settle() { std::this_thread::sleep_for(milliseconds(50)); }

    PtyPair pty;
    int *port = &g_uart_fd;
};

TEST_F(UartRecv, LengthZeroReturnsAtOnceAndReadsNothing) {
    send({0x41});
    settle();
    uint8_t buf[1] = {0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_recv(port, buf, 0, 0), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(uart_recv(port, buf, 1, 1000), 0);
    EXPECT_EQ(buf[0], 0x41);
}

TEST_F(UartRecv, NothingArrivingTimesOutAfterTheLimit) {
    uint8_t buf[4] = {9, 9, 9, 9};
    testing::internal::CaptureStderr();
    const auto t0 = Clock::now();
    EXPECT_EQ(uart_recv(port, buf, 4, 150), RECV_TIMEOUT);
    const auto waited = Clock::now() - t0;
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "update_syscon(285): ERROR: timeout\n");
    EXPECT_GE(waited, milliseconds(140));
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 4), std::vector<uint8_t>({9, 9, 9, 9}));
}

TEST_F(UartRecv, PiecesArrivingInSeveralReadsAreJoinedInOrder) {
    std::thread writer([&] {
        for (uint8_t piece = 0; piece < 4; ++piece) {
            std::this_thread::sleep_for(milliseconds(30));
            send({static_cast<uint8_t>(piece * 2), static_cast<uint8_t>(piece * 2 + 1)});
        }
    });
    uint8_t buf[8] = {};
    EXPECT_EQ(uart_recv(port, buf, 8, 3000), 0);
    writer.join();
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8), std::vector<uint8_t>({0, 1, 2, 3, 4, 5, 6, 7}));
}

TEST_F(UartRecv, TakesExactlyTheLengthAndLeavesTheRestQueued) {
    send({1, 2, 3, 4, 5});
    settle();
    uint8_t first[3] = {}, rest[2] = {};
    EXPECT_EQ(uart_recv(port, first, 3, 1000), 0);
    EXPECT_EQ(uart_recv(port, rest, 2, 1000), 0);
    EXPECT_EQ(std::vector<uint8_t>(first, first + 3), std::vector<uint8_t>({1, 2, 3}));
    EXPECT_EQ(std::vector<uint8_t>(rest, rest + 2), std::vector<uint8_t>({4, 5}));
}

TEST_F(UartRecv, LimitZeroTimesOutEvenWhenTheBytesAreThere) {
    send({7});
    settle();
    uint8_t buf[1] = {0};
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_recv(port, buf, 1, 0), RECV_TIMEOUT);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "update_syscon(285): ERROR: timeout\n");
    EXPECT_EQ(buf[0], 7); // stored, yet late
}

TEST_F(UartRecv, ControlBytesArriveAsData) {
    // No flow control and no CR/NL translation on the raw line.
    const std::vector<uint8_t> bytes{0x11, 0x13, 0x0D, 0x0A, 0x03, 0x7F, 0x00, 0xFF};
    send(bytes);
    uint8_t buf[8] = {};
    EXPECT_EQ(uart_recv(port, buf, 8, 1000), 0);
    EXPECT_EQ(std::vector<uint8_t>(buf, buf + 8), bytes);
}

TEST(UartInit, DiscardsWhatArrivedBeforeTheSetUp) {
    PtyPair pty;
    pty.hold_slave();
    write_all(pty.master(), {0xAA, 0xBB});
    std::this_thread::sleep_for(milliseconds(50));
    ASSERT_EQ(uart_init(pty.slave_path().c_str(), 38400), 0);
    write_all(pty.master(), {0x06});
    uint8_t b = 0;
    EXPECT_EQ(uart_recv(&g_uart_fd, &b, 1, 1000), 0);
    EXPECT_EQ(b, 0x06);
    uart_close();
    EXPECT_EQ(g_uart_fd, -1);
}

TEST(UartRecvError, ReadErrorReportsLine279AndNegatedErrno) {
    int closed = -1;
    uint8_t b = 0;
    testing::internal::CaptureStderr();
    EXPECT_EQ(uart_recv(&closed, &b, 1, 1000), -EBADF);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "update_syscon(279): ERROR: Bad file descriptor\n");
}

TEST(MillisecondClock, DifferenceSurvivesTheWrap) {
    static_assert(msec_elapsed(0xFFFFFFF0u, 0x00000010u) == 0x20);
    static_assert(msec_elapsed(5, 5) == 0);
    // A clock stepped back before the start reads as a huge wait: a time-out.
    static_assert(msec_elapsed(1000, 999) == 0xFFFFFFFFu);
    const uint32_t a = static_cast<uint32_t>(get_msec());
    std::this_thread::sleep_for(milliseconds(20));
    const uint32_t b = static_cast<uint32_t>(get_msec());
    EXPECT_GE(msec_elapsed(a, b), 15u);
    EXPECT_LT(msec_elapsed(a, b), 5000u);
}

TEST(RateTable, StandardRatesByNameAndEveryOtherRateCustom) {
    const struct {
        uint32_t rate;
        std::optional<speed_t> speed;
    } cases[] = {
        {0, B0},         {50, B50},         {134, B134},       {9600, B9600},    {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, {}},     {921600, {}},
        {250000, {}},    {1, {}},           {115201, {}},      {0xFFFFFFFF, {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(standard_speed(c.rate), c.speed) << c.rate;
}

} // namespace
