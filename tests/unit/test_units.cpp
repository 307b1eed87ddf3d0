// The tool's pure logic and its serial primitives: sums, request frames,
// the response parser, option parsing, and the timed receive on a real
// pseudo-terminal (the tool's side is the slave; the test writes the master).
#include "options.h"
#include "protocol/protocol.h"
#include "rom/rom.h"
#include "serial/events.h"
#include "serial/uart.h"

#include "pty.h"

#include <csignal>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <thread>

using namespace testsupport;
using Bytes = std::vector<uint8_t>;

namespace {

std::string captured(const std::function<void()> &f) {
    testing::internal::CaptureStderr();
    f();
    return testing::internal::GetCapturedStderr();
}

TEST(Frames, SumsAndEveryRequestByteForByte) {
    EXPECT_EQ(calc_sum(reinterpret_cast<const uint8_t *>("abc"), 3), 0x0126);
    EXPECT_EQ(calc_sum(Bytes(258, 0xFF).data(), 258), 0x00FE); // 65790 modulo 65536
    const Bytes odd{0x02, 0x03, 0x3A}; // framing bytes inside data go out as they are
    const Bytes full(4096, 0x10);      // its data alone sum to 0x10000
    const struct {
        CmdRequest req;
        std::string hex;
    } cases[] = {
        {{CMD_N_IRV, 0, 0, 0, nullptr}, "02 49 52 56 03"},
        {{CMD_N_DEV, 0, 0, 1, nullptr}, "02 44 45 56 3A 01 03"},
        {{CMD_N_SIZ, 0, 4096, 0, nullptr}, "02 53 49 5A 3A 00 00 10 00 03"},
        {{CMD_N_ERS, 0x1E8000, 0x18000, 0, nullptr},
         "02 45 52 53 3A 00 1E 80 00 3A 00 01 80 00 3A 01 1F 03"},
        {{CMD_N_RDT, 0x100000, 0, 0, nullptr}, "02 52 44 54 3A 00 10 00 00 3A 00 10 03"},
        {{CMD_N_WDT, 0x1E8000, 0, 0, nullptr}, "02 57 44 54 3A 00 1E 80 00 3A 3A 00 9E 03"},
        {{CMD_N_WDT, 0x01020304, 3, 0, odd.data()},
         "02 57 44 54 3A 01 02 03 04 3A 02 03 3A 3A 00 49 03"},
    };
    for (const auto &c : cases) {
        const uint32_t n = build_request(c.req);
        EXPECT_EQ(hex(Bytes(g_frame_buf.begin(), g_frame_buf.begin() + n)), c.hex);
    }
    const CmdRequest wdt{CMD_N_WDT, 0x1000, 4096, 0, full.data()};
    ASSERT_EQ(build_request(wdt), 4110u);
    EXPECT_EQ(hex(Bytes(g_frame_buf.begin() + 4105, g_frame_buf.begin() + 4111)),
              "10 3A 00 10 03 00");
    for (uint32_t undefined : {0u, 12u, 0xFFFFFFFFu})
        EXPECT_EQ(build_request({undefined, 0, 0, 0, nullptr}), 0u);
}

TEST(Frames, UndefinedCommandsSendNothingAndFailedWritesAreTriedThrice) {
    int no_port = -1; // any write fails with a located message
    const CmdRequest undefined{12, 0, 0, 0, nullptr}, irv{CMD_N_IRV, 0, 0, 0, nullptr};
    EXPECT_EQ(captured([&] { EXPECT_EQ(send_cmd(&no_port, &undefined), -1); }),
              "ERROR: Not Define Command: CMD_N_*** = 12)\n");
    const std::string line = "update_syscon(244): ERROR: Bad file descriptor\n";
    EXPECT_EQ(captured([&] { EXPECT_EQ(send_cmd(&no_port, &irv), -1); }),
              line + line + line + "ERROR: Transmit Retry OUT(3): CMD_N_*** = 1)\n");
}

Bytes frame(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

// An RDT response: `block` bytes of data, `sep_behind` after them, then `tail` (sum and ETX).
Bytes rdt_reply(uint32_t block, char sep_behind, const Bytes &tail = {0xAB, 0xCD, 0x03}) {
    Bytes f = frame("\x02$WP:RDT:");
    f.push_back(0x00);
    f.push_back(':');
    for (uint32_t i = 0; i < block; ++i)
        f.push_back(static_cast<uint8_t>(i * 7));
    f.push_back(static_cast<uint8_t>(sep_behind));
    f.insert(f.end(), tail.begin(), tail.end());
    return f;
}

// The message of a failed check, as it precedes the invalid-response line.
std::string failed(const std::string &check, int command) {
    const std::string line =
        "ERROR: Invalid Response: CMD_N_*** = " + std::to_string(command) + "\n";
    if (check.empty() || check == "length")
        return check.empty() ? "" : line;
    return (check == "RDT" ? "ERROR: RDT: Nothing flash read data!"
                           : "ERROR: Analize receive data(" + check + ").") +
           line;
}

TEST(Parser, EachCheckWithItsMessage) {
    using S = std::string;
    const struct {
        int command;
        Bytes frame;
        std::string check, text; // check: "" when the frame is accepted
    } cases[] = {
        // clang-format off
        {CMD_N_SIZ, frame(S("\x02$WP:SIZ:\0\0\x10\0\x03", 14)), "", ""},
        {CMD_N_ARV, frame("\x02$WP:ARV:APLI-1.00.00\x03"), "", "APLI-1.00.00"},
        {CMD_N_IRV, frame(S("\x02$WP:IRV:AB\0CDEFGHIJK\x03", 22)), "", "AB"},
        {CMD_N_IRV, frame("\x02$WP:IXY:0123456789AB\x03"), "", "0123456789AB"}, // first letter only
        {CMD_N_DEV, frame("\x02$W:DEVV:\x01\x03"), "", ""},   // header "$W", four letters
        {CMD_N_DEV, frame("\x02:DEVVVV:\x01\x03"), "", ""},   // empty header
        {CMD_N_DEV, frame("\x02$W:DEV:\x01\x03\x03"), "length", ""},
        {CMD_N_DEV, frame("\x15$WP:DEV:\x01\x03"), "STX", ""},
        {CMD_N_DEV, frame("\x02$WX:DEV:\x01\x03"), "HEADER", ""},
        {CMD_N_DEV, frame("\x02$WPDEV\x01\x03\x03\x03"), "HEADER", ""},
        {CMD_N_DEV, frame("\x02$WP:DEV\x01\x03\x03"), "COMMAND", ""},
        {CMD_N_DEV, frame("\x02$WP:SIZ:\x01\x03"), "COMMAND", ""},
        {CMD_N_DEV, frame("\x02$WP:DEV:\x01\x04"), "ETX", ""},
        {CMD_N_RDT, rdt_reply(1024, '#'), "RDT", ""},
        {CMD_N_RDT, rdt_reply(1024, ':', {}), "RDT", ""},
        {CMD_N_ACK, frame("\x02$WP:\x06:\x03"), "length", ""},
        {12, frame("\x02$WP:XYZ:\x03"), "length", ""},
        // clang-format on
    };
    g_block_size = 1024;
    for (const auto &c : cases) {
        char text[32] = "unchanged";
        CmdReply reply{static_cast<uint32_t>(c.command), 0, text, {}, nullptr};
        int rc = 0;
        EXPECT_EQ(captured([&] { rc = parse_response(c.frame, &reply); }),
                  failed(c.check, c.command))
            << hex(c.frame);
        EXPECT_EQ(rc, c.check.empty() ? 0 : -1) << hex(c.frame);
        if (rc == 0 && c.command <= CMD_N_FRV) {
            EXPECT_STREQ(text, c.text.c_str());
        }
    }
    g_block_size = 4096;
}

struct Parsed {
    ParseResult result;
    Options opt;
    uint32_t skip_addr, skip_size;
    std::vector<std::string> args; // opt.device and opt.file point into these
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "update_syscon");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    optind = 0; // a full reset of getopt between parses
    g_skip_addr = g_skip_size = 0xDEAD;
    Parsed p{};
    captured([&] { p.result = parse_options(static_cast<int>(args.size()), argv.data(), &p.opt); });
    p.skip_addr = g_skip_addr;
    p.skip_size = g_skip_size;
    p.args = std::move(args); // the vector's buffer moves, the strings stay
    return p;
}

TEST(Options, KeywordsRatesSkipAreasAndOrder) {
    const struct {
        std::vector<std::string> args;
        ParseResult result;
        uint32_t rate;
        int op, target;
        uint32_t skip_addr, skip_size;
    } cases[] = {
        // clang-format off
        {{}, PARSE_OK, 38400, 0, 0, 0xDEAD, 0xDEAD},
        {{"-o", "write", "-t", "apli"}, PARSE_OK, 38400, OP_WRITE, TARGET_APLI, 0xDEAD, 0xDEAD},
        {{"-o", "READ", "-t", "IPL"}, PARSE_OK, 38400, OP_READ, TARGET_IPL, 0xDEAD, 0xDEAD},
        {{"-o", "V", "-t", "f", "-b", "0x1C200"}, PARSE_OK, 115200, OP_VERSION, TARGET_FONT, 0xDEAD, 0xDEAD},
        {{"-o", "c", "-b", "0300", "-s", "1E0000,8000"}, PARSE_OK, 192, OP_CHECKSUM, 0, 0x1E0000, 0x8000},
        {{"-s", "0x1E0000,0x8000", "-b", "9600baud"}, PARSE_OK, 9600, 0, 0, 0x1E0000, 0x8000},
        {{"-s", "1,2", "-s", "1000", "-b", "fast"}, PARSE_OK, 0, 0, 0, 0x1000, 0},
        // As glibc's sscanf("%x,%x"): blanks and signs, "0x" alone, values kept to 32 bits.
        {{"-s", " +1,-2"}, PARSE_OK, 38400, 0, 0, 1, 0xFFFFFFFE},
        {{"-s", "0x,5"}, PARSE_OK, 38400, 0, 0, 0, 5},
        {{"-s", "0X,6"}, PARSE_OK, 38400, 0, 0, 0, 6},
        {{"-s", "123456789 ,1"}, PARSE_OK, 38400, 0, 0, 0x23456789, 0},
        {{"-o", "w", "-o", "r", "operand", "-t", "A", "-t", "F"}, PARSE_OK, 38400, OP_READ, TARGET_FONT, 0xDEAD, 0xDEAD},
        {{"-o", "write", "-h", "-o", "bogus"}, PARSE_HELP, 38400, OP_WRITE, 0, 0xDEAD, 0xDEAD},
        {{"-o", "bogus", "-h"}, PARSE_ERROR, 38400, 0, 0, 0xDEAD, 0xDEAD},
        // clang-format on
    };
    for (const auto &c : cases) {
        const Parsed p = parse(c.args);
        const std::string name = ::testing::PrintToString(c.args);
        EXPECT_EQ(p.result, c.result) << name;
        EXPECT_EQ(p.opt.rate, c.rate) << name;
        EXPECT_EQ(p.opt.operation, c.op) << name;
        EXPECT_EQ(p.opt.target, c.target) << name;
        EXPECT_EQ(p.skip_addr, c.skip_addr) << name;
        EXPECT_EQ(p.skip_size, c.skip_size) << name;
    }
    const Parsed p = parse({"-d", "/dev/ttyS1", "-f", "img.bin"});
    EXPECT_EQ(std::string(p.opt.device) + " " + p.opt.file, "/dev/ttyS1 img.bin");
    for (const char *bad : {"wr", "Read", "Write", "Apli", "", "apli "})
        EXPECT_EQ(operation_code(bad) + target_code(bad), 0) << bad;
}

TEST(UartRecv, ExactCountsPiecesLimitsAndErrors) {
    PtyPair pty;
    // Raw from the start, so that the slave's input count shows each byte that has arrived.
    const UniqueFd probe = open_raw_port(pty.slave_path());
    const auto waiting = [&] {
        int n = 0;
        ioctl(probe.get(), FIONREAD, &n);
        return n;
    };
    const auto send = [&](const Bytes &bytes) { // returns once they wait at the slave
        const int before = waiting();
        write_all(pty.master(), bytes);
        for (int i = 0; i < 5000 && waiting() < before + static_cast<int>(bytes.size()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    };
    std::string err;
    const auto recv = [&](Bytes &buf, uint32_t timeout) {
        int rc = 0;
        err = captured([&] {
            rc = uart_recv(&g_uart_fd, buf.data(), static_cast<uint32_t>(buf.size()), timeout);
        });
        return rc;
    };
    send({0xAA}); // arrives before the set-up: discarded
    ASSERT_EQ(uart_init(pty.slave_path().c_str(), 115200), 0);
    Bytes none, two(2), one(1);
    send({0x11, 0x13, 0x0D});
    EXPECT_EQ(recv(none, 0), 0); // length 0 reads nothing, whatever the limit
    EXPECT_EQ(recv(two, 1000), 0);
    EXPECT_EQ(hex(two), "11 13"); // flow-control bytes are data
    EXPECT_EQ(recv(one, 1000), 0);
    EXPECT_EQ(hex(one), "0D"); // no CR to NL mapping

    send({0x06});
    EXPECT_EQ(recv(one, 0), RECV_TIMEOUT); // the limit is tested before completion
    EXPECT_EQ(err, "update_syscon(285): ERROR: timeout\n");
    Bytes four{9, 9, 9, 9};
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(recv(four, 150), RECV_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(140));
    EXPECT_EQ(hex(four), "09 09 09 09");

    int closed = -1;
    EXPECT_EQ(captured([&] { EXPECT_EQ(uart_recv(&closed, one.data(), 1, 1000), -EBADF); }),
              "update_syscon(279): ERROR: Bad file descriptor\n");
    int unopened = 999; // poll() reports it invalid, and read() fails
    EXPECT_EQ(captured([&] { EXPECT_EQ(uart_wait_quiet(&unopened, 100), -EBADF); }),
              "ERROR: Wait for a quiet line: Bad file descriptor\n");
    g_exchange.in_step = true; // only the careful operations tell a hang-up
    pty.hang_up();
    EXPECT_EQ(recv(one, 1000), RECV_HANGUP);
    EXPECT_EQ(err, "ERROR: The serial port " + pty.slave_path() +
                       " went away (hang-up): check the cable or USB adapter, then run the "
                       "operation again\n");
    exchange_policy_end();
    uart_close();
}

// The events writer: JSON escapes, an "fd:" number that would wrap onto an open descriptor, and a
// reader gone before a write, which must end the events without a SIGPIPE.
TEST(Events, EscapesDescriptorsAndAReaderGone) {
    signal(SIGPIPE, SIG_DFL);
    int p[2];
    ASSERT_EQ(pipe2(p, O_NONBLOCK), 0); // a read finds what was written, or nothing
    const RunPlan plan{"write", "ipl", "a\"\\\n\r\t\x01", 9600, 0x1E8000, 0x18000, 4096, 24, 0, 0};
    for (long fd : {(1L << 32) + p[1], long{p[1]}}) { // the first is refused
        captured([&] { events_open(("fd:" + std::to_string(fd)).c_str()); });
        event_start(plan);
    }
    char buf[512];
    const std::string line(buf, std::max(0L, read(p[0], buf, sizeof buf)));
    EXPECT_EQ(line.find('\n'), line.size() - 1) << "one line: " << line;
    EXPECT_TRUE(
        line.ends_with(R"(,"v":1,"operation":"write","target":"ipl","device":"a\"\\\n\r\t\u0001",)"
                       R"("rate":9600,"start":1998848,"size":98304,"block_size":4096,)"
                       R"("blocks":24,"skip":null})"
                       "\n"))
        << line;
    close(p[0]);
    event_size(1024, 96); // EPIPE: the events end, the process goes on
    close(p[1]);
}

} // namespace
