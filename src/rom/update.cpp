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

bool is_erased(const uint8_t *bytes) {
    return has_data(bytes, g_block_size) == 0;
}

// Programs the block at `address` from g_image_block over flash that is
// `erased` already, and reads it back; erases it first otherwise. A block that
// still differs is erased and programmed once more. Returns 0 when it was read
// back equal to the image, -1 when an exchange failed, STATUS_FAILED when it differs.
int rewrite_block(int *port, CmdReply *reply, uint32_t address, bool erased) {
    for (int round = 0; round < 2; ++round) {
        if (!(erased && round == 0) && erase_range(port, reply, address, g_block_size) != 0)
            return -1;
        if (has_data(g_image_block, g_block_size) &&
            program_block(port, reply, address, g_image_block) != 0)
            return -1;
        if (exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) != 0)
            return -1;
        const uint32_t at = first_difference(reply->data);
        if (at == g_block_size)
            return 0;
        if (round == 1) {
            event_outcome(RESULT_UNWRITABLE);
            report_error(
                "ERROR: Update: block 0x%08x still differs after a second erase and program: "
                "at 0x%08x image 0x%02x, flash 0x%02x\n",
                address, address + at, g_image_block[at], reply->data[at]);
        }
    }
    return STATUS_FAILED;
}

// Erases everything from `from` to the area's end outside the skip area, then
// programs and reads back each block of it.
int rewrite_rest(int *port, CmdReply *reply, FILE *image, const TargetArea &area, uint32_t from) {
    const uint32_t end = area_end(area);
    const uint32_t skip_end = g_skip_addr + g_skip_size;
    const bool skip_ahead = g_skip_size != 0 && g_skip_addr >= from;
    if (erase_range(port, reply, from, (skip_ahead ? g_skip_addr : end) - from) != 0 ||
        (skip_ahead && erase_range(port, reply, skip_end, end - skip_end) != 0))
        return -1;
    for (uint32_t address = from; address < end; address += g_block_size) {
        if (in_skip_area(address)) {
            progress_block(address, BLOCK_SKIPPED);
            continue;
        }
        if (careful_image_block(image, area, address, "Update") != 0)
            return STATUS_FAILED;
        if (const int rc = rewrite_block(port, reply, address, true); rc != 0)
            return rc;
        progress_block(address, BLOCK_REWRITTEN);
    }
    return 0;
}

int update_area(int *port, CmdReply *reply, FILE *image, const TargetArea &area) {
    const uint32_t budget = careful_block_count(area) / k_blocks_per_difference_read;
    uint32_t found = 0; // blocks read and found different
    const uint32_t end = area_end(area);
    for (uint32_t address = area.start; address < end; address += g_block_size) {
        if (in_skip_area(address)) {
            progress_block(address, BLOCK_SKIPPED);
            continue;
        }
        if (careful_image_block(image, area, address, "Update") != 0)
            return STATUS_FAILED;
        if (exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) != 0)
            return -1;
        if (first_difference(reply->data) == g_block_size) {
            progress_block(address, BLOCK_RIGHT);
            continue;
        }
        if (++found >= budget)
            return rewrite_rest(port, reply, image, area, address);
        if (const int rc = rewrite_block(port, reply, address, is_erased(reply->data)); rc != 0)
            return rc;
        progress_block(address, BLOCK_REWRITTEN);
    }
    return 0;
}

} // namespace

int update_proven(int *port, CmdReply *reply, FILE *image, const TargetArea &area) {
    uint16_t sum = 0;
    int rc = update_area(port, reply, image, area);
    progress_lines_end();
    // Every block read back equal: the SYSCON's own checksum must agree.
    if (rc == 0)
        rc = careful_area_sum(port, reply, image, area, "Update", &sum) != 0
                 ? -1
                 : careful_cross_check(port, reply, area, sum, "Update", "the image");
    if (rc == -1 && g_interrupted == 0)
        report_error(
            "ERROR: Update: stopped by the failed exchange above; the area may not hold the "
            "image: run the update again\n");
    if (rc != 0)
        return STATUS_FAILED;
    const RunCounts c = progress_counts();
    printf("Update OK: %u bytes match; %u blocks erased, %u programmed, %u already right\n",
           careful_block_count(area) * g_block_size, c.erased, c.programmed, c.right);
    return 0;
}

int update_rom(int *port, FILE *image, int target) {
    CmdReply reply{};
    const TargetArea *area = find_target_area(target);
    if (area == nullptr || careful_image_refused(image, *area, "Update"))
        return STATUS_FAILED;
    block_operation_begin(OP_UPDATE, *area);
    const int status = careful_begin(port, &reply, *area, "nothing was erased") == 0
                           ? update_proven(port, &reply, image, *area)
                           : STATUS_FAILED;
    block_operation_end();
    return status;
}
