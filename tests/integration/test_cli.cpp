// The real update_syscon binary as a user runs it, with no SYSCON answering:
// options, the usage text, start-up order, located messages, exit statuses,
// and the line settings it leaves on a terminal.
#include "pty.h"
#include "tool.h"

#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <termios.h>

using namespace testsupport;
namespace fs = std::filesystem;

namespace {

std::string usage(const std::string &name) {
    return "Usage: " + name +
           " [option...]\nDisplay command usage :\n  -h\t\t:Output help message\n"
           "SYSCON update option:\n  -s\t[addr],[size]\tskip area.\n  -b [BAUD]\t\tUART BAUD RATE\n"
           "  -d [device]\tUART Device\n  -o [operation]\twrite:Erase and Wirte\n"
           "  -t [target]\tTARTGET-ROM Area\n  -f [file]\t\tInput ROM-IMAGE file\n\n"
           "SYSCON version check option:\n  -b [BAUD]\t\tUART BAUD RATE(ex. 115200)\n"
           "  -d [device]\tUART Device(ex. /dev/ttyS1)\n"
           "  -o [operation]\tversion:Check TARGET-ROM Version\n  -t [target]\tTARGET-ROM Area\n"
           "  -f [file]\t\tOutput version number to file\n\nSYSCON read back option:\n"
           "  -b [BAUD]\t\tUART BAUD RATE\n  -d [device]\tUART Device\n"
           "  -o [operation]\tread:Read TARGET-ROM\n  -t [target]\tTARGET-ROM Area\n"
           "  -f [file]\t\tOutput ROM-IMAGE file\n\n";
}

class CommandLine : public ::testing::Test {
  protected:
    void SetUp() override {
        pty.hold_slave();
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    PtyPair pty;
    const fs::path dir = fs::temp_directory_path() / ("syscon_cli_" + std::to_string(getpid()));
};

TEST_F(CommandLine, StatusAndBothStreams) {
    const std::string U = usage("update_syscon"), tool = tool_path(), tty = pty.slave_path();
    const std::string fail = "update_syscon(1550): ERROR: Initialize UART device fail.\n";
    const std::string missing = (dir / "no" / "such.bin").string(), old = (dir / "old").string();
    const std::string unknown = "ERROR: Unknouwn Target\n",
                      nofile = "\":  No such file or directory\n";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string err;
    } cases[] = {
        // clang-format off
        {{}, 1, "update_syscon(436): ERROR: No device specification.\n" + fail},
        {{"-h"}, 0, U},
        {{"-o", "write", "-h"}, 0, U},
        {{"-h", "-o", "bogus"}, 0, U},
        {{"-o", "bogus", "-h"}, 1, "ERROR: Invalid option -o bogus \n" + U},
        {{"-d", "/dev/null", "-t", "Apli"}, 1, "ERROR: Invalid option -t Apli \n" + U},
        {{"-x"}, 1, tool + ": invalid option -- 'x'\nERROR: Invalid option 'x'\n" + U},
        {{"-o", "read", "-d"}, 1, tool + ": option requires an argument -- 'd'\nERROR: Invalid option 'd'\n" + U},
        {{"-d", "/nonexistent/ttyS9", "-o", "write"}, 1,
         "update_syscon(432): ERROR: No such file or directory, /nonexistent/ttyS9\n" + fail},
        {{"-d", "/dev/null", "-o", "version", "-t", "ipl"}, 1, "update_syscon(444): ERROR: Inappropriate ioctl for device\n" + fail},
        {{"-d", tty}, 255, "update_syscon(1610): ERROR: Fatal Error of System!\n"},
        {{"-d", tty, "-o", "write", "-t", "ipl"}, 11, "update_syscon(1566): ERROR: No file specification.\n"},
        {{"-d", tty, "-o", "R", "-t", "ipl"}, 11, "update_syscon(1585): ERROR: No file specification.\n"},
        {{"-d", tty, "-o", "w", "-t", "i", "-f", missing}, 11, "update_syscon(1561): ERROR: cannot open \"" + missing + nofile},
        {{"-d", tty, "-o", "read", "-t", "font", "-f", missing}, 11, "update_syscon(1580): ERROR: cannot open \"" + missing + nofile},
        {{"-d", tty, "-o", "version", "-f", missing}, 255, unknown},
        {{"-d", tty, "-o", "checksum", "-f", old}, 255, unknown},
        {{"-d", tty, "-o", "c", "-s", "0,1000"}, 11, unknown},
        {{"-d", tty, "-o", "write", "-f", "/dev/null"}, 11, unknown},
        {{"-d", tty, "-o", "write", "-f", "/dev/null", "-s", "0,1000"}, 11, unknown},
        {{"-d", tty, "-o", "read", "-f", old}, 11, unknown},
        // clang-format on
    };
    for (const auto &c : cases) {
        std::ofstream(old) << "stale";
        const ToolResult r = run_tool(c.args);
        const std::string name = ::testing::PrintToString(c.args);
        EXPECT_EQ(r.status, c.status) << name;
        EXPECT_EQ(r.out, "") << name;
        EXPECT_EQ(r.err, c.err) << name;
    }
    EXPECT_EQ(fs::file_size(old), 0u) << "created or cut to length 0 before the target check";
    EXPECT_FALSE(fs::exists(missing));
    EXPECT_EQ(hex(read_some(pty.master(), 64, 200)), "") << "nothing reached the line";

