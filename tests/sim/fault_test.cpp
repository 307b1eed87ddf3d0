// Injected faults: each kind, its occurrence rule, and its trace line.
#include "sim_fixture.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <unistd.h>

using namespace simtest;
using syscon_sim::Config;
using syscon_sim::Fault;
using syscon_sim::FaultKind;
using testsupport::hex;

namespace {

const char kDevOneReply[] = "06 02 24 57 50 3A 44 45 56 3A 01 03";

TEST_F(SimTest, EachFaultKindChangesTheExchangeAsNamed) {
    struct Case {
        const char *what;
        Fault fault;
        Bytes request;
        const char *reply; // all that arrives, in hex
    };
    const Case cases[] = {
        {"nak", {"DEV", 1, FaultKind::Nak, 0}, dev_frame(1), "15"},
        {"no ack", {"DEV", 1, FaultKind::NoAck, 0}, dev_frame(1), ""},
        {"no response", {"DEV", 1, FaultKind::NoResponse, 0}, dev_frame(1), "06"},
        {"status",
         {"ERS", 1, FaultKind::Status, 5},
         ers_frame(0, 0x1000),
         "06 02 24 57 50 3A 45 52 53 3A 05 03"},
        {"status of RDT drops the block",
         {"RDT", 1, FaultKind::Status, 0x80},
         rdt_frame(0),
         "06 02 24 57 50 3A 52 44 54 3A 80 03"},
        {"DEV echo",
         {"DEV", 1, FaultKind::WrongEcho, 7},
         dev_frame(1),
         "06 02 24 57 50 3A 44 45 56 3A 07 03"},
        {"SIZ echo",
         {"SIZ", 1, FaultKind::WrongEcho, 1024},
         siz_frame(4096),
         "06 02 24 57 50 3A 53 49 5A 3A 00 00 04 00 03"},
        {"short",
         {"DEV", 1, FaultKind::ShortResponse, 0},
         dev_frame(1),
         "06 02 24 57 50 3A 44 45 56 3A 01"},
        {"short by 3",
         {"DEV", 1, FaultKind::ShortResponse, 3},
         dev_frame(1),
         "06 02 24 57 50 3A 44 45 56"},
        {"extra",
         {"DEV", 1, FaultKind::ExtraBytes, 2},
         dev_frame(1),
         "06 02 24 57 50 3A 44 45 56 3A 01 03 EE EE"},
        {"garbage",
         {"DEV", 1, FaultKind::GarbageBeforeStx, 3},
         dev_frame(1),
         "06 A5 A5 A5 02 24 57 50 3A 44 45 56 3A 01 03"},
    };
    start();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sim->clear_faults();
        sim->reset_statistics();
        sim->add_fault(c.fault);
        const size_t count = (std::string(c.reply).size() + 1) / 3;
        if (count == 0)
            client->send(c.request);
        else
            EXPECT_EQ(hex(client->exchange(c.request, count)), c.reply);
        EXPECT_TRUE(client->silent_for(count == 0 ? 500 : 100));
    }
}

TEST_F(SimTest, NakedUnheardAndRefusedRequestsAreNotCarriedOut) {
    start();
    const struct {
        FaultKind kind;
        size_t reply;
    } cases[] = {{FaultKind::Nak, 1}, {FaultKind::NoAck, 0}, {FaultKind::WrongEcho, 12}};
    for (const auto &c : cases) {
        sim->clear_faults();
        sim->add_fault({"DEV", 0, c.kind, 9});
        EXPECT_EQ(client->exchange(dev_frame(1), c.reply).size(), c.reply);
        EXPECT_TRUE(client->silent_for(300));
        EXPECT_EQ(sim->selected_device(), 0);
    }
    sim->clear_faults();
    sim->write_flash(0, 0, Bytes(4096, 0x00));
    sim->add_fault({"ERS", 0, FaultKind::Status, 3});
    EXPECT_EQ(client->exchange(ers_frame(0, 0x1000), 12).size(), 12u);
    EXPECT_EQ(sim->read_flash(0, 0, 4096), Bytes(4096, 0x00));
    sim->clear_faults();
    sim->add_fault({"WDT", 0, FaultKind::Nak, 0});
    EXPECT_EQ(hex(client->exchange(wdt_frame(0x1000, Bytes(4096, 0x00)), 1)), "15");
    EXPECT_TRUE(client->silent_for(100));
    EXPECT_EQ(sim->read_flash(0, 0x1000, 4096), Bytes(4096, 0xFF));
    // A NAKed WDT frame is still taken whole: the next frame is served.
    EXPECT_EQ(hex(client->exchange(dev_frame(1), 12)), kDevOneReply);
}

TEST_F(SimTest, NoResponseStillCarriesOutTheRequest) {
    start();
    sim->write_flash(0, 0, Bytes(4096, 0x00));
    sim->add_fault({"ERS", 1, FaultKind::NoResponse, 0});
    EXPECT_EQ(hex(client->exchange(ers_frame(0, 0x1000), 1)), "06");
    EXPECT_TRUE(client->silent_for(300));
    EXPECT_EQ(sim->read_flash(0, 0, 4096), Bytes(4096, 0xFF));
}

