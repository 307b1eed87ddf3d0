// The device side of the protocol, driven with raw request frames.
#include "sim_fixture.h"

#include <thread>

using namespace simtest;
using syscon_sim::Config;
using testsupport::hex;

namespace {

TEST_F(SimTest, DevOneIsAcknowledgedAndEchoed) {
    start();
    EXPECT_EQ(hex(client->exchange({0x02, 0x44, 0x45, 0x56, 0x3A, 0x01, 0x03}, 12)),
              "06 02 24 57 50 3A 44 45 56 3A 01 03");
    EXPECT_EQ(sim->selected_device(), 1);
    EXPECT_EQ(sim->requests("DEV"), 1);
}

// Every command with a fixed-size answer: request bytes in, ACK and response
// bytes out, against a flash whose area boundaries are marked.
TEST_F(SimTest, FixedSizeResponsesOfEveryCommand) {
    Config config;
    config.apli_version = "APP-2.34.567";
    config.ipl_version = "BOOT-9";
    config.font_version = "FONT-0.01.00";
    start(config);
    sim->fill_flash(0, 0x00);
    sim->fill_flash(1, 0x00);
    sim->write_flash(0, 0x1E7FFF, {0xAB, 0x12, 0x34}); // last apli byte, first ipl bytes
    sim->write_flash(0, 0x1FFFFF, {0x01});             // last ipl byte
    sim->write_flash(0, 0x100000, {0x77});             // apli, same address as font start
    sim->write_flash(1, 0x0FFFFF, {0x55, 0x01});       // before font, first font byte
    sim->write_flash(1, 0x15FFFF, {0xFF, 0x55});       // last font byte, after font

    struct Case {
        const char *what;
        Bytes request;
        Bytes reply; // ACK and response
    };
    const Case cases[] = {
        {"IRV", {0x02, 'I', 'R', 'V', 0x03}, {0x06, 0x02, '$', 'W', 'P', ':', 'I', 'R',
                                              'V',  ':',  'B', 'O', 'O', 'T', '-', '9',
                                              0,    0,    0,   0,   0,   0,   0x03}},
        {"ARV", {0x02, 'A', 'R', 'V', 0x03}, {0x06, 0x02, '$', 'W', 'P', ':', 'A', 'R',
                                              'V',  ':',  'A', 'P', 'P', '-', '2', '.',
                                              '3',  '4',  '.', '5', '6', '7', 0x03}},
        {"FRV", {0x02, 'F', 'R', 'V', 0x03}, {0x06, 0x02, '$', 'W', 'P', ':', 'F', 'R',
                                              'V',  ':',  'F', 'O', 'N', 'T', '-', '0',
                                              '.',  '0',  '1', '.', '0', '0', 0x03}},
        // 0x12 + 0x34 + 0x01
        {"ISM",
         {0x02, 'I', 'S', 'M', 0x03},
         {0x06, 0x02, '$', 'W', 'P', ':', 'I', 'S', 'M', ':', 0x00, 0x47, 0x03}},
        // 0x77 + 0xAB
        {"ASM",
         {0x02, 'A', 'S', 'M', 0x03},
         {0x06, 0x02, '$', 'W', 'P', ':', 'A', 'S', 'M', ':', 0x01, 0x22, 0x03}},
        // 0x01 + 0xFF
        {"FSM",
         {0x02, 'F', 'S', 'M', 0x03},
         {0x06, 0x02, '$', 'W', 'P', ':', 'F', 'S', 'M', ':', 0x01, 0x00, 0x03}},
        {"DEV 0",
         {0x02, 'D', 'E', 'V', ':', 0x00, 0x03},
         {0x06, 0x02, '$', 'W', 'P', ':', 'D', 'E', 'V', ':', 0x00, 0x03}},
        {"DEV 7 keeps 0",
         {0x02, 'D', 'E', 'V', ':', 0x07, 0x03},
         {0x06, 0x02, '$', 'W', 'P', ':', 'D', 'E', 'V', ':', 0x00, 0x03}},
        {"SIZ 1024",
         {0x02, 'S', 'I', 'Z', ':', 0x00, 0x00, 0x04, 0x00, 0x03},
         {0x06, 0x02, '$', 'W', 'P', ':', 'S', 'I', 'Z', ':', 0x00, 0x00, 0x04, 0x00, 0x03}},
        {"SIZ 2048 keeps 1024",
         {0x02, 'S', 'I', 'Z', ':', 0x00, 0x00, 0x08, 0x00, 0x03},
         {0x06, 0x02, '$', 'W', 'P', ':', 'S', 'I', 'Z', ':', 0x00, 0x00, 0x04, 0x00, 0x03}},
        {"SIZ 4096",
         {0x02, 'S', 'I', 'Z', ':', 0x00, 0x00, 0x10, 0x00, 0x03},
         {0x06, 0x02, '$', 'W', 'P', ':', 'S', 'I', 'Z', ':', 0x00, 0x00, 0x10, 0x00, 0x03}},
        {"ERS ipl",
         {0x02, 'E', 'R', 'S', ':', 0x00, 0x1E, 0x80, 0x00, ':', 0x00, 0x01, 0x80, 0x00, ':', 0x01,
          0x1F, 0x03},
         {0x06, 0x02, '$', 'W', 'P', ':', 'E', 'R', 'S', ':', 0x00, 0x03}},
        {"ERS of zero bytes",
         ers_frame(0x1E8000, 0),
         {0x06, 0x02, '$', 'W', 'P', ':', 'E', 'R', 'S', ':', 0x00, 0x03}},
        {"ERS past the device end",
         ers_frame(0x1FF000, 0x2000),
         {0x06, 0x02, '$', 'W', 'P', ':', 'E', 'R', 'S', ':', 0x02, 0x03}},
        {"ERS wrapping around",
         ers_frame(0x1FF000, 0xFFFFF000),
         {0x06, 0x02, '$', 'W', 'P', ':', 'E', 'R', 'S', ':', 0x02, 0x03}},
        {"WDT",
         wdt_frame(0x000000, Bytes(4096, 0x5A)),
         {0x06, 0x02, '$', 'W', 'P', ':', 'W', 'D', 'T', ':', 0x00, 0x03}},
        {"WDT past the device end",
         wdt_frame(0x1FF800, Bytes(4096, 0x5A)),
         {0x06, 0x02, '$', 'W', 'P', ':', 'W', 'D', 'T', ':', 0x02, 0x03}},
        {"RDT past the device end",
         {0x02, 'R', 'D', 'T', ':', 0x00, 0x1F, 0xF8, 0x00, ':', 0x01, 0x17, 0x03},
         {0x06, 0x02, '$', 'W', 'P', ':', 'R', 'D', 'T', ':', 0x02, 0x03}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(hex(client->exchange(c.request, c.reply.size())), hex(c.reply));
        EXPECT_TRUE(client->silent_for(30));
    }
    EXPECT_EQ(sim->read_flash(0, 0x1E7FFF, 2), (Bytes{0xAB, 0xFF})) << "ERS of ipl only";
    EXPECT_EQ(sim->read_flash(0, 0x1FFFFF, 1), (Bytes{0xFF}));
    EXPECT_EQ(sim->read_flash(0, 0x1FF000, 1), (Bytes{0xFF})) << "failed ERS changed nothing";
    EXPECT_EQ(sim->read_flash(0, 0x000000, 4096), Bytes(4096, 0x00)) << "0x00 AND 0x5A";
    EXPECT_EQ(sim->read_flash(0, 0x1FF800, 1), (Bytes{0xFF})) << "WDT past the end wrote nothing";
}

TEST_F(SimTest, ReadOfBootLoaderBlockCarriesItsSumAndErasedBlocksReadFF) {
    start();
    Bytes block(4096);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    sim->write_flash(0, 0x1E8000, block);
    select(0);

    const Bytes reply = client->exchange(rdt_frame(0x1E8000), 1 + 4111);
    ASSERT_EQ(reply.size(), 4112u);
    EXPECT_EQ(reply[0], 0x06);
    const Bytes frame(reply.begin() + 1, reply.end());
    EXPECT_EQ(hex(Bytes(frame.begin(), frame.begin() + 11)), "02 24 57 50 3A 52 44 54 3A 00 3A");
    EXPECT_EQ(Bytes(frame.begin() + 11, frame.begin() + 11 + 4096), block);
    EXPECT_EQ(frame[4107], ':');
    EXPECT_EQ(frame[4108] << 8 | frame[4109], sum16(block));
    EXPECT_EQ(frame[4110], 0x03);

    EXPECT_EQ(hex(client->exchange(ers_frame(0x1E8000, 0x1000), 12)),
              "06 02 24 57 50 3A 45 52 53 3A 00 03");
    EXPECT_EQ(client->exchange(rdt_frame(0x1E8000), 4112),
              cat({{0x06}, rdt_response(Bytes(4096, 0xFF))}));
}

TEST_F(SimTest, SmallBlocksFrameReadsAndWritesAt1024) {
    start();
    select(1, 1024);
    Bytes data(1024);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    // A 1038-byte WDT frame is complete at 1024 data bytes.
    EXPECT_EQ(hex(client->exchange(wdt_frame(0x100400, data), 12)),
              "06 02 24 57 50 3A 57 44 54 3A 00 03");
    EXPECT_EQ(client->exchange(rdt_frame(0x100400), 1040), cat({{0x06}, rdt_response(data)}));
    EXPECT_EQ(sim->read_flash(1, 0x100400, 1024), data);
    EXPECT_EQ(sim->read_flash(1, 0x100800, 1), (Bytes{0xFF}));
    EXPECT_EQ(sim->read_flash(0, 0x100400, 1), (Bytes{0xFF})) << "device 1 was selected";
}

TEST_F(SimTest, ProgrammingAndsWithOldContentsAndCountsUnerasedBlocks) {
    start();
    select(0);
    sim->write_flash(0, 0x2000, Bytes(4096, 0xF0));
    EXPECT_EQ(client->exchange(wdt_frame(0x1000, Bytes(4096, 0x3C)), 12).size(), 12u);
    EXPECT_EQ(sim->unerased_programs(), 0);
    EXPECT_EQ(client->exchange(wdt_frame(0x2000, Bytes(4096, 0x3C)), 12).size(), 12u);
    EXPECT_EQ(sim->unerased_programs(), 1);
    EXPECT_EQ(sim->read_flash(0, 0x1000, 4096), Bytes(4096, 0x3C));
    EXPECT_EQ(sim->read_flash(0, 0x2000, 4096), Bytes(4096, 0x30));
    // Programming the same block again: still over unerased bytes.
    EXPECT_EQ(client->exchange(wdt_frame(0x1000, Bytes(4096, 0x0F)), 12).size(), 12u);
    EXPECT_EQ(sim->unerased_programs(), 2);
    EXPECT_EQ(sim->read_flash(0, 0x1000, 4096), Bytes(4096, 0x0C));
    EXPECT_NE(sim->summary().find("unerased programs 2"), std::string::npos) << sim->summary();
}

// Frames are taken by length, so data equal to STX, ETX or ':' is just data.
TEST_F(SimTest, DataBytesThatLookLikeFramingAreData) {
    start();
    select(0);
    Bytes data(4096);
    const uint8_t tricky[] = {0x02, 0x03, 0x3A, 0x06, 0x15};
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = tricky[i % 5];
    const uint32_t addr = 0x023A00; // address bytes 00 02 3A 00
    EXPECT_EQ(hex(client->exchange(wdt_frame(addr, data), 12)),
              "06 02 24 57 50 3A 57 44 54 3A 00 03");
    EXPECT_EQ(sim->read_flash(0, addr, 4096), data);
    EXPECT_EQ(client->exchange(rdt_frame(addr), 4112), cat({{0x06}, rdt_response(data)}));
}

TEST_F(SimTest, BadFramesAreNotCarriedOut) {
    start();
    select(0);
    sim->write_flash(0, 0x4000, Bytes(4096, 0x11));
    Bytes bad_sum = ers_frame(0x4000, 0x1000);
    bad_sum[16] ^= 0x01;
    Bytes bad_sep = ers_frame(0x4000, 0x1000);
    bad_sep[9] = ';';
    Bytes bad_etx = ers_frame(0x4000, 0x1000);
    bad_etx[17] = 0x04;
    Bytes wdt_bad_sum = wdt_frame(0x4000, Bytes(4096, 0x00));
    wdt_bad_sum[4107] ^= 0x80;
    Bytes wdt_bad_sep = wdt_frame(0x4000, Bytes(4096, 0x00));
    wdt_bad_sep[4106] = 0x00;
    Bytes rdt_bad_sum = rdt_frame(0x4000);
    rdt_bad_sum[11] ^= 0x01;

    struct Case {
        const char *what;
        Bytes request;
        const char *reply;
    };
    const Case status_cases[] = {
        {"ERS sum", bad_sum, "06 02 24 57 50 3A 45 52 53 3A 01 03"},
        {"ERS separator", bad_sep, "06 02 24 57 50 3A 45 52 53 3A 01 03"},
        {"ERS ETX", bad_etx, "06 02 24 57 50 3A 45 52 53 3A 01 03"},
        {"WDT sum", wdt_bad_sum, "06 02 24 57 50 3A 57 44 54 3A 01 03"},
        {"WDT separator", wdt_bad_sep, "06 02 24 57 50 3A 57 44 54 3A 01 03"},
        {"RDT sum", rdt_bad_sum, "06 02 24 57 50 3A 52 44 54 3A 01 03"},
    };
    for (const Case &c : status_cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(hex(client->exchange(c.request, 12)), c.reply);
        EXPECT_TRUE(client->silent_for(30));
    }
    EXPECT_EQ(sim->read_flash(0, 0x4000, 4096), Bytes(4096, 0x11));

    // Without a status byte there is no response at all, only the ACK.
    const Bytes silent_cases[] = {
        {0x02, 'D', 'E', 'V', ':', 0x01, 0x04},
        {0x02, 'D', 'E', 'V', '-', 0x01, 0x03},
        {0x02, 'S', 'I', 'Z', ':', 0x00, 0x00, 0x04, 0x00, 0x00},
        {0x02, 'I', 'R', 'V', 0x02},
        {0x02, 'F', 'S', 'M', ':'},
    };
    for (const Bytes &request : silent_cases) {
        SCOPED_TRACE(hex(request));
        EXPECT_EQ(hex(client->exchange(request, 1)), "06");
        EXPECT_TRUE(client->silent_for(150));
    }
    EXPECT_EQ(sim->selected_device(), 0);
    EXPECT_EQ(sim->block_size(), 4096u);
}

TEST_F(SimTest, UnknownCodeIsNakedAndTheNextFrameServed) {
    start();
    EXPECT_EQ(hex(client->exchange({0x02, 'X', 'Y', 'Z', ':', 0x01, 0x03}, 1)), "15");
    EXPECT_TRUE(client->silent_for(100));
    EXPECT_EQ(hex(client->exchange({0x02, 'd', 'e', 'v', ':', 0x01, 0x03}, 1)), "15");
    EXPECT_TRUE(client->silent_for(100));
    EXPECT_EQ(hex(client->exchange(dev_frame(1), 12)), "06 02 24 57 50 3A 44 45 56 3A 01 03");
    const auto frames = sim->received_frames();
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(hex(frames[0]), "02 58 59 5A");
    EXPECT_EQ(hex(frames[2]), "02 44 45 56 3A 01 03");
    EXPECT_EQ(sim->requests("DEV"), 1);
}

TEST_F(SimTest, NoiseBeforeStxIsSkipped) {
    start();
    EXPECT_EQ(hex(client->exchange(cat({{0x00, 0x03, 0x3A, 0xFF}, dev_frame(1)}), 12)),
              "06 02 24 57 50 3A 44 45 56 3A 01 03");
}

TEST_F(SimTest, AckComesAsSoonAsTheCodeIsIn) {
    start();
    select(0);
    const Bytes frame = wdt_frame(0x8000, Bytes(4096, 0x42));
    client->send(Bytes(frame.begin(), frame.begin() + 4));
    EXPECT_EQ(hex(client->recv(1)), "06");
    EXPECT_TRUE(client->silent_for(30));
    client->send(Bytes(frame.begin() + 4, frame.end()));
    EXPECT_EQ(hex(client->recv(11)), "02 24 57 50 3A 57 44 54 3A 00 03");
}

TEST_F(SimTest, AckAfterFrameWaitsForTheWholeFrame) {
    Config config;
    config.ack_after_frame = true;
    start(config);
    const Bytes frame = dev_frame(1);
    client->send(Bytes(frame.begin(), frame.begin() + 6));
    EXPECT_TRUE(client->silent_for(30));
    client->send(Bytes(frame.begin() + 6, frame.end()));
    EXPECT_EQ(hex(client->recv(12)), "06 02 24 57 50 3A 44 45 56 3A 01 03");
    // An unknown code cannot be measured out: NAK at once.
    EXPECT_EQ(hex(client->exchange({0x02, 'Q', 'Q', 'Q'}, 1)), "15");
    EXPECT_TRUE(client->silent_for(100));
}

TEST_F(SimTest, PartialFrameIsDroppedAfterSilence) {
    start();
    client->send({0x02, 'D', 'E', 'V', ':'});
    EXPECT_EQ(hex(client->recv(1)), "06");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(hex(client->exchange(dev_frame(1), 12)), "06 02 24 57 50 3A 44 45 56 3A 01 03");
    const auto frames = sim->received_frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(hex(frames[0]), "02 44 45 56 3A");
}

TEST_F(SimTest, MaxBlock1024AnswersSiz4096With1024) {
    Config config;
    config.max_block = 1024;
    start(config);
    EXPECT_EQ(hex(client->exchange(siz_frame(4096), 15)),
              "06 02 24 57 50 3A 53 49 5A 3A 00 00 04 00 03");
    EXPECT_EQ(hex(client->exchange(siz_frame(1024), 15)),
              "06 02 24 57 50 3A 53 49 5A 3A 00 00 04 00 03");
    EXPECT_EQ(sim->block_size(), 1024u);
}

TEST(SimConfig, RefusesUnsupportedSettings) {
    Config big;
    big.max_block = 2048;
    EXPECT_THROW(syscon_sim::Simulator{big}, std::invalid_argument);
    Config text;
    text.ipl_version = "THIRTEEN-CHAR";
    EXPECT_THROW(syscon_sim::Simulator{text}, std::invalid_argument);
}

TEST(SimFlash, ApiRangesAreChecked) {
    syscon_sim::Simulator sim{Config{}};
    EXPECT_THROW(sim.read_flash(2, 0, 1), std::out_of_range);
    EXPECT_THROW(sim.read_flash(0, 0x1FFFFF, 2), std::out_of_range);
    EXPECT_THROW(sim.write_flash(1, 0x200000, {1}), std::out_of_range);
    EXPECT_EQ(sim.read_flash(1, 0x1FFFFF, 1), (Bytes{0xFF}));
}

} // namespace
