// One command of the tool's protocol layer against the simulated SYSCON over
// a pseudo-terminal, under each kind of fault: result, messages, the frames
// that went out, and what reached the reply record.
#include "protocol/protocol.h"
#include "serial/uart.h"
#include "simulator.h"

#include "pty.h"

#include <gtest/gtest.h>

using namespace syscon_sim;
using testsupport::hex;

namespace {

const std::string TIMEOUT = "update_syscon(285): ERROR: timeout\n";
std::string invalid(int cmd) {
    return "ERROR: Invalid Response: CMD_N_*** = " + std::to_string(cmd) + "\n";
}
std::string times3(const std::string &s) {
    return s + s + s;
}

struct Case {
    const char *name;
    std::vector<Fault> faults;
    int command;
    uint32_t a, b;
    std::string err;
    int rc;
    std::vector<std::string>
        frames; // every frame of the command that went out, in hex (18 bytes at most)
};

class Protocol : public ::testing::TestWithParam<Case> {};

TEST_P(Protocol, ResultMessagesAndFrames) {
    const Case &c = GetParam();
    Config config;
    config.realtime = true;
    Simulator sim(config);
    sim.start();
    ASSERT_EQ(uart_init(sim.slave_path().c_str(), 115200), 0);
    sim.write_flash(0, 0x100000, std::vector<uint8_t>(1024, 0x01)); // sum 0x400
    g_block_size = c.command == CMD_N_RDT ? 1024 : 4096;
    CmdReply reply{};
    char text[32] = "";
    reply.text = text;
    reply.payload[0] = 0x0C; // what the record held before: shown after an unparsed reply
    if (c.command == CMD_N_RDT) {
        ASSERT_EQ(exec_cmd(&g_uart_fd, CMD_N_SIZ, &reply, 1024), 0);
    }
    for (const Fault &f : c.faults)
        sim.add_fault(f);

    testing::internal::CaptureStderr();
    const std::vector<uint8_t> block(4096, 0x00);
    const int rc = exec_cmd(&g_uart_fd, c.command, &reply, c.a, c.b, block.data());
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
    EXPECT_EQ(rc, c.rc);
    std::vector<std::string> sent;
    const std::string code = g_cmd_table[c.command].code;
    for (const auto &f : testsupport::frames_with_code(sim.received_frames(), code))
        sent.push_back(hex({f.begin(), f.begin() + std::min<size_t>(f.size(), 18)}));
    EXPECT_EQ(sent, c.frames);
    if (c.command == CMD_N_IRV && rc == 0) {
        EXPECT_STREQ(text, "IPL-01.00.00");
    }
    if (c.command == CMD_N_RDT && rc == 0) {
        EXPECT_EQ(std::vector<uint8_t>(reply.data, reply.data + 1024),
                  std::vector<uint8_t>(1024, 0x01));
    }
    uart_close();
    g_block_size = 4096;
}

const std::string DEV1 = "02 44 45 56 3A 01 03";
const std::string SIZ4K = "02 53 49 5A 3A 00 00 10 00 03";
const std::string ERS = "02 45 52 53 3A 00 1E 80 00 3A 00 01 80 00 3A 01 1F 03";
const std::string RDT = "02 52 44 54 3A 00 10 00 00 3A 00 10 03";
const std::string IRV = "02 49 52 56 03";

INSTANTIATE_TEST_SUITE_P(
    Faults, Protocol,
    ::testing::Values(
        Case{"accepted", {}, CMD_N_DEV, 1, 0, "", 0, {DEV1}},
        Case{"version", {}, CMD_N_IRV, 0, 0, "", 0, {IRV}},
        Case{"nak",
             {{"ERS", 0, FaultKind::Nak, 0}},
             CMD_N_ERS,
             0x1E8000,
             0x18000,
             "ERROR: Transmit Retry OUT(3): CMD_N_*** = 9)\n",
             -1,
             {ERS, ERS, ERS}},
        Case{"silent",
             {{"IRV", 0, FaultKind::NoAck, 0}},
             CMD_N_IRV,
             0,
             0,
             times3(TIMEOUT) + "ERROR: Transmit Retry OUT(3): CMD_N_*** = 1)\n",
             -1,
             {IRV, IRV, IRV}},
        Case{"no_response",
             {{"DEV", 0, FaultKind::NoResponse, 0}},
             CMD_N_DEV,
             1,
             0,
             times3(TIMEOUT + invalid(7) +
                    "ERROR: Invalid Response: Device ID Disagreement(0xc)\n") +
                 "ERROR: Retry OUT(3): CMD_N_*** = 7)\n",
             -1,
             {DEV1, DEV1, DEV1}},
        Case{"erase_status",
             {{"ERS", 0, FaultKind::Status, 5}},
             CMD_N_ERS,
             0x1E8000,
             0x18000,
             times3("ERROR: Invalid Response: Erase error(0x5)\n") +
                 "ERROR: Retry OUT(3): CMD_N_*** = 9)\n",
             -1,
             {ERS, ERS, ERS}},
        Case{"write_status",
             {{"WDT", 0, FaultKind::Status, 2}},
             CMD_N_WDT,
             0x1E8000,
             4096,
             times3("ERROR: Invalid Response: Write Data error(0x2)\n") +
                 "ERROR: Retry OUT(3): CMD_N_*** = 10)\n",
             -1,
             std::vector<std::string>(3, "02 57 44 54 3A 00 1E 80 00 3A 00 00 00 00 00 00 00 00")},
        Case{
            "size_echo",
            {{"SIZ", 0, FaultKind::WrongEcho, 1024}},
            CMD_N_SIZ,
            4096,
            0,
            times3("ERROR: Invalid Response: Block Size Disagreement(0x00001000 -> 0x00000400)\n") +
                "ERROR: Retry OUT(3): CMD_N_*** = 8)\n",
            -1,
            {SIZ4K, SIZ4K, SIZ4K}},
        Case{"corrupt_then_good",
             {{"RDT", 1, FaultKind::CorruptBlock, 0}},
             CMD_N_RDT,
             0x100000,
             1024,
             "ERROR: Invalid Response: Read Data error(sum=0x400 / 0x4fd)\n",
             0,
             {RDT, RDT}},
        // An error status makes the frame shorter than a block's: the receive
        // times out before the status is parsed, and the message shows the
        // status the record held (0 from the first attempt).
        Case{"sum_then_status",
             {{"RDT", 1, FaultKind::WrongSum, 0},
              {"RDT", 2, FaultKind::Status, 2},
              {"RDT", 3, FaultKind::Status, 0x1F}},
             CMD_N_RDT,
             0x100000,
             1024,
             "ERROR: Invalid Response: Read Data error(sum=0x401 / 0x400)\n" + TIMEOUT +
                 invalid(11) + "ERROR: Invalid Response: Read Data error(0x0)\n" + TIMEOUT +
                 invalid(11) +
                 "ERROR: Invalid Response: Read Data error(0x0)\n"
                 "ERROR: Retry OUT(3): CMD_N_*** = 11)\n",
             -1,
             {RDT, RDT, RDT}},
        Case{"short_then_good",
             {{"DEV", 1, FaultKind::ShortResponse, 1}},
             CMD_N_DEV,
             1,
             0,
             TIMEOUT + invalid(7) + "ERROR: Invalid Response: Device ID Disagreement(0xc)\n",
             0,
             {DEV1, DEV1}},
        Case{"query_once",
             {{"IRV", 0, FaultKind::Delay, 1500}},
             CMD_N_IRV,
             0,
             0,
             TIMEOUT + invalid(1),
             -1,
             {IRV}},
        // Nothing is flushed: the ETX left behind by the garbled response is
        // read as the next attempt's ACK, and the answer to that try is taken
        // for the one after it.
        Case{"stray_byte",
             {{"SIZ", 1, FaultKind::GarbageBeforeStx, 1}},
             CMD_N_SIZ,
             4096,
             0,
             "ERROR: Analize receive data(STX)." + invalid(8) +
                 "ERROR: Invalid Response: Block Size Disagreement(0x00001000 -> 0x0c000000)\n",
             0,
             {SIZ4K, SIZ4K, SIZ4K}}),
    [](const auto &p) { return std::string(p.param.name); });

} // namespace
