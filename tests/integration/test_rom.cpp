// ROM operations end to end: the real update_syscon binary on the slave of a
// pseudo-terminal, the simulated SYSCON on the master. Checks statuses, both
// output streams byte for byte, the frames on the wire, the flash and the files.
#include "simulator.h"

#include "pty.h"
#include "tool.h"

#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <random>

using namespace syscon_sim;
using namespace testsupport;
namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {

struct Area {
    const char *keyword;
    int device;
    uint32_t start;
    uint32_t size;
};
const Area APLI{"apli", 0, 0x000000, 0x1E8000};
const Area IPL{"ipl", 0, 0x1E8000, 0x018000};
const Area FONT{"font", 1, 0x100000, 0x060000};

std::string fmt(const char *format, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, format);
    vsnprintf(buf, sizeof buf, format, ap);
    va_end(ap);
    return buf;
}

bool all_ff(const uint8_t *p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0xFF; });
}

uint32_t sum_of(const Bytes &b, size_t from = 0, size_t to = SIZE_MAX) {
    uint32_t s = 0;
    for (size_t i = from; i < std::min(to, b.size()); ++i)
        s += b[i];
    return s;
}

const std::string SIZ_REFUSED_4K =
    "ERROR: Invalid Response: Block Size Disagreement(0x00001000 -> 0x00000400)\n"
    "ERROR: Invalid Response: Block Size Disagreement(0x00001000 -> 0x00000400)\n"
    "ERROR: Invalid Response: Block Size Disagreement(0x00001000 -> 0x00000400)\n"
    "ERROR: Retry OUT(3): CMD_N_*** = 8)\n";
const std::string ADJUST = "Adjust Block Size 4Kbyte --> 1Kbyte\n";

// Expected standard output of a write: the erase line(s), one progress line per
// block, the final line feed.
std::string write_output(const Area &a, uint32_t bs, const Bytes &padded, const std::string &erase,
                         uint32_t skip_addr = 0, uint32_t skip_size = 0) {
    std::string out = erase;
    for (uint32_t off = 0; off < a.size; off += bs) {
        const uint32_t addr = a.start + off;
        if (skip_size && addr >= skip_addr && addr - skip_addr < skip_size)
            out += fmt("\r  Skip Address = 0x%08x", addr);
        else if (!all_ff(&padded[off], bs))
            out += fmt("\r  Write Address = 0x%08x size = 0x%04x", addr, bs);
        else
            out += fmt("\r  Write Address = 0x%08x", addr);
    }
    return out + "\n";
}

std::string read_output(const Area &a, uint32_t bs, uint32_t blocks = UINT32_MAX) {
    std::string out;
    for (uint32_t off = 0, n = 0; off < a.size && n < blocks; off += bs, ++n)
        out += fmt("\r  Read Address = 0x%08x", a.start + off);
    return out + "\n";
}

