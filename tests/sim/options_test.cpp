// The program's command line, fault descriptions above all.
#include "options.h"

#include <gtest/gtest.h>

using syscon_sim::FaultKind;
using syscon_sim::parse_command_line;
using syscon_sim::parse_fault;
using syscon_sim::UsageError;

namespace {

TEST(FaultSpec, ValidSpecs) {
    struct Case {
        const char *text;
        const char *cmd;
        int occurrence;
        FaultKind kind;
        uint32_t param;
    };
    const Case cases[] = {
        {"ERS:1:status=5", "ERS", 1, FaultKind::Status, 5},
        {"RDT:*:corrupt", "RDT", 0, FaultKind::CorruptBlock, 0},
        {"RDT:2:corrupt=4095", "RDT", 2, FaultKind::CorruptBlock, 4095},
        {"rdt:3:badsum", "RDT", 3, FaultKind::WrongSum, 0},
        {"DEV:1:nak", "DEV", 1, FaultKind::Nak, 0},
        {"WDT:12:noack", "WDT", 12, FaultKind::NoAck, 0},
        {"IRV:*:noresponse", "IRV", 0, FaultKind::NoResponse, 0},
        {"SIZ:1:echo=0x400", "SIZ", 1, FaultKind::WrongEcho, 1024},
        {"FSM:1:short=2", "FSM", 1, FaultKind::ShortResponse, 2},
        {"ASM:1:extra", "ASM", 1, FaultKind::ExtraBytes, 0},
        {"ISM:1:garbage=3", "ISM", 1, FaultKind::GarbageBeforeStx, 3},
        {"ERS:1:delay=1500", "ERS", 1, FaultKind::Delay, 1500},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        const syscon_sim::Fault f = parse_fault(c.text);
        EXPECT_EQ(f.cmd, c.cmd);
        EXPECT_EQ(f.occurrence, c.occurrence);
        EXPECT_EQ(f.kind, c.kind);
        EXPECT_EQ(f.param, c.param);
    }
}

TEST(FaultSpec, InvalidSpecs) {
    const char *bad[] = {
        "ERS",           "ERS:1",         "ERS:0:nak",       "ERS:-1:nak",
        "ERS:x:nak",     "ERS:1:explode", "ERS:1:status=x",  "ERS:1:nak=3",
        "ERS:1:delay",   "DEV:1:echo",    "DEV:1:status",    "ERS:1:echo=1",
        "WDT:1:corrupt", "XYZ:1:nak",     "ERS:1:status=-1", "ERS:1:delay=99999999999",
    };
    for (const char *text : bad)
        EXPECT_THROW(parse_fault(text), UsageError) << text;
}

TEST(CommandLine, EveryOptionLandsInTheConfig) {
    const auto o = parse_command_line({"--link",
                                       "/tmp/x",
                                       "--once",
                                       "--baud",
                                       "115200",
                                       "--pace",
                                       "--ack-after-frame",
                                       "--max-block=1024",
                                       "--erase-ms",
                                       "3",
                                       "--program-ms",
                                       "4",
                                       "--version-text",
                                       "ipl=IPL X",
                                       "--version-text=apli=",
                                       "--load",
                                       "dev1=a.bin",
                                       "--save",
                                       "font=b.bin",
                                       "--fault",
                                       "ERS:1:nak",
                                       "--trace",
                                       "-"});
    EXPECT_EQ(o.link, "/tmp/x");
    EXPECT_TRUE(o.once);
    EXPECT_EQ(o.config.expect_baud, 115200u);
    EXPECT_TRUE(o.config.pace);
    EXPECT_TRUE(o.config.ack_after_frame);
    EXPECT_EQ(o.config.max_block, 1024u);
    EXPECT_EQ(o.config.erase_ms_per_block, 3u);
    EXPECT_EQ(o.config.program_ms_per_block, 4u);
    EXPECT_EQ(o.config.ipl_version, "IPL X");
    EXPECT_EQ(o.config.apli_version, "");
    EXPECT_EQ(o.config.font_version, syscon_sim::Config{}.font_version);
    ASSERT_EQ(o.loads.size(), 1u);
    EXPECT_EQ(o.loads[0], (std::pair<std::string, std::string>{"dev1", "a.bin"}));
    ASSERT_EQ(o.saves.size(), 1u);
    EXPECT_EQ(o.saves[0], (std::pair<std::string, std::string>{"font", "b.bin"}));
    ASSERT_EQ(o.faults.size(), 1u);
    EXPECT_EQ(o.config.trace_path, "-");
    EXPECT_FALSE(o.help);
}

TEST(CommandLine, MistakesAreUsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--baud"},
        {"--baud", "fast"},
        {"--max-block", "2048"},
        {"--once=yes"},
        {"--version-text", "boot=X"},
        {"--version-text", "ipl=THIRTEEN-CHAR"},
        {"--load", "apli"},
        {"--save", "rom=x.bin"},
        {"--fault", "DEV:1:status=1"},
    };
    for (const auto &args : bad)
        EXPECT_THROW(parse_command_line(args), UsageError) << args[0];
}

} // namespace
