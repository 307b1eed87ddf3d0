// Writes the ROM image that the board test programs: `size` bytes in 4096-byte
// blocks, every byte value in every block (line-control bytes such as 0x0A,
// 0x0D, 0x11 and 0x13 included, so that any translation on the line shows),
// and a few blocks of 0xFF only, which the tool must leave out of the write.
//
//   make_image FILE SIZE [FF_BLOCK...]     SIZE and block numbers in C notation
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <vector>

namespace {

constexpr uint32_t k_block = 4096;

bool parse(const char *text, unsigned long &value) {
    char *end = nullptr;
    value = std::strtoul(text, &end, 0);
    return end != text && *end == '\0';
}

} // namespace

int main(int argc, char **argv) {
    unsigned long size = 0;
    if (argc < 3 || !parse(argv[2], size) || size == 0) {
        std::fprintf(stderr, "usage: make_image FILE SIZE [FF_BLOCK...]\n");
        return 2;
    }
    std::set<unsigned long> blank;
    for (int i = 3; i < argc; ++i) {
        unsigned long block = 0;
        if (!parse(argv[i], block)) {
            std::fprintf(stderr, "make_image: bad block number '%s'\n", argv[i]);
            return 2;
        }
        blank.insert(block);
    }

    std::vector<uint8_t> image(size);
    for (unsigned long pos = 0; pos < size; ++pos) {
        const unsigned long block = pos / k_block;
        const unsigned long i = pos % k_block;
        image[pos] = blank.contains(block)
                         ? 0xFF
                         : static_cast<uint8_t>(i * 31 + block * 7 + (i >> 8));
    }

    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(image.data()), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        std::fprintf(stderr, "make_image: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
