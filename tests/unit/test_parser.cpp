// The response parser over hand-made frames: every check, its message and
// its order, the accepted quirks, and no access outside the frame.
#include "protocol/protocol.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

using Bytes = std::vector<uint8_t>;

namespace {

Bytes str(const std::string &s) {
    return Bytes(s.begin(), s.end());
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A response frame: STX, header, ':', command field, ':', payload, ETX.
Bytes frame(const std::string &header, const std::string &command, const Bytes &payload) {
    return cat({{0x02}, str(header), {':'}, str(command), {':'}, payload, {0x03}});
}

// An RDT response with status 0 carrying `block` and `sum`.
Bytes rdt_frame(const Bytes &block, uint16_t sum) {
    return cat({{0x02},
                str("$WP:RDT:"),
                {0x00, ':'},
                block,
                {':', static_cast<uint8_t>(sum >> 8), static_cast<uint8_t>(sum), 0x03}});
}

uint16_t sum16(const Bytes &b) {
    unsigned s = 0;
    for (uint8_t x : b)
        s += x;
    return static_cast<uint16_t>(s);
}

struct Outcome {
    int rc;
    std::string err;
};

// Parses `bytes` laid out as in the frame buffer: zero bytes behind them.
class Parser : public ::testing::Test {
  protected:
    void SetUp() override { g_block_size = 4096; }
    void TearDown() override { g_block_size = 4096; }

    Outcome parse(int command, const Bytes &bytes) {
        g_frame_buf.fill(0);
        std::copy(bytes.begin(), bytes.end(), g_frame_buf.begin());
        reply.command = static_cast<uint32_t>(command);
        reply.expected_length = static_cast<uint32_t>(bytes.size());
        testing::internal::CaptureStderr();
        const int rc = parse_response(std::span(g_frame_buf.data(), bytes.size()), &reply);
        return {rc, testing::internal::GetCapturedStderr()};
    }

    CmdReply reply{};
    char text[32] = {};
};

std::string invalid(int cmd) {
    return "ERROR: Invalid Response: CMD_N_*** = " + std::to_string(cmd) + "\n";
}

TEST_F(Parser, BlockSizeEchoIsAccepted) {
    const Bytes f{0x02, 0x24, 0x57, 0x50, 0x3A, 0x53, 0x49,
                  0x5A, 0x3A, 0x00, 0x00, 0x10, 0x00, 0x03};
    const Outcome o = parse(CMD_N_SIZ, f);
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(Bytes(reply.payload, reply.payload + 4), Bytes({0x00, 0x00, 0x10, 0x00}));
}

TEST_F(Parser, VersionTextIsCopiedAndTerminated) {
    reply.text = text;
    memset(text, 'Z', sizeof text);
    const Outcome o = parse(CMD_N_ARV, frame("$WP", "ARV", str("APL-01.23.45")));
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_STREQ(text, "APL-01.23.45");
    EXPECT_EQ(text[13], 'Z') << "nothing written past position 12";
}

TEST_F(Parser, VersionTextStopsAtAZeroByteAndZeroFills) {
    reply.text = text;
    memset(text, 'Z', sizeof text);
    const Outcome o =
        parse(CMD_N_IRV, frame("$WP", "IRV", cat({str("V1.0"), {0}, str("JUNK123")})));
    EXPECT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(std::string(text, 13), std::string("V1.0") + std::string(9, '\0'));
}

TEST_F(Parser, ReadBlockIsLocatedByTheAgreedBlockSize) {
    for (uint32_t bs : {1024u, 4096u}) {
        g_block_size = bs;
        Bytes block(bs);
        for (uint32_t i = 0; i < bs; ++i)
            block[i] = static_cast<uint8_t>(i * 7 + 3); // holds ':' , STX and ETX bytes too
        const Bytes f = rdt_frame(block, sum16(block));
        ASSERT_EQ(f.size(), bs + 15);
        const Outcome o = parse(CMD_N_RDT, f);
        EXPECT_EQ(o.rc, 0) << bs << o.err;
        EXPECT_EQ(reply.data, g_frame_buf.data() + 11);
        EXPECT_EQ(reply.payload[0], 0);
        EXPECT_EQ(reply.payload[2], f[bs + 12]);
        EXPECT_EQ(reply.payload[3], f[bs + 13]);
    }
}

TEST_F(Parser, EachCheckFailsWithItsMessageOnTheInvalidResponseLine) {
    const Bytes dev_ok = frame("$WP", "DEV", {0x01});
    Bytes bad_etx = dev_ok;
    bad_etx[10] = 0x04;
    const Bytes short_frame = frame("$WP", "DEV", {}); // ETX where the payload belongs
    Bytes nak = dev_ok;
    nak[0] = 0x15;
    const struct {
        const char *name;
        Bytes bytes;
        std::string check;
    } cases[] = {
        {"NAK for STX", nak, "ERROR: Analize receive data(STX)."},
        {"no separator", cat({{0x02}, str("$WPDEV"), {0x01, 0x03, 0x00, 0x00}}),
         "ERROR: Analize receive data(HEADER)."},
        {"header $WX", frame("$WX", "DEV", {0x01}), "ERROR: Analize receive data(HEADER)."},
        {"header $WPX", frame("$WPX", "DE", {0x01}), "ERROR: Analize receive data(HEADER)."},
        {"header W", frame("W", "DEVXY", {0x01}), "ERROR: Analize receive data(HEADER)."},
        {"no second separator", cat({{0x02}, str("$WP:DEV"), {0x01, 0x03, 0x00}}),
         "ERROR: Analize receive data(COMMAND)."},
        {"wrong first letter", frame("$WP", "SEV", {0x01}),
         "ERROR: Analize receive data(COMMAND)."},
        {"empty command field", frame("$WP", "", {0x01, 0x01, 0x01}),
         "ERROR: Analize receive data(COMMAND)."},
        {"terminator", bad_etx, "ERROR: Analize receive data(ETX)."},
        {"one byte short", short_frame, "ERROR: Analize receive data(ETX)."},
        {"one byte long", cat({dev_ok, {0x03}}), ""},
        {"header $W, three letters", frame("$W", "DEV", {0x01, 0x00}),
         "ERROR: Analize receive data(ETX)."},
        {"header $W, parsed short", cat({frame("$W", "DEV", {0x01}), {0x00}}), ""},
    };
    for (const auto &c : cases) {
        const Outcome o = parse(CMD_N_DEV, c.bytes);
        EXPECT_EQ(o.rc, -1) << c.name;
        EXPECT_EQ(o.err, c.check + invalid(CMD_N_DEV)) << c.name;
    }
}

TEST_F(Parser, LeadingPartsOfTheHeaderAndOneLetterCommandsPass) {
    const struct {
        const char *name;
        int command;
        Bytes bytes;
    } cases[] = {
        {"$WP", CMD_N_DEV, frame("$WP", "DEV", {0x01})},
        {"$W + four letters", CMD_N_DEV, frame("$W", "DEVX", {0x01})},
        {"$ + five letters", CMD_N_DEV, frame("$", "DEVXY", {0x01})},
        {"empty + six letters", CMD_N_DEV, frame("", "DEVXYZ", {0x01})},
        {"IRV answered as IXY", CMD_N_IRV, frame("$WP", "IXY", str("ABCDEFGHIJKL"))},
        {"IRV answered as ISM", CMD_N_IRV, frame("$WP", "ISM", str("ABCDEFGHIJKL"))},
        {"status byte not judged here", CMD_N_ERS, frame("$WP", "ERS", {0x05})},
        {"RDT error status, no block", CMD_N_RDT, frame("$WP", "RDT", {0x07})},
    };
    for (const auto &c : cases) {
        reply.text = text;
        const Outcome o = parse(c.command, c.bytes);
        EXPECT_EQ(o.rc, 0) << c.name << ": " << o.err;
    }
}

TEST_F(Parser, ReadBlockWithoutItsSeparatorIsRejected) {
    g_block_size = 1024;
    Bytes f = rdt_frame(Bytes(1024, 0x55), 0);
    f[11 + 1024] = 0x00;
    const Outcome o = parse(CMD_N_RDT, f);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.err, "ERROR: RDT: Nothing flash read data!" + invalid(CMD_N_RDT));
}

TEST_F(Parser, ReadBlockPastTheReceivedFrameIsRejected) {
    // A long command field pushes the block behind the bytes received.
    g_block_size = 4096;
    const Bytes f =
        cat({{0x02}, str("$WP:R"), Bytes(4000, 'X'), {':', 0x00, ':'}, Bytes(100, ':')});
    const Outcome o = parse(CMD_N_RDT, f);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.err, "ERROR: RDT: Nothing flash read data!" + invalid(CMD_N_RDT));
}

