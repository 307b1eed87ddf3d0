// The verify operation end to end: the real update_syscon against the simulated
// SYSCON, on the boot loader area. Matching and differing flash, skip areas,
// one stray byte on the line (paced and not) next to the classic read, refusals.
#include "simulator.h"

#include "tool.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

using namespace syscon_sim;
using namespace testsupport;

namespace {

constexpr uint32_t START = 0x1E8000, SIZE = 0x18000, NONE = SIZE;

std::string fmt(const char *format, auto... a) {
    char buf[200];
    snprintf(buf, sizeof buf, format, a...);
    return buf;
}

// name; block: the largest block size the SYSCON takes; corrupt: offset of the one
// flash byte unlike the image, or NONE; skip_*: the -s area; line: 0 clean,
// 1 one byte 0xEE after the fifth block's response, 2 that paced at 115200.
struct Case {
    const char *name;
    uint32_t block, corrupt, skip_addr, skip_size;
    int line;
};

class Verify : public ::testing::TestWithParam<Case> {
  protected:
    void SetUp() override { std::filesystem::create_directory(path("")); }
    void TearDown() override { std::filesystem::remove_all(path("")); }
    ToolResult tool(std::vector<std::string> args) const {
        args.insert(args.begin(), {"-d", sim->slave_path(), "-b", "115200", "-t", "ipl"});
        return run_tool(args);
    }
    std::string path(const char *name) const { return fmt("/tmp/verify_%d/%s", getpid(), name); }
    std::unique_ptr<Simulator> sim;
};

TEST_P(Verify, ComparesEveryBlockWithTheImageInStep) {
    const Case c = GetParam();
    const Config config{
        .max_block = c.block, .pace = c.line == 2, .trace_path = "", .realtime = true};
    (sim = std::make_unique<Simulator>(config))->start();
    // No two blocks alike; the file ends 5000 bytes short of the area.
    std::vector<uint8_t> img(SIZE, 0xFF);
    for (size_t i = 0; i < SIZE - 5000; ++i)
        img[i] = static_cast<uint8_t>(i * 7 + i / 1024);
    std::ofstream(path("img.bin")) << std::string(img.begin(), img.end() - 5000);
    auto flash = img;
    flash[c.corrupt % SIZE] ^= c.corrupt == NONE ? 0 : 0x5A;
    sim->write_flash(0, START, flash);
    if (c.line != 0)
        sim->add_fault({"RDT", 5, FaultKind::ExtraBytes, 1});

    const auto skipped = [&](uint32_t a) { return a - c.skip_addr < c.skip_size; };
    std::string out = c.block == 1024 ? "Adjust Block Size 4Kbyte --> 1Kbyte\n" : "";
    const uint32_t compared = (SIZE - c.skip_size) / c.block;
    for (uint32_t a = START; a < START + SIZE; a += c.block)
        out += fmt(skipped(a) ? "\r  Skip Address = 0x%08x" : "\r  Verify Address = 0x%08x", a);
    const bool match = c.corrupt == NONE || skipped(START + c.corrupt / c.block * c.block);
    out += match ? fmt("\nVerify OK: %u bytes match\n", compared * c.block) : "\n";
    const std::string verdict =
        match ? ""
              : fmt("ERROR: Verify: first difference at 0x%08x: image 0x%02x, flash 0x%02x; 1 of "
                    "%u blocks differ\n",
                    START + c.corrupt, img[c.corrupt], flash[c.corrupt], compared);

    const ToolResult v =
        tool({"-o", "verify", "-f", path("img.bin"), "-s", fmt("%x,%x", c.skip_addr, c.skip_size)});
    EXPECT_EQ(std::to_string(v.status) + v.out, (match ? "0" : "11") + out) << v.err;
    // Before the verdict a stray byte may cost a try, the fallback the refused size.
    EXPECT_TRUE(v.err.ends_with(verdict) && (c.line || c.block == 1024 || v.err == verdict))
        << v.err;
    if (c.line == 0 || c.corrupt != NONE)
        return;
    // The classic read keeps its behaviour: status 0 for a file that is not what
    // the flash holds (from block 6 on each block holds the one before it).
    sim->reset_statistics(); // the fault's count starts again
    const ToolResult r = tool({"-o", "read", "-f", path("back.bin")});
    EXPECT_EQ(r.status, 0) << r.err;
    std::ifstream back(path("back.bin"));
    EXPECT_TRUE(std::vector<uint8_t>(std::istreambuf_iterator<char>(back), {}) != flash);
}

// Matching and one differing byte at 4096 and after the fallback; a skip area
// over the difference and one beside it; the stray byte, unpaced and paced.
constexpr Case CASES[] = {{"Match", 4096, NONE, 0, 0, 0},
                          {"MatchAt1K", 1024, NONE, 0, 0, 0},
                          {"OneByte", 4096, 0x5123, 0, 0, 0},
                          {"SkipHidesIt", 4096, 0x5123, 0x1ED000, 0x1000, 0},
                          {"SkipBeside", 4096, 0x5123, 0x1EE000, 0x2000, 0},
                          {"Stray", 4096, NONE, 0, 0, 1},
                          {"StrayOneByte", 4096, 0x9001, 0, 0, 1},
                          {"PacedStray", 4096, NONE, 0, 0, 2},
                          {"PacedStrayOneByte", 4096, 0x9001, 0, 0, 2}};
INSTANTIATE_TEST_SUITE_P(Cases, Verify, ::testing::ValuesIn(CASES),
                         [](const auto &p) { return std::string(p.param.name); });

// A long image, a missing -f and a file that cannot be opened: nothing goes out.
TEST_F(Verify, RefusesBeforeSendingAnything) {
    (sim = std::make_unique<Simulator>(Config{}))->start();
    std::ofstream(path("long.bin")) << std::string(SIZE + 1, '\xFF');
    const ToolResult l = tool({"-o", "VERIFY", "-f", path("long.bin")});
    const ToolResult m = tool({"-o", "VERIFY"});
    const ToolResult n = tool({"-o", "VERIFY", "-f", "/nonexistent/img.bin"});
    EXPECT_EQ(l.err + m.err + n.err,
              "ERROR: Verify: the image is longer than the target area 0x001e8000-0x00200000 "
              "(0x18000 bytes); it cannot be in the area\n"
              "update_syscon(1566): ERROR: No file specification.\n"
              "update_syscon(1561): ERROR: cannot open \"/nonexistent/img.bin\":  No such file or "
              "directory\n");
    EXPECT_EQ(fmt("%d %d %d", l.status, m.status, n.status) + l.out + m.out + n.out, "11 11 11");
    EXPECT_EQ(sim->bytes_received(), 0u);
}

} // namespace
