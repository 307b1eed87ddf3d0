// The real update_syscon binary as a user runs it: options, keywords, the
// usage text, start-up order, located messages and exit statuses, and the
// line settings it leaves on a terminal. No SYSCON answers here.
#include "pty.h"
#include "tool.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <termios.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

std::string usage_text(const std::string &name) {
    return "Usage: " + name +
           " [option...]\n"
           "Display command usage :\n"
           "  -h\t\t:Output help message\n"
           "SYSCON update option:\n"
           "  -s\t[addr],[size]\tskip area.\n"
           "  -b [BAUD]\t\tUART BAUD RATE\n"
           "  -d [device]\tUART Device\n"
           "  -o [operation]\twrite:Erase and Wirte\n"
           "  -t [target]\tTARTGET-ROM Area\n"
           "  -f [file]\t\tInput ROM-IMAGE file\n"
           "\n"
           "SYSCON version check option:\n"
           "  -b [BAUD]\t\tUART BAUD RATE(ex. 115200)\n"
           "  -d [device]\tUART Device(ex. /dev/ttyS1)\n"
           "  -o [operation]\tversion:Check TARGET-ROM Version\n"
           "  -t [target]\tTARGET-ROM Area\n"
           "  -f [file]\t\tOutput version number to file\n"
           "\n"
           "SYSCON read back option:\n"
           "  -b [BAUD]\t\tUART BAUD RATE\n"
           "  -d [device]\tUART Device\n"
           "  -o [operation]\tread:Read TARGET-ROM\n"
           "  -t [target]\tTARGET-ROM Area\n"
           "  -f [file]\t\tOutput ROM-IMAGE file\n"
           "\n";
}

const std::string USAGE = usage_text("update_syscon");
const std::string UART_FAIL = "update_syscon(1550): ERROR: Initialize UART device fail.\n";

struct Case {
    const char *name;
    std::vector<std::string> args;
    int status;
    std::string err;
};

void expect_run(const Case &c) {
    const ToolResult r = run_tool(c.args);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(r.out, "") << c.name;
    EXPECT_EQ(r.err, c.err) << c.name;
}

// Runs without a terminal at all: everything here ends before or at the port set-up.
TEST(CommandLine, OptionErrorsHelpAndPortFailures) {
    const std::string tool = tool_path();
    const Case cases[] = {
        {"no arguments",
         {},
         1,
         "update_syscon(436): ERROR: No device specification.\n" + UART_FAIL},
        {"-h", {"-h"}, 0, USAGE},
        {"-o write -h", {"-o", "write", "-h"}, 0, USAGE},
        {"-h -o bogus", {"-h", "-o", "bogus"}, 0, USAGE},
        {"-o bogus -h", {"-o", "bogus", "-h"}, 1, "ERROR: Invalid option -o bogus \n" + USAGE},
        {"-t Apli",
         {"-d", "/dev/null", "-t", "Apli"},
         1,
         "ERROR: Invalid option -t Apli \n" + USAGE},
        {"unknown letter",
         {"-x"},
         1,
         tool + ": invalid option -- 'x'\nERROR: Invalid option 'x'\n" + USAGE},
        {"missing argument",
         {"-o", "read", "-d"},
         1,
         tool + ": option requires an argument -- 'd'\nERROR: Invalid option 'd'\n" + USAGE},
        {"device missing",
         {"-d", "/nonexistent/ttyS9", "-o", "write"},
         1,
         "update_syscon(432): ERROR: No such file or directory, /nonexistent/ttyS9\n" + UART_FAIL},
        {"not a terminal",
         {"-d", "/dev/null", "-o", "version", "-t", "ipl"},
         1,
         "update_syscon(444): ERROR: Inappropriate ioctl for device\n" + UART_FAIL},
        {"keywords are checked before the port",
         {"-d", "/nonexistent", "-o", "Write"},
         1,
         "ERROR: Invalid option -o Write \n" + USAGE},
    };
    for (const Case &c : cases)
        expect_run(c);
}

TEST(CommandLine, UsageNamesTheToolByItsLastPathComponent) {
    const ToolResult r = run_tool({"-h"}, 10000, "/usr/local/bin/tool");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, usage_text("tool"));
    const ToolResult long_name = run_tool({"-h"}, 10000, "/x/" + std::string(300, 'n'));
    EXPECT_EQ(long_name.err, usage_text(std::string(252, 'n'))) << "argv[0] is cut at 255 bytes";
}

