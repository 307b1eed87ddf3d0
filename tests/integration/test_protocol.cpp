// The command protocol in the tool's library against the simulated SYSCON
// over a pseudo-terminal: handshakes, retries, verification and their
// messages, under injected faults.
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

class Protocol : public ::testing::Test {
  protected:
    void SetUp() override {
        sim.start();
        ASSERT_EQ(uart_init(sim.slave_path().c_str(), 115200), 0);
        g_block_size = 4096;
    }
    void TearDown() override {
        uart_close();
        g_block_size = 4096;
    }

    // Runs one command and returns what it wrote on standard error.
    std::string exec(int command, uint32_t a = 0, uint32_t b = 0, const uint8_t *data = nullptr) {
        testing::internal::CaptureStderr();
        rc = exec_cmd(&g_uart_fd, command, &reply, a, b, data);
        return testing::internal::GetCapturedStderr();
    }

    std::vector<std::string> frames_of(const std::string &code) const {
        std::vector<std::string> out;
        for (const auto &f : testsupport::frames_with_code(sim.received_frames(), code))
            out.push_back(hex(f));
        return out;
    }

    Simulator sim{Config{}};
    CmdReply reply{};
    int rc = 0;
};

TEST_F(Protocol, DeviceSelectIsAcceptedAtTheFirstAttempt) {
    EXPECT_EQ(exec(CMD_N_DEV, 1), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(reply.payload[0], 1);
    EXPECT_EQ(frames_of("DEV"), std::vector<std::string>{"02 44 45 56 3A 01 03"});
}

TEST_F(Protocol, VersionTextReachesTheCallersBuffer) {
    char text[32];
    reply.text = text;
    EXPECT_EQ(exec(CMD_N_IRV), "");
    EXPECT_EQ(rc, 0);
    EXPECT_STREQ(text, "IPL-01.00.00");
}

TEST_F(Protocol, NakOnEveryTryGivesUpAfterThreeTransmissions) {
    sim.add_fault({"ERS", 0, FaultKind::Nak, 0});
    EXPECT_EQ(exec(CMD_N_ERS, 0x1E8000, 0x18000), "ERROR: Transmit Retry OUT(3): CMD_N_*** = 9)\n");
    EXPECT_EQ(rc, -1);
    const std::string ers = "02 45 52 53 3A 00 1E 80 00 3A 00 01 80 00 3A 01 1F 03";
    EXPECT_EQ(frames_of("ERS"), std::vector<std::string>(3, ers))
        << "no further attempt of exec_cmd";
}

TEST_F(Protocol, SilentDeviceTimesOutThreeTimes) {
    sim.add_fault({"IRV", 0, FaultKind::NoAck, 0});
    char text[32];
    reply.text = text;
    EXPECT_EQ(exec(CMD_N_IRV),
              TIMEOUT + TIMEOUT + TIMEOUT + "ERROR: Transmit Retry OUT(3): CMD_N_*** = 1)\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(frames_of("IRV").size(), 3u);
}

TEST_F(Protocol, MissingResponseCostsAnAttemptEachTime) {
    sim.add_fault({"DEV", 0, FaultKind::NoResponse, 0});
    reply.payload[0] = 0x0C; // what the record held before: shown in the message
    const std::string attempt =
        TIMEOUT + invalid(CMD_N_DEV) + "ERROR: Invalid Response: Device ID Disagreement(0xc)\n";
    EXPECT_EQ(exec(CMD_N_DEV, 1),
              attempt + attempt + attempt + "ERROR: Retry OUT(3): CMD_N_*** = 7)\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(frames_of("DEV").size(), 3u);
}

TEST_F(Protocol, EraseStatusThreeTimesEndsWithRetryOut) {
    sim.add_fault({"ERS", 0, FaultKind::Status, 5});
    const std::string line = "ERROR: Invalid Response: Erase error(0x5)\n";
    EXPECT_EQ(exec(CMD_N_ERS, 0x1E8000, 0x18000),
              line + line + line + "ERROR: Retry OUT(3): CMD_N_*** = 9)\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(frames_of("ERS").size(), 3u);
}

TEST_F(Protocol, BlockSizeEchoMismatchShowsBothSizes) {
    sim.add_fault({"SIZ", 0, FaultKind::WrongEcho, 1024});
    const std::string line =
        "ERROR: Invalid Response: Block Size Disagreement(0x00001000 -> 0x00000400)\n";
    EXPECT_EQ(exec(CMD_N_SIZ, 4096), line + line + line + "ERROR: Retry OUT(3): CMD_N_*** = 8)\n");
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(frames_of("SIZ"), std::vector<std::string>(3, "02 53 49 5A 3A 00 00 10 00 03"));
}

TEST_F(Protocol, CorruptedBlockIsReadAgain) {
    ASSERT_EQ(exec(CMD_N_SIZ, 4096), "");
    sim.write_flash(0, 0x1E8000, std::vector<uint8_t>(4096, 0x00));
    sim.add_fault({"RDT", 1, FaultKind::CorruptBlock, 0}); // byte 0 inverted to 0xFF
    EXPECT_EQ(exec(CMD_N_RDT, 0x1E8000, 4096),
              "ERROR: Invalid Response: Read Data error(sum=0x0 / 0xff)\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(frames_of("RDT"),
              std::vector<std::string>(2, "02 52 44 54 3A 00 1E 80 00 3A 00 9E 03"));
    EXPECT_EQ(std::vector<uint8_t>(reply.data, reply.data + 4096),
              std::vector<uint8_t>(4096, 0x00));
}

TEST_F(Protocol, WrongReadSumThenStatusFailure) {
    ASSERT_EQ(exec(CMD_N_DEV, 1), "");
    ASSERT_EQ(exec(CMD_N_SIZ, 1024), "");
    g_block_size = 1024;
    sim.write_flash(1, 0x100000, std::vector<uint8_t>(1024, 0x01)); // sum 0x400
    sim.add_fault({"RDT", 1, FaultKind::WrongSum, 0});
    sim.add_fault({"RDT", 2, FaultKind::Status, 2});
    sim.add_fault({"RDT", 3, FaultKind::Status, 0x1F});
    // An error status makes the frame shorter than a block's: the receive
    // times out before the status is parsed, so the message shows the status
    // the record held before (0 from the first attempt).
    EXPECT_EQ(exec(CMD_N_RDT, 0x100000, 1024),
              "ERROR: Invalid Response: Read Data error(sum=0x401 / 0x400)\n"
              "update_syscon(285): ERROR: timeout\n" +
                  invalid(CMD_N_RDT) +
                  "ERROR: Invalid Response: Read Data error(0x0)\n"
                  "update_syscon(285): ERROR: timeout\n" +
                  invalid(CMD_N_RDT) +
                  "ERROR: Invalid Response: Read Data error(0x0)\n"
                  "ERROR: Retry OUT(3): CMD_N_*** = 11)\n");
    EXPECT_EQ(rc, -1);
}

TEST_F(Protocol, ShortResponseTimesOutThenTheRetrySucceeds) {
    sim.add_fault({"DEV", 1, FaultKind::ShortResponse, 1});
    EXPECT_EQ(exec(CMD_N_DEV, 1), TIMEOUT + invalid(CMD_N_DEV) +
                                      "ERROR: Invalid Response: Device ID Disagreement(0x0)\n");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(frames_of("DEV").size(), 2u);
}

TEST_F(Protocol, QueryGetsASingleAttempt) {
    sim.add_fault({"ISM", 0, FaultKind::Delay, 1500});
    EXPECT_EQ(exec(CMD_N_ISM), TIMEOUT + invalid(CMD_N_ISM));
    EXPECT_EQ(rc, -1);
    EXPECT_EQ(frames_of("ISM").size(), 1u);
}

TEST_F(Protocol, ByteAfterAResponseIsReadAsTheNextAcknowledgement) {
    // Nothing is flushed: the stray byte costs the next command one try, and
    // the device's answer to that try is then taken for the second one.
    sim.add_fault({"DEV", 1, FaultKind::ExtraBytes, 1});
    EXPECT_EQ(exec(CMD_N_DEV, 0), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(exec(CMD_N_SIZ, 4096), "");
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(frames_of("SIZ").size(), 2u);
}

} // namespace