class Rom : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("syscon_rom_" + std::to_string(getpid()));
        fs::create_directories(dir);
    }
    void TearDown() override {
        sim.reset();
        fs::remove_all(dir);
    }

    void start(Config config = {}) {
        sim = std::make_unique<Simulator>(config);
        sim->start();
    }

    ToolResult tool(std::vector<std::string> args) {
        args.insert(args.begin(), {"-d", sim->slave_path(), "-b", "115200"});
        return run_tool(args);
    }

    std::string path(const std::string &name) const { return (dir / name).string(); }

    void save(const std::string &name, const Bytes &b) const {
        std::ofstream(path(name), std::ios::binary)
            .write(reinterpret_cast<const char *>(b.data()),
                   static_cast<std::streamsize>(b.size()));
    }
    Bytes load(const std::string &name) const {
        std::ifstream in(path(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    std::string text(const std::string &name) const {
        const Bytes b = load(name);
        return std::string(b.begin(), b.end());
    }

    int frames(const std::string &code) const { return sim->requests(code); }
    std::vector<Bytes> frames_of(const std::string &code) const {
        return frames_with_code(sim->received_frames(), code);
    }
    Bytes flash(const Area &a) const { return sim->read_flash(a.device, a.start, a.size); }

    // Random bytes with the given blocks holding 0xFF only.
    static Bytes image(size_t length, uint32_t bs, std::initializer_list<size_t> ff_blocks,
                       unsigned seed = 1) {
        std::mt19937 rng(seed);
        Bytes b(length);
        for (uint8_t &x : b)
            x = static_cast<uint8_t>(rng());
        for (size_t blk : ff_blocks)
            std::fill(b.begin() + static_cast<long>(blk * bs),
                      b.begin() + static_cast<long>(std::min(length, (blk + 1) * bs)), 0xFF);
        return b;
    }
    static Bytes padded(Bytes b, const Area &a) {
        b.resize(a.size, 0xFF);
        return b;
    }

    std::unique_ptr<Simulator> sim;
    fs::path dir;
};

struct RoundTrip {
    Area area;
    uint32_t block;
};

class RomRoundTrip : public Rom, public ::testing::WithParamInterface<RoundTrip> {};

// Write, read back and ask the checksum, at 4096 and after the 1024 fallback.
TEST_P(RomRoundTrip, WriteReadBackAndChecksum) {
    const auto [a, bs] = GetParam();
    Config config;
    config.max_block = bs;
    start(config);
    sim->fill_flash(a.device, 0x00); // an erase must happen for the image to land

    // Shorter than the area, ending inside a block; two blocks of 0xFF only.
    const Bytes img = image(a.size - 3 * bs / 2, bs, {1, 3});
    save("img.bin", img);
    const Bytes full = padded(img, a);
    const std::string refused = bs == 1024 ? SIZ_REFUSED_4K : "";
    const std::string adjust = bs == 1024 ? ADJUST : "";

    const ToolResult w = tool({"-o", "write", "-t", a.keyword, "-f", path("img.bin")});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.err, refused);
    EXPECT_EQ(w.out, adjust + write_output(a, bs, full,
                                           fmt("  Erase address = 0x%08x / size = 0x%08x\n",
                                               a.start, a.size)));
    EXPECT_TRUE(flash(a) == full) << "flash differs from the image";
    EXPECT_EQ(frames_of("DEV").at(0),
              Bytes({0x02, 'D', 'E', 'V', ':', static_cast<uint8_t>(a.device), 0x03}));
    EXPECT_EQ(frames("ERS"), 1);
    const std::vector<Bytes> wdt = frames_of("WDT");
    size_t data_blocks = 0;
    for (uint32_t off = 0; off < a.size; off += bs)
        data_blocks += !all_ff(&full[off], bs);
    EXPECT_EQ(wdt.size(), data_blocks);
    for (const Bytes &f : wdt) {
        ASSERT_EQ(f.size(), bs + 14);
        EXPECT_FALSE(all_ff(&f[10], bs)) << "a block of 0xFF only went out";
    }
    EXPECT_EQ(sim->unerased_programs(), 0);

    const ToolResult r = tool({"-o", "read", "-t", a.keyword, "-f", path("back.bin")});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, refused);
    EXPECT_EQ(r.out, adjust + read_output(a, bs));
    EXPECT_TRUE(load("back.bin") == full) << "read-back differs from the image";
    EXPECT_EQ(static_cast<uint32_t>(frames("RDT")), a.size / bs);

    const ToolResult c = tool({"-o", "checksum", "-t", a.keyword});
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, fmt("%04X\n", sum_of(full) & 0xFFFF));
}

INSTANTIATE_TEST_SUITE_P(Areas, RomRoundTrip,
                         ::testing::Values(RoundTrip{APLI, 4096}, RoundTrip{IPL, 4096},
                                           RoundTrip{FONT, 4096}, RoundTrip{APLI, 1024},
                                           RoundTrip{IPL, 1024}, RoundTrip{FONT, 1024}),
                         [](const auto &p) {
                             return std::string(p.param.area.keyword) + "_" +
                                    std::to_string(p.param.block);
                         });

TEST_F(Rom, ImagesLongerThanTheAreaOrEmpty) {
    start();
    Bytes longer = image(IPL.size + 5000, 4096, {});
    save("long.bin", longer);
    const ToolResult l = tool({"-o", "w", "-t", "I", "-f", path("long.bin")});
    EXPECT_EQ(l.status, 0) << l.err;
    longer.resize(IPL.size);
    EXPECT_TRUE(flash(IPL) == longer);

    sim->reset_statistics();
    save("empty.bin", {});
    const ToolResult e = tool({"-o", "write", "-t", "ipl", "-f", path("empty.bin")});
    EXPECT_EQ(e.status, 0) << e.err;
    EXPECT_EQ(e.out, write_output(IPL, 4096, Bytes(IPL.size, 0xFF),
                                  "  Erase address = 0x001e8000 / size = 0x00018000\n"));
    EXPECT_EQ(frames("WDT"), 0);
    EXPECT_TRUE(flash(IPL) == Bytes(IPL.size, 0xFF));
}