    EXPECT_EQ(run_tool({"-h"}, 10000, "/usr/local/bin/tool").err, usage("tool"));
    EXPECT_EQ(run_tool({"-h"}, 10000, "/x/" + std::string(300, 'n')).err,
              usage(std::string(252, 'n')))
        << "argv[0] is cut at 255 bytes before its last component is taken";
}

// Raw 8N2 at the requested rate, whatever the terminal held before: every rate
// of the standard table by its speed code, any other as an exact custom speed.
TEST_F(CommandLine, LineSettingsForEachRate) {
    const struct {
        std::vector<std::string> rate;
        uint32_t speed_code, custom;
    } cases[] = {
        // clang-format off
        {{}, B38400, 0}, {{"-b", "0x1C200"}, B115200, 0}, {{"-b", "460800"}, 0, 460800}, {{"-b", "250000"}, 0, 250000},
        {{"-b", "0"}, B0, 0}, {{"-b", "50"}, B50, 0}, {{"-b", "75"}, B75, 0}, {{"-b", "110"}, B110, 0}, {{"-b", "134"}, B134, 0},
        {{"-b", "150"}, B150, 0}, {{"-b", "200"}, B200, 0}, {{"-b", "300"}, B300, 0}, {{"-b", "600"}, B600, 0},
        {{"-b", "1200"}, B1200, 0}, {{"-b", "1800"}, B1800, 0}, {{"-b", "2400"}, B2400, 0}, {{"-b", "4800"}, B4800, 0},
        {{"-b", "9600"}, B9600, 0}, {{"-b", "19200"}, B19200, 0}, {{"-b", "38400"}, B38400, 0}, {{"-b", "57600"}, B57600, 0},
        {{"-b", "115200"}, B115200, 0}, {{"-b", "230400"}, B230400, 0},
        // clang-format on
    };
    for (const auto &c : cases) {
        std::vector<std::string> args{"-d", pty.slave_path()};
        args.insert(args.end(), c.rate.begin(), c.rate.end());
        ASSERT_EQ(run_tool(args).status, 255);
        const LineState s = read_line_state(pty.master());
        const std::string name = ::testing::PrintToString(c.rate);
        EXPECT_EQ(s.iflag, static_cast<uint32_t>(IGNPAR)) << name;
        EXPECT_EQ(s.oflag | s.lflag | s.line, 0u) << name;
        EXPECT_EQ(s.cflag & ~static_cast<uint32_t>(CBAUD),
                  static_cast<uint32_t>(CS8 | CSTOPB | CREAD | CLOCAL))
            << name << ": no parity, no flow control, no hang-up, input follows output";
        EXPECT_EQ(hex({s.cc[VMIN], s.cc[VTIME], s.cc[VEOL2]}), "00 00 0A") << name;
        EXPECT_EQ(s.custom_speed, c.custom != 0) << name;
        EXPECT_EQ(c.custom ? s.ospeed : s.speed_code, c.custom ? c.custom : c.speed_code) << name;
    }
}

} // namespace
