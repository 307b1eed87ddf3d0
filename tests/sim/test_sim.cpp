// The simulated SYSCON's model of the device, driven with raw frames over its
// pseudo-terminal: the answers to every command, flash semantics, framing
// and each fault kind. Line settings it cannot read are met by the tool's ROM
// tests (a line at another rate) and the virtual board.
#include "simulator.h"

#include "pty.h"

#include <gtest/gtest.h>

using namespace syscon_sim;
using namespace testsupport;
using Bytes = std::vector<uint8_t>;

namespace {

Bytes h(const std::string &hex_text) {
    Bytes b;
    for (size_t i = 0; i + 1 < hex_text.size(); i += 3)
        b.push_back(static_cast<uint8_t>(std::stoul(hex_text.substr(i, 2), nullptr, 16)));
    return b;
}

struct Sim : ::testing::Test {
    void start(Config config = {}) {
        config.realtime = true;
        sim = std::make_unique<Simulator>(config);
        sim->start();
        port = open_raw_port(sim->slave_path(), 115200);
    }
    // Sends a frame, returns everything that comes back within `ms` (at most `count` bytes).
    std::string ask(const Bytes &frame, size_t count, int ms = 3000) {
        write_all(port.get(), frame);
        return hex(read_some(port.get(), count, ms));
    }

    std::unique_ptr<Simulator> sim;
    UniqueFd port;
};

// Versions and checksums of each area are met by the tool's ROM tests.
TEST_F(Sim, SelectionBlockSizeAndErase) {
    start();
    sim->fill_flash(1, 0x00);
    sim->write_flash(1, 0x160000, {0x55}); // just past the erased range
    const std::string R = "06 02 24 57 50 3A ";
    const std::pair<std::string, std::string> cases[] = {
        {"02 44 45 56 3A 01 03", R + "44 45 56 3A 01 03"},
        {"02 44 45 56 3A 07 03", R + "44 45 56 3A 01 03"}, // unknown id: selection kept
        {"02 53 49 5A 3A 00 00 04 00 03", R + "53 49 5A 3A 00 00 04 00 03"},
        {"02 53 49 5A 3A 00 00 02 00 03", R + "53 49 5A 3A 00 00 04 00 03"}, // size kept
        // ERS of 0x1000 at 0x15F000 on device 1; one reaching past its end; a bad sum.
        {"02 45 52 53 3A 00 15 F0 00 3A 00 00 10 00 3A 01 15 03", R + "45 52 53 3A 00 03"},
        {"02 45 52 53 3A 00 1F F0 00 3A 00 00 20 00 3A 01 2F 03", R + "45 52 53 3A 02 03"},
        {"02 45 52 53 3A 00 00 00 00 3A 00 00 10 00 3A 00 11 03", R + "45 52 53 3A 01 03"},
    };
    for (const auto &[request, reply] : cases)
        EXPECT_EQ(ask(h(request), 64, 300), reply) << request;
    EXPECT_EQ(sim->stats().device, 1);
    EXPECT_EQ(sim->stats().block_size, 1024u);
    EXPECT_EQ(sim->read_flash(1, 0x15EFFF, 3), h("00 FF FF"));
    EXPECT_EQ(sim->read_flash(1, 0x15FFFE, 3), h("FF FF 55")) << "exactly the range is erased";
}

// Reading blocks back with their sum is met by the tool's ROM tests.
TEST_F(Sim, ProgramsOldAndNew) {
    start();
    sim->write_flash(0, 0x1E8000, Bytes(4096, 0xF0));
    // WDT of 4096 bytes 0x3C at 0x1E8000: sum 0x1E + 0x80 + 4096 * 0x3C = 0x3C09E.
    std::string data;
    for (int i = 0; i < 4096; ++i)
        data += "3C ";
    const Bytes wdt = h("02 57 44 54 3A 00 1E 80 00 3A " + data + "3A C0 9E 03");
    EXPECT_EQ(ask(wdt, 64, 1000), "06 02 24 57 50 3A 57 44 54 3A 00 03");
    EXPECT_EQ(sim->stats().unerased_programs, 1) << "programmed over bytes that were not 0xFF";
    EXPECT_EQ(sim->read_flash(0, 0x1E8000, 4096), Bytes(4096, 0x30)) << "old AND new";
}

TEST_F(Sim, NoiseUnknownCodesPartialFramesAndTheAckModes) {
    const std::string dev1 = "06 02 24 57 50 3A 44 45 56 3A 01 03";
    for (bool after_frame : {false, true}) {
        Config config;
        config.ack_after_frame = after_frame;
        start(config);
        EXPECT_EQ(ask(h("41 42 02 58 59 5A"), 64, 300), "15") << "noise skipped, code NAKed";
        // The ACK comes once the code is in, or once the whole frame is; the
        // rest of the frame never comes, and the silence drops it.
        EXPECT_EQ(ask(h("02 44 45 56"), 64, 300), after_frame ? "" : "06");
        EXPECT_EQ(ask(h("02 44 45 56 3A 01 03"), 64, 300), dev1);
        EXPECT_EQ(sim->stats().requests["DEV"], 2);
    }
}

TEST_F(Sim, EachFaultKind) {
    const std::string R = "02 24 57 50 3A 44 45 56 3A 01 03";
    const struct {
        FaultKind kind;
        uint32_t param;
        std::string reply;
        int device_after;
    } cases[] = {
        {FaultKind::Nak, 0, "15", 0},
        {FaultKind::NoAck, 0, "", 0},
        {FaultKind::NoResponse, 0, "06", 1},
        {FaultKind::WrongEcho, 9, "06 02 24 57 50 3A 44 45 56 3A 09 03", 0},
        {FaultKind::ShortResponse, 2, "06 02 24 57 50 3A 44 45 56 3A", 1},
        {FaultKind::ExtraBytes, 2, "06 " + R + " EE EE", 1},
        {FaultKind::GarbageBeforeStx, 1, "06 A5 " + R, 1},
        {FaultKind::Hang, 0, "", 0},
    };
    for (const auto &c : cases) {
        start();
        sim->add_fault({"DEV", 0, c.kind, c.param});
        EXPECT_EQ(ask(h("02 44 45 56 3A 01 03"), 64, 300), c.reply) << c.reply;
        EXPECT_EQ(sim->stats().device, c.device_after) << c.reply;
    }
    // The block faults of RDT are met by the tool's protocol tests.
    EXPECT_THROW(sim->add_fault({"DEV", 0, FaultKind::CorruptBlock, 0}), std::invalid_argument);
}

} // namespace
