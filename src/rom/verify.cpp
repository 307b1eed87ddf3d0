#include "rom/rom.h"

#include <sys/stat.h>

namespace {

constexpr int FAILED = 11;

// The image's block at the address being compared, padded with 0xFF.
uint8_t g_image_block[MAX_BLOCK_SIZE];

struct Difference {
    uint32_t blocks = 0; // blocks compared, skipped ones not counted
    uint32_t differing = 0;
    uint32_t first = 0; // address of the first differing byte
    uint8_t image_byte = 0;
    uint8_t flash_byte = 0;
};

// Offset of the first byte of the block read that differs from the image's
// block, or g_block_size when they match.
uint32_t first_difference(const uint8_t *flash) {
    for (uint32_t i = 0; i < g_block_size; ++i)
        if (flash[i] != g_image_block[i])
            return i;
    return g_block_size;
}

void report_long_image(const TargetArea &area) {
    fprintf(stderr,
            "ERROR: Verify: the image is longer than the target area 0x%08x-0x%08x (0x%x bytes); "
            "it cannot be in the area\n",
            area.start, area_end(area), area.size);
}

// A regular file's length is known before anything is sent.
bool image_too_long(FILE *image, const TargetArea &area) {
    struct stat st {};
    return fstat(fileno(image), &st) == 0 && S_ISREG(st.st_mode) &&
           static_cast<uint64_t>(st.st_size) > area.size;
}

// Reads the area block by block and compares each block with the image. The
// first difference is confirmed by a second read after a quiet line; once one
// is confirmed, later blocks are compared from one read each.
int compare_area(int *port, CmdReply *reply, FILE *image, const TargetArea &area, bool skip,
                 Difference *d) {
    const uint32_t end = area_end(area);
    for (uint32_t address = area.start; address < end; address += g_block_size) {
        if (read_image_block(image, g_image_block) != 0) {
            fputs("ERROR: Verify: cannot read the image\n", stderr);
            return FAILED;
        }
        if (skip && in_skip_area(address)) {
            printf("\r  Skip Address = 0x%08x", address);
            fflush(stdout);
            continue;
        }
        if (exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) != 0)
            return FAILED;
        uint32_t at = first_difference(reply->data);
        if (at < g_block_size && d->differing == 0) {
            // A block that came from an exchange out of step does not repeat.
            wait_line_quiet(port);
            if (exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) != 0)
                return FAILED;
            at = first_difference(reply->data);
            if (at < g_block_size) {
                d->first = address + at;
                d->image_byte = g_image_block[at];
                d->flash_byte = reply->data[at];
            }
        }
        d->differing += at < g_block_size;
        ++d->blocks;
        printf("\r  Verify Address = 0x%08x", address);
        fflush(stdout);
    }
    // A stream whose length was not known before: any byte left is past the area.
    if (fgetc(image) != EOF) {
        report_long_image(area);
        return FAILED;
    }
    return 0;
}

} // namespace

int verify_rom(int *port, FILE *image, int target) {
    CmdReply reply{};
    const TargetArea *area = find_target_area(target);
    if (area == nullptr)
        return FAILED;
    if (image_too_long(image, *area)) {
        report_long_image(*area);
        return FAILED;
    }

    g_resync = true;
    const bool skip = g_skip_size != 0;
    int status = FAILED;
    Difference d;
    if (select_target(port, &reply, area) == 0 &&
        !(skip && skip_area_refused(*area, "nothing was compared"))) {
        status = compare_area(port, &reply, image, *area, skip, &d);
        putchar('\n');
    }
    g_resync = false;

    if (status != 0)
        return status;
    if (d.differing != 0) {
        fprintf(stderr,
                "ERROR: Verify: first difference at 0x%08x: image 0x%02x, flash 0x%02x; "
                "%u of %u blocks differ\n",
                d.first, d.image_byte, d.flash_byte, d.differing, d.blocks);
        return FAILED;
    }
    printf("Verify OK: %u bytes match\n", d.blocks * g_block_size);
    return 0;
}