TEST_F(Rom, SkipAreaIsNeitherErasedNorProgrammed) {
    start();
    sim->fill_flash(0, 0x5A);
    const Bytes img(IPL.size, 0x11);
    save("img.bin", img);
    const ToolResult w =
        tool({"-o", "write", "-t", "ipl", "-f", path("img.bin"), "-s", "1EA000,3000"});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(w.err, "");
    EXPECT_EQ(w.out, write_output(IPL, 4096, img,
                                  "  Erase address(1) = 0x001e8000 / size = 0x00002000\n"
                                  "  Erase address(2) = 0x001ed000 / size = 0x00013000\n",
                                  0x1EA000, 0x3000));
    Bytes expect = img;
    std::fill(expect.begin() + 0x2000, expect.begin() + 0x5000, 0x5A);
    EXPECT_TRUE(flash(IPL) == expect);
    EXPECT_EQ(sim->unerased_programs(), 0);
    EXPECT_EQ(frames("ERS"), 2);
    EXPECT_EQ(frames("WDT"), 21);
    EXPECT_EQ(sim->read_flash(0, 0x1E7FFF, 1), Bytes{0x5A}) << "the application area is untouched";
}

TEST_F(Rom, SkipAreaAtTheEdgesSendsEmptyEraseRanges) {
    start();
    save("img.bin", Bytes(IPL.size, 0x22));
    const ToolResult w =
        tool({"-o", "write", "-t", "ipl", "-f", path("img.bin"), "-s", "0x1E8000,0x18000"});
    EXPECT_EQ(w.status, 0) << w.err;
    const std::string erase = "  Erase address(1) = 0x001e8000 / size = 0x00000000\n"
                              "  Erase address(2) = 0x00200000 / size = 0x00000000\n";
    EXPECT_EQ(w.out, write_output(IPL, 4096, Bytes(IPL.size, 0x22), erase, IPL.start, IPL.size));
    EXPECT_EQ(frames("ERS"), 2);
    EXPECT_EQ(frames("WDT"), 0);
}

TEST_F(Rom, SkipAreasThatDoNotFitAreRefusedBeforeAnyErase) {
    start();
    save("img.bin", Bytes(IPL.size, 0x33));
    for (const char *skip :
         {"1EA100,1000", "1EA000,800", "1E7000,2000", "1FF000,2000", "0,1000", "FFFFF000,2000"}) {
        sim->reset_statistics();
        const ToolResult w = tool({"-o", "write", "-t", "ipl", "-f", path("img.bin"), "-s", skip});
        unsigned addr = 0, size = 0;
        sscanf(skip, "%x,%x", &addr, &size);
        EXPECT_EQ(w.status, 11) << skip;
        EXPECT_EQ(w.out, "") << skip;
        EXPECT_EQ(w.err,
                  fmt("ERROR: Skip area 0x%08x,0x%08x does not lie inside the target area "
                      "0x001e8000-0x00200000 in whole blocks of 0x1000 bytes; nothing was erased\n",
                      addr, size))
            << skip;
        EXPECT_EQ(frames("DEV"), 1) << skip;
        EXPECT_EQ(frames("SIZ"), 1) << skip;
        EXPECT_EQ(frames("ERS") + frames("WDT"), 0) << skip;
    }
}

TEST_F(Rom, SkipAreaIsCheckedAgainstTheBlockSizeInForce) {
    Config config;
    config.max_block = 1024;
    start(config);
    save("img.bin", Bytes(IPL.size, 0x44));
    const ToolResult w =
        tool({"-o", "write", "-t", "ipl", "-f", path("img.bin"), "-s", "1EA400,400"});
    EXPECT_EQ(w.status, 0) << w.err;
    EXPECT_EQ(sim->read_flash(0, 0x1EA400, 1024), Bytes(1024, 0xFF));
    EXPECT_EQ(frames("WDT"), 95);
}

