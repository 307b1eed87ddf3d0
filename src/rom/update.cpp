// Update: the least work that leaves the area holding the image, proven.
//
// Each block outside the skip area is read and compared with the image. A
// block that matches is left alone. A block that differs is erased alone
// (unless it reads as erased already), programmed when its image block has
// data, and read back; a second erase and program is its last chance.
//
// When the area differs nearly everywhere (a new release), reading a block
// before rewriting it is a read that write-then-verify does not make. So at
// most a tenth of the blocks (rounded down) may be read and found different:
// the block that spends the last of that budget (the second of the boot
// loader's 24) starts a rewrite of the rest of the area, erased in one range
// (two around a skip area), programmed, and read back block by block.
#include "rom/rom.h"

#include "serial/uart.h"

namespace {

// One block in this many may be found different before the rest of the area
// is rewritten: a new release then costs at most a tenth of the area in reads
// that write-then-verify does not make (bench/README.md, section 8).
constexpr uint32_t k_blocks_per_difference_read = 10;

struct Tally {
    uint32_t erased = 0; // blocks in erase ranges
    uint32_t programmed = 0;
    uint32_t right = 0; // blocks that already held the image
    uint32_t checked = 0;
};

bool is_erased(const uint8_t *bytes) {
    return has_data(bytes, g_block_size) == 0;
}

int erase_range(int *port, CmdReply *reply, uint32_t address, uint32_t size, Tally *t) {
    if (size == 0)
        return 0;
    if (proof_forget() != 0)
        return -1;
    t->erased += size / g_block_size;
    progress_erase(address, size);
    if (exec_cmd(port, CMD_N_ERS, reply, address, size) != 0)
        return -1;
    progress_erased();
    return 0;
}

// Programs the block at `address` from g_image_block over flash that is
// `erased` already, and reads it back; erases it first otherwise. A block that
// still differs is erased and programmed once more. Returns 0 when it was read
// back equal to the image, -1 when an exchange failed, STATUS_FAILED when it differs.
int rewrite_block(int *port, CmdReply *reply, uint32_t address, bool erased, Tally *t) {
    for (int round = 0; round < 2; ++round) {
        if (!(erased && round == 0) && erase_range(port, reply, address, g_block_size, t) != 0)
            return -1;
        if (has_data(g_image_block, g_block_size)) {
            if (proof_forget() != 0)
                return -1;
            progress_program();
            if (exec_cmd(port, CMD_N_WDT, reply, address, g_block_size, g_image_block) != 0)
                return -1;
            ++t->programmed;
        }
        if (exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) != 0)
            return -1;
        const uint32_t at = first_difference(reply->data);
        if (at == g_block_size)
            return 0;
        if (round == 1)
            fprintf(stderr,
                    "ERROR: Update: block 0x%08x still differs after a second erase and program: "
                    "at 0x%08x image 0x%02x, flash 0x%02x\n",
                    address, address + at, g_image_block[at], reply->data[at]);
    }
    return STATUS_FAILED;
}

void progress(uint32_t address, const char *what) {
    printf("\r  %s Address = 0x%08x", what, address);
    fflush(stdout);
    progress_block(address);
}

// Erases everything from `from` to the area's end outside the skip area, then
// programs and reads back each block of it.
int rewrite_rest(int *port, CmdReply *reply, FILE *image, const TargetArea &area, uint32_t from,
                 Tally *t) {
    const uint32_t end = area_end(area);
    const uint32_t skip_end = g_skip_addr + g_skip_size;
    const bool skip_ahead = g_skip_size != 0 && g_skip_addr >= from;
    if (erase_range(port, reply, from, (skip_ahead ? g_skip_addr : end) - from, t) != 0 ||
        (skip_ahead && erase_range(port, reply, skip_end, end - skip_end, t) != 0))
        return -1;
    for (uint32_t address = from; address < end; address += g_block_size) {
        if (in_skip_area(address)) {
            progress(address, "Skip");
            continue;
        }
        if (careful_image_block(image, area, address, "Update") != 0)
            return STATUS_FAILED;
        if (const int rc = rewrite_block(port, reply, address, true, t); rc != 0)
            return rc;
        ++t->checked;
        progress(address, "Update");
    }
    return 0;
}

int update_area(int *port, CmdReply *reply, FILE *image, const TargetArea &area, Tally *t) {
    const uint32_t budget = careful_block_count(area) / k_blocks_per_difference_read;
    uint32_t found = 0; // blocks read and found different
    const uint32_t end = area_end(area);
    for (uint32_t address = area.start; address < end; address += g_block_size) {
        if (in_skip_area(address)) {
            progress(address, "Skip");
            continue;
        }
        if (careful_image_block(image, area, address, "Update") != 0)
            return STATUS_FAILED;
        if (exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) != 0)
            return -1;
        if (first_difference(reply->data) == g_block_size) {
            ++t->right;
        } else if (++found >= budget) {
            return rewrite_rest(port, reply, image, area, address, t);
        } else if (const int rc = rewrite_block(port, reply, address, is_erased(reply->data), t);
                   rc != 0) {
            return rc;
        }
        ++t->checked;
        progress(address, "Update");
    }
    return 0;
}

} // namespace

int update_proven(int *port, CmdReply *reply, FILE *image, const TargetArea &area) {
    Tally t;
    uint16_t sum = 0;
    int rc = update_area(port, reply, image, area, &t);
    putchar('\n');
    // Every block read back equal: the SYSCON's own checksum must agree.
    if (rc == 0)
        rc = careful_area_sum(port, reply, image, area, "Update", &sum) != 0
                 ? -1
                 : careful_cross_check(port, reply, area, sum, "Update", "the image");
    if (rc == -1 && g_interrupted == 0)
        fputs("ERROR: Update: stopped by the failed exchange above; the area may not hold the "
              "image: run the update again\n",
              stderr);
    if (rc != 0)
        return STATUS_FAILED;
    printf("Update OK: %u bytes match; %u blocks erased, %u programmed, %u already right\n",
           t.checked * g_block_size, t.erased, t.programmed, t.right);
    return 0;
}

int update_rom(int *port, FILE *image, int target) {
    CmdReply reply{};
    const TargetArea *area = find_target_area(target);
    if (area == nullptr || careful_image_refused(image, *area, "Update"))
        return STATUS_FAILED;
    progress_start(PROGRESS_UPDATE, *area);
    const int status = careful_begin(port, &reply, *area, "nothing was erased") == 0
                           ? update_proven(port, &reply, image, *area)
                           : STATUS_FAILED;
    progress_end();
    return status;
}