class OnTerminal : public ::testing::Test {
  protected:
    void SetUp() override {
        pty.hold_slave();
        dir = fs::temp_directory_path() / ("syscon_cli_" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::vector<std::string> on_port(std::vector<std::string> args) {
        args.insert(args.begin(), {"-d", pty.slave_path()});
        return args;
    }
    // Nothing the tool wrote reached the line.
    void expect_line_silent() { EXPECT_EQ(hex(read_some(pty.master(), 64, 200)), ""); }

    PtyPair pty;
    fs::path dir;
};

TEST_F(OnTerminal, FileAndOperationErrorsComeAfterThePortSetUp) {
    const std::string missing = (dir / "no" / "such.bin").string();
    const Case cases[] = {
        {"no -o", on_port({}), 255, "update_syscon(1610): ERROR: Fatal Error of System!\n"},
        {"write without -f", on_port({"-o", "write", "-t", "ipl"}), 11,
         "update_syscon(1566): ERROR: No file specification.\n"},
        {"read without -f", on_port({"-o", "R", "-t", "ipl"}), 11,
         "update_syscon(1585): ERROR: No file specification.\n"},
        {"image cannot be opened", on_port({"-o", "w", "-t", "i", "-f", missing}), 11,
         "update_syscon(1561): ERROR: cannot open \"" + missing +
             "\":  No such file or directory\n"},
        {"read-back file cannot be opened", on_port({"-o", "read", "-t", "font", "-f", missing}),
         11,
         "update_syscon(1580): ERROR: cannot open \"" + missing +
             "\":  No such file or directory\n"},
        {"version into an unopenable file, no target", on_port({"-o", "version", "-f", missing}),
         255, "ERROR: Unknouwn Target\n"},
        {"checksum without target", on_port({"-o", "checksum"}), 255, "ERROR: Unknouwn Target\n"},
        {"local checksum without target", on_port({"-o", "c", "-s", "0,1000"}), 11,
         "ERROR: Unknouwn Target\n"},
        {"write without target", on_port({"-o", "write", "-f", "/dev/null"}), 11,
         "ERROR: Unknouwn Target\n"},
        {"write with skip area, without target",
         on_port({"-o", "write", "-f", "/dev/null", "-s", "0,1000"}), 11,
         "ERROR: Unknouwn Target\n"},
    };
    for (const Case &c : cases)
        expect_run(c);
    expect_line_silent();
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(OnTerminal, ReadWithoutTargetLeavesAnEmptyFile) {
    const fs::path out = dir / "old.bin";
    std::ofstream(out) << "previous contents";
    const ToolResult r = run_tool(on_port({"-o", "read", "-f", out.string()}));
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: Unknouwn Target\n");
    EXPECT_EQ(fs::file_size(out), 0u);
    expect_line_silent();
}

TEST_F(OnTerminal, QueriesWithoutTargetLeaveTheirFileEmpty) {
    for (const char *op : {"version", "checksum"}) {
        const fs::path out = dir / (std::string(op) + ".txt");
        std::ofstream(out) << "stale";
        const ToolResult r = run_tool(on_port({"-o", op, "-f", out.string()}));
        EXPECT_EQ(r.status, 255) << op;
        EXPECT_EQ(r.err, "ERROR: Unknouwn Target\n") << op;
        EXPECT_EQ(fs::file_size(out), 0u) << op;
    }
}

// The line settings the tool leaves behind: raw 8N2 at the requested rate.
TEST_F(OnTerminal, LineSettingsForEachRate) {
    const struct {
        std::vector<std::string> rate_args;
        speed_t speed; // 0 with `custom` for a custom rate
        uint32_t custom;
    } cases[] = {
        {{}, B38400, 0},
        {{"-b", "38400"}, B38400, 0},
        {{"-b", "115200"}, B115200, 0},
        {{"-b", "0x1C200"}, B115200, 0},
        {{"-b", "230400"}, B230400, 0},
        {{"-b", "9600"}, B9600, 0},
        {{"-b", "0"}, B0, 0},
        {{"-b", "460800"}, 0, 460800},
        {{"-b", "250000"}, 0, 250000},
        {{"-b", "921600"}, 0, 921600},
    };
    for (const auto &c : cases) {
        const std::string name = c.rate_args.empty() ? "default" : c.rate_args[1];
        const ToolResult r = run_tool(on_port(c.rate_args));
        ASSERT_EQ(r.status, 255) << name << r.err;
        const LineState s = read_line_state(pty.master());
        EXPECT_EQ(s.iflag, static_cast<uint32_t>(IGNPAR)) << name;
        EXPECT_EQ(s.oflag, 0u) << name;
        EXPECT_EQ(s.lflag, 0u) << name;
        EXPECT_EQ(s.cflag & ~static_cast<uint32_t>(CBAUD | CIBAUD),
                  static_cast<uint32_t>(CS8 | CSTOPB | CREAD | CLOCAL))
            << name << ": no parity, no flow control, no hang-up on close";
        EXPECT_EQ(s.cc[VMIN], 0) << name;
        EXPECT_EQ(s.cc[VTIME], 0) << name;
        EXPECT_EQ(s.cc[VEOL2], 10) << name;
        EXPECT_EQ(s.cflag & CIBAUD, 0u) << name << ": input follows the output speed";
        if (c.custom) {
            EXPECT_TRUE(s.custom_speed()) << name;
            EXPECT_EQ(s.ospeed, c.custom) << name;
        } else {
            EXPECT_EQ(s.speed_code(), static_cast<uint32_t>(c.speed)) << name;
        }
    }
}

TEST_F(OnTerminal, VersionAtACustomRateLeavesExactly460800) {
    // Nobody answers: three silent tries, then the query fails.
    const ToolResult r = run_tool(on_port({"-b", "460800", "-o", "version", "-t", "ipl"}));
    EXPECT_EQ(r.status, 255);
    const std::string timeout = "update_syscon(285): ERROR: timeout\n";
    EXPECT_EQ(r.err,
              timeout + timeout + timeout + "ERROR: Transmit Retry OUT(3): CMD_N_*** = 1)\n");
    EXPECT_EQ(hex(read_some(pty.master(), 15, 1000)),
              "02 49 52 56 03 02 49 52 56 03 02 49 52 56 03");
    const LineState s = read_line_state(pty.master());
    EXPECT_TRUE(s.custom_speed());
    EXPECT_EQ(s.ospeed, 460800u);
    EXPECT_EQ(s.cflag & CSIZE, static_cast<uint32_t>(CS8));
    EXPECT_TRUE(s.cflag & CSTOPB);
    EXPECT_FALSE(s.cflag & PARENB);
}

} // namespace
