// The line: settings the device does not understand, client sessions, and
// pacing at the client's rate.
#include "sim_fixture.h"

#include <asm/termbits.h>
#include <chrono>
#include <sys/ioctl.h>
#include <thread>

using namespace simtest;
using syscon_sim::Config;
using testsupport::hex;

namespace {

const char kDevOneReply[] = "06 02 24 57 50 3A 44 45 56 3A 01 03";

// Changes the client's settings from raw 8N2.
void adjust(int fd, uint32_t clear_cflag, uint32_t set_cflag, uint32_t lflag = 0,
            uint32_t rate = 0) {
    struct termios2 t {};
    ASSERT_EQ(ioctl(fd, TCGETS2, &t), 0);
    t.c_cflag = (t.c_cflag & ~clear_cflag) | set_cflag;
    t.c_lflag |= lflag;
    if (rate) {
        t.c_cflag = (t.c_cflag & ~CBAUD) | BOTHER;
        t.c_ospeed = t.c_ispeed = rate;
    }
    ASSERT_EQ(ioctl(fd, TCSETS2, &t), 0);
}

// A pseudo-terminal always keeps 8 data bits and no parity, so only stop
// bits, raw mode and the rate can be got wrong through one.
TEST_F(SimTest, SettingsTheDeviceCannotReadGetNoAnswer) {
    struct Case {
        const char *what;
        uint32_t clear_cflag, set_cflag, lflag, rate;
    };
    const Case cases[] = {
        {"one stop bit", CSTOPB, 0, 0, 0},
        {"canonical with echo", 0, 0, ICANON | ECHO, 0},
        {"another rate than the device's", 0, 0, 0, 9600},
    };
    Config config;
    config.expect_baud = 115200;
    start(config);
    EXPECT_EQ(hex(client->exchange(dev_frame(1), 12)), kDevOneReply);
    int ignored = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Client bad(sim->slave_path());
        adjust(bad.fd(), c.clear_cflag, c.set_cflag, c.lflag, c.rate);
        bad.send(dev_frame(0));
        EXPECT_TRUE(bad.silent_for(300));
        EXPECT_EQ(sim->ignored_frames(), ++ignored);
        EXPECT_EQ(sim->selected_device(), 1);
    }
    // Settings belong to the terminal, not to one descriptor: putting it back
    // to raw 8N2 makes the first client understood again.
    Client good(sim->slave_path());
    EXPECT_EQ(hex(client->exchange(dev_frame(1), 12)), kDevOneReply);
    EXPECT_EQ(sim->requests("DEV"), 2);
}

TEST_F(SimTest, ReportsTheLineSettingsLastSeen) {
    start({}, 250000);
    client->exchange(dev_frame(1), 12);
    auto line = sim->line_settings();
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->data_bits, 8);
    EXPECT_EQ(line->stop_bits, 2);
    EXPECT_EQ(line->parity, 'N');
    EXPECT_TRUE(line->raw);
    EXPECT_EQ(line->rate, 250000u);
    EXPECT_TRUE(line->custom_speed);

    adjust(client->fd(), CSTOPB | CBAUD, B38400);
    client->send(dev_frame(1));
    EXPECT_TRUE(client->silent_for(200));
    line = sim->line_settings();
    ASSERT_TRUE(line.has_value());
    EXPECT_EQ(line->stop_bits, 1);
    EXPECT_EQ(line->rate, 38400u);
    EXPECT_FALSE(line->custom_speed);
    EXPECT_EQ(line->describe(), "8N1 raw 38400");
}

TEST(SimLine, ProblemsAreNamed) {
    syscon_sim::LineSettings line;
    line.rate = 115200;
    EXPECT_EQ(syscon_sim::line_problem(line, 0), "");
    EXPECT_EQ(syscon_sim::line_problem(line, 115200), "");
    EXPECT_EQ(syscon_sim::line_problem(line, 38400), "rate 115200, device runs at 38400");
    line.rate = 0;
    EXPECT_EQ(syscon_sim::line_problem(line, 0), "rate 0 (line hung up)");
    line.rate = 9600;
    line.stop_bits = 1;
    line.parity = 'E';
    line.data_bits = 7;
    line.raw = false;
    EXPECT_EQ(syscon_sim::line_problem(line, 0), "7 data bits, parity E, 1 stop bit, not raw");
}

