// Option parsing into its values: keywords, rates, skip areas, -h and errors.
#include "options.h"
#include "rom/rom.h"

#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Parsed {
    ParseResult result;
    Options opt;
    uint32_t skip_addr, skip_size;
    // opt.device and opt.file point into these: they live as long as the result.
    std::vector<std::string> args;
};

Parsed parse(std::vector<std::string> args) {
    args.insert(args.begin(), "update_syscon");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    optind = 0; // full reset of getopt between parses
    opterr = 1;
    g_skip_addr = 0xDEAD;
    g_skip_size = 0xBEEF;
    Parsed p{};
    testing::internal::CaptureStderr();
    p.result = parse_options(static_cast<int>(args.size()), argv.data(), &p.opt);
    testing::internal::GetCapturedStderr();
    p.skip_addr = g_skip_addr;
    p.skip_size = g_skip_size;
    p.args = std::move(args); // moving keeps the strings where they are
    return p;
}

TEST(Options, DefaultsWithNoOptions) {
    const Parsed p = parse({});
    EXPECT_EQ(p.result, PARSE_OK);
    EXPECT_EQ(p.opt.device, nullptr);
    EXPECT_EQ(p.opt.file, nullptr);
    EXPECT_EQ(p.opt.rate, 38400u);
    EXPECT_EQ(p.opt.operation, 0);
    EXPECT_EQ(p.opt.target, 0);
    EXPECT_EQ(p.skip_addr, 0xDEADu) << "no -s leaves the skip area alone";
}

TEST(Options, EveryKeywordSpelling) {
    const struct {
        const char *word;
        int op;
        int target;
    } cases[] = {
        {"write", OP_WRITE, 0},
        {"WRITE", OP_WRITE, 0},
        {"W", OP_WRITE, 0},
        {"w", OP_WRITE, 0},
        {"read", OP_READ, 0},
        {"READ", OP_READ, 0},
        {"R", OP_READ, 0},
        {"r", OP_READ, 0},
        {"version", OP_VERSION, 0},
        {"VERSION", OP_VERSION, 0},
        {"V", OP_VERSION, 0},
        {"v", OP_VERSION, 0},
        {"checksum", OP_CHECKSUM, 0},
        {"CHECKSUM", OP_CHECKSUM, 0},
        {"C", OP_CHECKSUM, 0},
        {"c", OP_CHECKSUM, 0},
        {"apli", 0, TARGET_APLI},
        {"APLI", 0, TARGET_APLI},
        {"A", 0, TARGET_APLI},
        {"a", 0, TARGET_APLI},
        {"ipl", 0, TARGET_IPL},
        {"IPL", 0, TARGET_IPL},
        {"I", 0, TARGET_IPL},
        {"i", 0, TARGET_IPL},
        {"font", 0, TARGET_FONT},
        {"FONT", 0, TARGET_FONT},
        {"F", 0, TARGET_FONT},
        {"f", 0, TARGET_FONT},
        {"Write", 0, 0},
        {"wr", 0, 0},
        {"Apli", 0, 0},
        {"", 0, 0},
        {"writes", 0, 0},
        {"ipl ", 0, 0},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(operation_code(c.word), c.op) << c.word;
        EXPECT_EQ(target_code(c.word), c.target) << c.word;
    }
    const Parsed p = parse({"-o", "C", "-t", "f"});
    EXPECT_EQ(p.opt.operation, OP_CHECKSUM);
    EXPECT_EQ(p.opt.target, TARGET_FONT);
}

TEST(Options, RatesAsStrtolWithBaseZero) {
    const struct {
        const char *arg;
        uint32_t rate;
    } cases[] = {
        {"115200", 115200}, {"0x1C200", 115200}, {"0460", 304},
        {"9600baud", 9600}, {"fast", 0},         {"", 0},
        {"-1", 0xFFFFFFFF}, {"250000", 250000},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse({"-b", c.arg}).opt.rate, c.rate) << c.arg;
}

TEST(Options, SkipAreaParsedAsTwoHexNumbers) {
    const struct {
        std::vector<std::string> args;
        uint32_t addr, size;
    } cases[] = {
        {{"-s", "1E0000,8000"}, 0x1E0000, 0x8000},
        {{"-s", "0x1E0000,0x8000"}, 0x1E0000, 0x8000},
        {{"-s", "1000"}, 0x1000, 0},
        {{"-s", "zz,10"}, 0, 0},
        {{"-s", "1E0000,8000", "-s", "2000"}, 0x2000, 0}, // a later -s clears both first
    };
    for (const auto &c : cases) {
        const Parsed p = parse(c.args);
        EXPECT_EQ(p.skip_addr, c.addr) << c.args.back();
        EXPECT_EQ(p.skip_size, c.size) << c.args.back();
    }
}

TEST(Options, LaterOptionsReplaceEarlierOnesAndOperandsAreIgnored) {
    const Parsed p = parse({"-d", "/dev/a", "stray", "-d", "/dev/b", "-f", "x", "-f", "y"});
    EXPECT_EQ(p.result, PARSE_OK);
    EXPECT_STREQ(p.opt.device, "/dev/b");
    EXPECT_STREQ(p.opt.file, "y");
}

TEST(Options, HelpAndErrorsByPosition) {
    const struct {
        std::vector<std::string> args;
        ParseResult result;
    } cases[] = {
        {{"-h"}, PARSE_HELP},
        {{"-o", "write", "-h"}, PARSE_HELP},
        {{"-o", "bogus", "-h"}, PARSE_ERROR}, // the bad keyword ends parsing first
        {{"-h", "-o", "bogus"}, PARSE_HELP},
        {{"-t", "x"}, PARSE_ERROR},
        {{"-x"}, PARSE_ERROR},
        {{"-d"}, PARSE_ERROR},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse(c.args).result, c.result) << c.args.front() << " " << c.args.back();
}

} // namespace