TEST_F(SimTest, CorruptBlockChangesOneByteButNotTheSum) {
    start();
    Bytes block(4096);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i);
    sim->write_flash(0, 0x10000, block);
    sim->add_fault({"RDT", 1, FaultKind::CorruptBlock, 5});
    const Bytes reply = client->exchange(rdt_frame(0x10000), 4112);
    Bytes corrupted = block;
    corrupted[5] = 0xFA;
    const Bytes expected = cat(
        {{0x06, 0x02, '$', 'W', 'P', ':', 'R', 'D', 'T', ':', 0x00, ':'},
         corrupted,
         {':', static_cast<uint8_t>(sum16(block) >> 8), static_cast<uint8_t>(sum16(block)), 0x03}});
    EXPECT_EQ(reply, expected);
    // The second read is clean.
    EXPECT_EQ(client->exchange(rdt_frame(0x10000), 4112), cat({{0x06}, rdt_response(block)}));
}

TEST_F(SimTest, WrongSumSendsTheBlockWithASumOneHigh) {
    start();
    sim->add_fault({"RDT", 1, FaultKind::WrongSum, 0});
    const Bytes erased(4096, 0xFF); // sums to 0xF000
    EXPECT_EQ(client->exchange(rdt_frame(0), 4112),
              cat({{0x06, 0x02, '$', 'W', 'P', ':', 'R', 'D', 'T', ':', 0x00, ':'},
                   erased,
                   {':', 0xF0, 0x01, 0x03}}));
}

TEST_F(SimTest, DelayHoldsTheResponseBack) {
    start();
    sim->add_fault({"DEV", 1, FaultKind::Delay, 400});
    client->send(dev_frame(1));
    EXPECT_EQ(hex(client->recv(1)), "06");
    const auto acked = std::chrono::steady_clock::now();
    EXPECT_EQ(hex(client->recv(11, 3000)), "02 24 57 50 3A 44 45 56 3A 01 03");
    EXPECT_GE(std::chrono::steady_clock::now() - acked, std::chrono::milliseconds(390));
}

TEST_F(SimTest, OccurrenceSelectsTheNthRequestOrEveryOne) {
    start();
    sim->add_fault({"DEV", 2, FaultKind::Nak, 0});
    sim->add_fault({"SIZ", 0, FaultKind::WrongEcho, 1024});
    EXPECT_EQ(hex(client->exchange(dev_frame(1), 12)), kDevOneReply);
    EXPECT_EQ(hex(client->exchange(dev_frame(1), 1)), "15");
    EXPECT_TRUE(client->silent_for(100));
    EXPECT_EQ(hex(client->exchange(dev_frame(1), 12)), kDevOneReply);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(hex(client->exchange(siz_frame(4096), 15)),
                  "06 02 24 57 50 3A 53 49 5A 3A 00 00 04 00 03");
    EXPECT_EQ(sim->requests("DEV"), 3);
    EXPECT_EQ(sim->requests("SIZ"), 3);
    EXPECT_EQ(sim->received_frames().size(), 6u);
    sim->clear_faults();
    EXPECT_EQ(hex(client->exchange(siz_frame(4096), 15)),
              "06 02 24 57 50 3A 53 49 5A 3A 00 00 10 00 03");
}

TEST(SimFaults, FaultsThatCannotApplyAreRefused) {
    syscon_sim::Simulator sim{Config{}};
    const Fault bad[] = {
        {"XYZ", 1, FaultKind::Nak, 0},       {"DEV", 1, FaultKind::Status, 1},
        {"ERS", 1, FaultKind::WrongEcho, 1}, {"WDT", 1, FaultKind::CorruptBlock, 0},
        {"ISM", 1, FaultKind::WrongSum, 0},  {"DEV", -1, FaultKind::Nak, 0},
    };
    for (const Fault &f : bad)
        EXPECT_THROW(sim.add_fault(f), std::invalid_argument) << f.cmd;
}

TEST_F(SimTest, FaultsAreTraced) {
    char path[] = "/tmp/sim_trace_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    Config config;
    config.trace_path = path;
    start(config);
    sim->add_fault({"DEV", 1, FaultKind::GarbageBeforeStx, 2});
    sim->add_fault({"ERS", 1, FaultKind::Status, 5});
    client->exchange(dev_frame(1), 14);
    client->exchange(ers_frame(0, 0x1000), 12);
    client.reset();
    sim->stop();
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    std::remove(path);
    const std::string t = text.str();
    EXPECT_NE(t.find("fault   DEV #1: 2 garbage byte(s) A5 before STX"), std::string::npos) << t;
    EXPECT_NE(t.find("fault   ERS #1: status 0x05, not carried out"), std::string::npos) << t;
    EXPECT_NE(t.find("rx      DEV id=1: 02 44 45 56 3A 01 03"), std::string::npos) << t;
    EXPECT_NE(t.find("tx      ERS status=0x05: 02 24 57 50 3A 45 52 53 3A 05 03"),
              std::string::npos)
        << t;
    EXPECT_NE(t.find("summary requests DEV=1 ERS=1; bytes in 25 out 26"), std::string::npos) << t;
}

} // namespace