TEST_F(Rom, FailedBlockWriteEndsTheLine) {
    start();
    sim->add_fault({"WDT", 0, FaultKind::Status, 5});
    save("img.bin", Bytes(4096, 0x01));
    const ToolResult w = tool({"-o", "write", "-t", "ipl", "-f", path("img.bin")});
    EXPECT_EQ(w.status, 11);
    EXPECT_EQ(w.out, "  Erase address = 0x001e8000 / size = 0x00018000\n\n");
    const std::string line = "ERROR: Invalid Response: Write Data error(0x5)\n";
    EXPECT_EQ(w.err, line + line + line + "ERROR: Retry OUT(3): CMD_N_*** = 10)\n");
}

TEST_F(Rom, FailedFirstEraseRangeStopsBeforeTheSecond) {
    start();
    sim->add_fault({"ERS", 0, FaultKind::Status, 3});
    save("img.bin", Bytes(IPL.size, 0x01));
    const ToolResult w =
        tool({"-o", "write", "-t", "ipl", "-f", path("img.bin"), "-s", "1EA000,1000"});
    EXPECT_EQ(w.status, 11);
    EXPECT_EQ(w.out, "  Erase address(1) = 0x001e8000 / size = 0x00002000\n");
    const std::string line = "ERROR: Invalid Response: Erase error(0x3)\n";
    EXPECT_EQ(w.err, line + line + line + "ERROR: Retry OUT(3): CMD_N_*** = 9)\n");
    EXPECT_EQ(frames("ERS"), 3);
    EXPECT_EQ(frames("WDT"), 0);
}

TEST_F(Rom, ReadFailingAtTheTenthBlockKeepsNineBlocks) {
    start();
    for (int n : {10, 11, 12})
        sim->add_fault({"RDT", n, FaultKind::WrongSum, 0});
    const ToolResult r = tool({"-o", "read", "-t", "font", "-f", path("back.bin")});
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(r.out, read_output(FONT, 4096, 9));
    EXPECT_EQ(load("back.bin"), sim->read_flash(1, 0x100000, 9 * 4096));
    EXPECT_EQ(frames("RDT"), 12);
}

TEST_F(Rom, RefusedBlockSizesAndDeviceSendNoTransfer) {
    start();
    sim->add_fault({"SIZ", 0, FaultKind::WrongEcho, 512});
    std::string both;
    for (const char *size : {"0x00001000", "0x00000400"})
        for (int i = 0; i < 3; ++i)
            both +=
                fmt("ERROR: Invalid Response: Block Size Disagreement(%s -> 0x00000200)\n", size);
    save("img.bin", Bytes(4096, 0x01));
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"-o", "write", "-t", "apli", "-f", path("img.bin")},
          {"-o", "read", "-t", "apli", "-f", path("back.bin")},
          {"-o", "checksum", "-t", "apli", "-s", "0,1000"}}) {
        const ToolResult r = tool(args);
        EXPECT_EQ(r.status, 11) << args[1];
        EXPECT_EQ(r.out, ADJUST) << args[1];
        const std::string retry = "ERROR: Retry OUT(3): CMD_N_*** = 8)\n";
        EXPECT_EQ(r.err,
                  both.substr(0, both.size() / 2) + retry + both.substr(both.size() / 2) + retry);
    }
    EXPECT_EQ(frames("ERS") + frames("WDT") + frames("RDT"), 0);

    sim->clear_faults();
    sim->reset_statistics();
    sim->add_fault({"DEV", 0, FaultKind::WrongEcho, 5});
    const ToolResult d = tool({"-o", "read", "-t", "font", "-f", path("back.bin")});
    EXPECT_EQ(d.status, 11);
    EXPECT_EQ(d.out, "");
    const std::string line = "ERROR: Invalid Response: Device ID Disagreement(0x5)\n";
    EXPECT_EQ(d.err, line + line + line + "ERROR: Retry OUT(3): CMD_N_*** = 7)\n");
    EXPECT_EQ(frames("SIZ"), 0);
}