TEST_F(SimTest, ServesOneClientAfterAnotherAndKeepsDeviceState) {
    start();
    select(1, 1024);
    sim->write_flash(1, 0x100000, Bytes(1024, 0x42));
    // A frame cut off by the client's close does not swallow the next client's.
    client->send({0x02, 'R', 'D', 'T', ':', 0x00});
    EXPECT_EQ(hex(client->recv(1)), "06");
    client.reset();
    // A real device never sees the close; this one drops the cut-off frame
    // once it has seen it.
    for (int i = 0; i < 500 && sim->sessions_closed() < 1; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (int session = 0; session < 3; ++session) {
        SCOPED_TRACE(session);
        Client next(sim->slave_path());
        EXPECT_EQ(next.exchange(rdt_frame(0x100000), 1040),
                  cat({{0x06}, rdt_response(Bytes(1024, 0x42))}));
    }
    // The simulator polls the line; give it time to notice the last close.
    for (int i = 0; i < 500 && sim->sessions_closed() < 4; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(sim->sessions_opened(), 4);
    EXPECT_EQ(sim->sessions_closed(), 4);
    EXPECT_EQ(sim->requests("RDT"), 4);
}

using Seconds = std::chrono::duration<double>;

// Time from the first request byte written to the last response byte read.
Seconds timed_exchange(Client &client, const Bytes &request, size_t reply_bytes, Bytes &reply) {
    const auto t0 = std::chrono::steady_clock::now();
    client.send(request);
    reply = client.recv(reply_bytes, 10000);
    return std::chrono::steady_clock::now() - t0;
}

TEST_F(SimTest, PacedWriteTakesTheLineTimeOfEveryByte) {
    Config config;
    config.pace = true;
    start(config, 115200);
    select(0);
    Bytes reply;
    const Seconds took = timed_exchange(*client, wdt_frame(0x3000, Bytes(4096, 0x00)), 12, reply);
    EXPECT_EQ(hex(reply), "06 02 24 57 50 3A 57 44 54 3A 00 03");
    // 4110 request bytes, then 11 response bytes; the ACK crosses the other
    // way while the request is still arriving.
    EXPECT_GE(took.count(), 4121 * 11 / 115200.0);
}

TEST_F(SimTest, PacedWriteWithAckAfterFrameTakesRequestAckAndResponse) {
    Config config;
    config.pace = true;
    config.ack_after_frame = true;
    start(config, 115200);
    select(0);
    Bytes reply;
    const Seconds took = timed_exchange(*client, wdt_frame(0x3000, Bytes(4096, 0x00)), 12, reply);
    EXPECT_EQ(hex(reply), "06 02 24 57 50 3A 57 44 54 3A 00 03");
    EXPECT_GE(took.count(), 4122 * 11 / 115200.0); // about 0.39 s
}

TEST_F(SimTest, PacedReadAndProgramTimeAddUp) {
    Config config;
    config.pace = true;
    config.program_ms_per_block = 150;
    start(config, 230400);
    select(0);
    Bytes reply;
    Seconds took = timed_exchange(*client, rdt_frame(0), 4112, reply);
    EXPECT_EQ(reply, cat({{0x06}, rdt_response(Bytes(4096, 0xFF))}));
    EXPECT_GE(took.count(), (13 + 4111) * 11 / 230400.0);
    took = timed_exchange(*client, wdt_frame(0, Bytes(4096, 0x00)), 12, reply);
    EXPECT_EQ(reply.size(), 12u);
    EXPECT_GE(took.count(), (4110 + 11) * 11 / 230400.0 + 0.150);
}

TEST_F(SimTest, EraseTimeGrowsWithTheRange) {
    Config config;
    config.erase_ms_per_block = 20;
    start(config);
    select(0, 1024);
    Bytes reply;
    // 0x18000 bytes are 96 blocks of 1024 bytes: at least 1.92 s.
    const Seconds took = timed_exchange(*client, ers_frame(0x1E8000, 0x18000), 12, reply);
    EXPECT_EQ(hex(reply), "06 02 24 57 50 3A 45 52 53 3A 00 03");
    EXPECT_GE(took.count(), 1.92);
}

} // namespace
