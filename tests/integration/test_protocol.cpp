// One command of the tool's protocol layer against the simulated SYSCON over
// a pseudo-terminal, under each kind of fault: result, messages, the frames
// that went out, and what reached the reply record.
#include "protocol/protocol.h"
#include "serial/uart.h"
#include "simulator.h"

#include "pty.h"

#include <gtest/gtest.h>
#include <unistd.h>

using namespace syscon_sim;
using testsupport::hex;

namespace {

const std::string TIMEOUT = "update_syscon(285): ERROR: timeout\n";
std::string invalid(int cmd) {
    return "ERROR: Invalid Response: CMD_N_*** = " + std::to_string(cmd) + "\n";
}
std::string retry(const std::string &attempt, int cmd) {
    return attempt + attempt + attempt + "ERROR: Retry OUT(3): CMD_N_*** = " + std::to_string(cmd) +
           ")\n";
}

struct Case {
    const char *name;
    std::vector<Fault> faults;
    int command;
    uint32_t a, b;
    int rc;
    std::string err;
    int sends;         // times the request went out
    std::string frame; // its first 18 bytes at most
};

class Protocol : public ::testing::TestWithParam<Case> {};

TEST_P(Protocol, ResultMessagesAndFrames) {
    const Case &c = GetParam();
    Simulator sim(Config{.trace_path = "", .realtime = true});
    sim.start();
    ASSERT_EQ(uart_init(sim.slave_path().c_str(), 115200), 0);
    sim.write_flash(0, 0x100000, std::vector<uint8_t>(1024, 0x01)); // sum 0x400
    CmdReply reply{};
    char text[32] = "";
    reply.text = text;
    reply.payload[0] = 0x0C; // what the record held before: shown after an unparsed reply
    g_block_size = 4096;
    if (c.command == CMD_N_RDT) {
        g_block_size = 1024;
        ASSERT_EQ(exec_cmd(&g_uart_fd, CMD_N_SIZ, &reply, 1024), 0);
    }
    for (const Fault &f : c.faults)
        sim.add_fault(f);

    testing::internal::CaptureStderr();
    const std::vector<uint8_t> block(4096, 0x00);
    const int rc = exec_cmd(&g_uart_fd, c.command, &reply, c.a, c.b, block.data());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(rc, c.rc);
    // The simulator takes bytes in order: once it has seen the code of a
    // request written after the tool's, it has taken every frame the tool sent.
    const uint8_t marker[] = {0x02, 'F', 'R', 'V', 0x03};
    ASSERT_EQ(write(g_uart_fd, marker, sizeof marker), 5);
    for (int ms = 0; ms < 20000 && sim.stats().requests["FRV"] == 0; ++ms)
        usleep(1000);
    EXPECT_EQ(sim.stats().requests["FRV"], 1) << "the simulator never took the marker";
    const auto sent =
        testsupport::frames_with_code(sim.stats().frames, g_cmd_table[c.command].code);
    EXPECT_EQ(sent.size(), static_cast<size_t>(c.sends));
    for (const auto &f : sent)
        EXPECT_EQ(hex({f.begin(), f.begin() + std::min<size_t>(f.size(), 18)}), c.frame);
    if (rc == 0 && c.command == CMD_N_RDT) {
        EXPECT_EQ(std::vector<uint8_t>(reply.data, reply.data + 1024),
                  std::vector<uint8_t>(1024, 0x01));
    }
    uart_close();
    g_block_size = 4096;
}

const std::string DEV1 = "02 44 45 56 3A 01 03", SIZ4K = "02 53 49 5A 3A 00 00 10 00 03",
                  ERS = "02 45 52 53 3A 00 1E 80 00 3A 00 01 80 00 3A 01 1F 03",
                  RDT = "02 52 44 54 3A 00 10 00 00 3A 00 10 03", IRV = "02 49 52 56 03";
const std::string READ_ERR = "ERROR: Invalid Response: Read Data error(0x0)\n";

// clang-format off
INSTANTIATE_TEST_SUITE_P(Faults, Protocol, ::testing::Values(
    Case{"nak", {{"ERS", 0, FaultKind::Nak, 0}}, CMD_N_ERS, 0x1E8000, 0x18000, -1,
         "ERROR: Transmit Retry OUT(3): CMD_N_*** = 9)\n", 3, ERS},
    Case{"no_response", {{"DEV", 0, FaultKind::NoResponse, 0}}, CMD_N_DEV, 1, 0, -1,
         retry(TIMEOUT + invalid(7) + "ERROR: Invalid Response: Device ID Disagreement(0xc)\n", 7), 3, DEV1},
    Case{"corrupt_then_good", {{"RDT", 1, FaultKind::CorruptBlock, 0}}, CMD_N_RDT, 0x100000, 1024, 0,
         "ERROR: Invalid Response: Read Data error(sum=0x400 / 0x4fd)\n", 2, RDT},
    // An error status makes the frame shorter than a block's: the receive times
    // out before the status is parsed, and the message shows the status the
    // record held (0 from the first attempt).
    Case{"sum_then_status", {{"RDT", 1, FaultKind::WrongSum, 0}, {"RDT", 2, FaultKind::Status, 2},
                             {"RDT", 3, FaultKind::Status, 0x1F}}, CMD_N_RDT, 0x100000, 1024, -1,
         "ERROR: Invalid Response: Read Data error(sum=0x401 / 0x400)\n" + TIMEOUT + invalid(11) + READ_ERR +
             TIMEOUT + invalid(11) + READ_ERR + "ERROR: Retry OUT(3): CMD_N_*** = 11)\n", 3, RDT},
    Case{"short_then_good", {{"DEV", 1, FaultKind::ShortResponse, 1}}, CMD_N_DEV, 1, 0, 0,
         TIMEOUT + invalid(7) + "ERROR: Invalid Response: Device ID Disagreement(0xc)\n", 2, DEV1},
    Case{"query_once", {{"IRV", 0, FaultKind::Delay, 1500}}, CMD_N_IRV, 0, 0, -1, TIMEOUT + invalid(1), 1, IRV},
    // Nothing is flushed: the garbled response goes out whole before the next frame is taken, so
    // the ETX left behind is always the next attempt's ACK; that try's answer is taken for the
    // next, whose frame the simulator takes after the tool is done.
    Case{"stray_byte", {{"SIZ", 1, FaultKind::GarbageBeforeStx, 1}}, CMD_N_SIZ, 4096, 0, 0,
         "ERROR: Analize receive data(STX)." + invalid(8) +
             "ERROR: Invalid Response: Block Size Disagreement(0x00001000 -> 0x0c000000)\n", 3, SIZ4K}),
    [](const auto &p) { return std::string(p.param.name); });
// clang-format on

} // namespace