TEST_F(Rom, VersionOnStandardOutputAndInTheFile) {
    Config config;
    config.font_version = "FNT v2.3";
    start(config);
    const struct {
        const char *target, *text;
    } cases[] = {{"apli", "APLI-1.00.00"}, {"ipl", "IPL-01.00.00"}, {"font", "FNT v2.3"}};
    for (const auto &c : cases) {
        const ToolResult v = tool({"-o", "version", "-t", c.target, "-f", path("ver.txt")});
        EXPECT_EQ(v.status, 0) << v.err;
        EXPECT_EQ(v.out, std::string(c.text) + "\n");
        EXPECT_EQ(text("ver.txt"), std::string(c.text) + "\n");
    }
    EXPECT_EQ(frames("DEV") + frames("SIZ"), 0) << "no preamble for queries";

    sim->add_fault({"IRV", 0, FaultKind::NoAck, 0});
    const ToolResult f = tool({"-o", "version", "-t", "ipl", "-f", path("ver.txt")});
    EXPECT_EQ(f.status, 255);
    EXPECT_EQ(f.out, "");
    EXPECT_EQ(text("ver.txt"), "");
}

TEST_F(Rom, DeviceChecksumAndTheZeroRule) {
    start();
    sim->write_flash(0, IPL.start, Bytes(IPL.size, 0x00));
    sim->write_flash(0, IPL.start + 100, {0xA5});
    const ToolResult c = tool({"-o", "checksum", "-t", "ipl", "-f", path("sum.txt")});
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, "00A5\n");
    EXPECT_EQ(text("sum.txt"), "00A5\n");

    sim->write_flash(0, IPL.start + 100, {0x00});
    const ToolResult z = tool({"-o", "checksum", "-t", "ipl", "-f", path("sum.txt")});
    EXPECT_EQ(z.status, 0) << z.err;
    EXPECT_EQ(z.out, "XXXX");
    EXPECT_EQ(text("sum.txt"), "XXXX\n");
    EXPECT_EQ(frames("RDT"), 0);
}

TEST_F(Rom, LocalChecksumLeavesOutTheBlocksOfTheSkipArea) {
    start();
    const Bytes img = image(IPL.size, 4096, {});
    sim->write_flash(0, IPL.start, img);
    // Starts inside block 2: block 2 is read whole, blocks 3 and 4 are left out.
    const ToolResult c =
        tool({"-o", "checksum", "-t", "ipl", "-s", "1EA800,2000", "-f", path("sum.txt")});
    EXPECT_EQ(c.status, 0) << c.err;
    const uint32_t expect = sum_of(img) - sum_of(img, 0x3000, 0x5000);
    EXPECT_EQ(c.out, fmt("%04X\n", expect & 0xFFFF));
    EXPECT_EQ(text("sum.txt"), c.out);
    EXPECT_EQ(frames("RDT"), 22);

    sim->reset_statistics();
    const ToolResult all = tool({"-o", "checksum", "-t", "ipl", "-s", "1E8000,18000"});
    EXPECT_EQ(all.status, 0);
    EXPECT_EQ(all.out, "XXXX");
    EXPECT_EQ(frames("DEV") + frames("SIZ"), 2) << "the preamble still runs";
    EXPECT_EQ(frames("RDT"), 0);
}

TEST_F(Rom, LocalChecksumOf0x10000IsNotZero) {
    start();
    sim->write_flash(0, IPL.start, Bytes(IPL.size, 0x00));
    sim->write_flash(0, IPL.start + 0x4000, Bytes(512, 0x80));
    const ToolResult c = tool({"-o", "checksum", "-t", "ipl", "-s", "0,1000"});
    EXPECT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(c.out, "0000\n");
}

TEST_F(Rom, LocalChecksumReportsWhatWasSummedBeforeAFailure) {
    start();
    sim->write_flash(0, IPL.start, Bytes(IPL.size, 0x01));
    for (int n : {1, 2, 3})
        sim->add_fault({"RDT", n, FaultKind::WrongSum, 0});
    const ToolResult first =
        tool({"-o", "checksum", "-t", "ipl", "-s", "0,1000", "-f", path("sum.txt")});
    EXPECT_EQ(first.status, 11);
    EXPECT_EQ(first.out, "XXXX");
    EXPECT_EQ(text("sum.txt"), "XXXX\n");

    sim->clear_faults();
    sim->reset_statistics();
    for (int n : {3, 4, 5})
        sim->add_fault({"RDT", n, FaultKind::WrongSum, 0});
    const ToolResult later = tool({"-o", "checksum", "-t", "ipl", "-s", "0,1000"});
    EXPECT_EQ(later.status, 11);
    EXPECT_EQ(later.out, "2000\n"); // two blocks of 4096 bytes of 0x01
}

} // namespace