TEST_F(Parser, CommandsWithoutAResponseFrameAreRejected) {
    for (int cmd : {static_cast<int>(CMD_N_ACK), 12, 1000}) {
        const Outcome o = parse(cmd, frame("$WP", "DEV", {0x01}));
        EXPECT_EQ(o.rc, -1);
        EXPECT_EQ(o.err, invalid(cmd));
    }
}

// Headers of length 0 to 3 and command fields of length 0 to 4100 move the
// data pointer; whatever the frame, the parser stays inside it (the
// sanitizer build checks every access).
TEST_F(Parser, NoAccessOutsideTheFrameForShiftedFields) {
    for (uint32_t bs : {1024u, 4096u}) {
        g_block_size = bs;
        for (size_t h = 0; h <= 3; ++h) {
            for (size_t k = 0; k <= 4100; k += (k < 20 ? 1 : 97)) {
                Bytes f = cat({{0x02},
                               str(std::string("$WP").substr(0, h)),
                               {':'},
                               k ? cat({{'R'}, Bytes(k - 1, 'Q')}) : Bytes{},
                               {':', 0x00, ':'}});
                f.resize(std::min<size_t>(FRAME_BUF_SIZE - 1, f.size() + bs + 3), ':');
                reply.data = nullptr;
                const Outcome o = parse(CMD_N_RDT, f);
                const bool wellformed = h == 3 && k == 3;
                if (!wellformed) {
                    EXPECT_EQ(o.rc, -1) << h << "/" << k;
                }
                ASSERT_TRUE(reply.data == nullptr || (reply.data >= g_frame_buf.data() &&
                                                      reply.data <= g_frame_buf.data() + f.size()));
            }
        }
    }
}

} // namespace
