// Request frames byte for byte, and the 16-bit sum.
#include "protocol/protocol.h"

#include "pty.h"

#include <gtest/gtest.h>

using testsupport::hex;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes frame_of(const CmdRequest &req) {
    const uint32_t n = build_request(req);
    return Bytes(g_frame_buf.begin(), g_frame_buf.begin() + n);
}

CmdRequest request(int command, uint32_t address = 0, uint32_t value = 0, uint8_t device = 0,
                   const uint8_t *data = nullptr) {
    return CmdRequest{static_cast<uint32_t>(command), address, value, device, data};
}

TEST(CalcSum, AddsBytesModulo65536) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(calc_sum(abc, 3), 0x0126);
    EXPECT_EQ(calc_sum(abc, 0), 0);
    const Bytes ff(258, 0xFF); // 258 * 255 = 0x100FE
    EXPECT_EQ(calc_sum(ff.data(), 258), 0x00FE);
}

TEST(RequestFrames, EachCommandByteForByte) {
    const struct {
        const char *name;
        CmdRequest req;
        Bytes bytes;
    } cases[] = {
        {"IRV", request(CMD_N_IRV), {0x02, 'I', 'R', 'V', 0x03}},
        {"ARV", request(CMD_N_ARV), {0x02, 'A', 'R', 'V', 0x03}},
        {"FRV", request(CMD_N_FRV), {0x02, 'F', 'R', 'V', 0x03}},
        {"ISM", request(CMD_N_ISM), {0x02, 'I', 'S', 'M', 0x03}},
        {"ASM", request(CMD_N_ASM), {0x02, 'A', 'S', 'M', 0x03}},
        {"FSM", request(CMD_N_FSM), {0x02, 'F', 'S', 'M', 0x03}},
        {"DEV 1", request(CMD_N_DEV, 0, 0, 1), {0x02, 0x44, 0x45, 0x56, 0x3A, 0x01, 0x03}},
        {"DEV 0x02", request(CMD_N_DEV, 0, 0, 0x02), {0x02, 'D', 'E', 'V', ':', 0x02, 0x03}},
        {"SIZ 4096",
         request(CMD_N_SIZ, 0, 4096),
         {0x02, 0x53, 0x49, 0x5A, 0x3A, 0x00, 0x00, 0x10, 0x00, 0x03}},
        {"ERS 0x1E8000/0x18000",
         request(CMD_N_ERS, 0x1E8000, 0x18000),
         {0x02, 0x45, 0x52, 0x53, 0x3A, 0x00, 0x1E, 0x80, 0x00, 0x3A, 0x00, 0x01, 0x80, 0x00, 0x3A,
          0x01, 0x1F, 0x03}},
        {"ERS 0x03023A02/0", // field bytes equal to STX, ETX and ':' go out as they are
         request(CMD_N_ERS, 0x03023A02, 0),
         {0x02, 'E', 'R', 'S', ':', 0x03, 0x02, 0x3A, 0x02, ':', 0, 0, 0, 0, ':', 0x00, 0x41,
          0x03}},
        {"RDT 0x100000",
         request(CMD_N_RDT, 0x100000),
         {0x02, 0x52, 0x44, 0x54, 0x3A, 0x00, 0x10, 0x00, 0x00, 0x3A, 0x00, 0x10, 0x03}},
        {"WDT no data",
         request(CMD_N_WDT, 0x1E8000, 0),
         {0x02, 'W', 'D', 'T', ':', 0x00, 0x1E, 0x80, 0x00, ':', ':', 0x00, 0x9E, 0x03}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(hex(frame_of(c.req)), hex(c.bytes)) << c.name;
}

TEST(RequestFrames, WriteOfAFullBlockWrapsItsSum) {
    const Bytes block(4096, 0x10); // data alone sum to 0x10000
    const Bytes f = frame_of(request(CMD_N_WDT, 0x1E9000, 4096, 0, block.data()));
    ASSERT_EQ(f.size(), 4110u);
    EXPECT_EQ(hex(Bytes(f.begin(), f.begin() + 10)), "02 57 44 54 3A 00 1E 90 00 3A");
    EXPECT_EQ(Bytes(f.begin() + 10, f.begin() + 4106), block);
    // Only the address bytes remain in the sum: 0x1E + 0x90.
    EXPECT_EQ(hex(Bytes(f.end() - 4, f.end())), "3A 00 AE 03");
    EXPECT_EQ(g_frame_buf[4110], 0) << "a zero byte stays behind the largest frame";
}

TEST(RequestFrames, SmallBlockCarriesNoLength) {
    Bytes block(1024, 0x00);
    block[0] = 0x03;
    block[1023] = 0x3A;
    const Bytes f = frame_of(request(CMD_N_WDT, 0x100400, 1024, 0, block.data()));
    ASSERT_EQ(f.size(), 1038u);
    // 0x10 + 0x04 from the address, 0x03 + 0x3A from the data.
    EXPECT_EQ(hex(Bytes(f.end() - 4, f.end())), "3A 00 51 03");
}

TEST(RequestFrames, NoFrameForUndefinedCommandsOrOversizedBlocks) {
    const Bytes big(4097, 0);
    for (uint32_t cmd : {0u, 12u, 0xFFFFFFFFu})
        EXPECT_EQ(build_request(request(static_cast<int>(cmd))), 0u) << cmd;
    EXPECT_EQ(build_request(request(CMD_N_WDT, 0, 4097, 0, big.data())), 0u);
}

TEST(SendCmd, UndefinedCommandSendsNothing) {
    int no_port = -1; // any write would fail with a located message
    for (int cmd : {12, -1}) {
        const CmdRequest req = request(cmd);
        testing::internal::CaptureStderr();
        EXPECT_EQ(send_cmd(&no_port, &req), -1);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "ERROR: Not Define Command: CMD_N_*** = " + std::to_string(cmd) + ")\n");
    }
}

TEST(SendCmd, FailedWritesAreTriedThreeTimes) {
    int no_port = -1;
    const CmdRequest req = request(CMD_N_IRV);
    testing::internal::CaptureStderr();
    EXPECT_EQ(send_cmd(&no_port, &req), -1);
    const std::string line = "update_syscon(244): ERROR: Bad file descriptor\n";
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              line + line + line + "ERROR: Transmit Retry OUT(3): CMD_N_*** = 1)\n");
}

} // namespace
