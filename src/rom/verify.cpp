#include "rom/rom.h"

namespace {

struct Difference {
    uint32_t blocks = 0; // blocks compared, skipped ones not counted
    uint32_t differing = 0;
    uint32_t first = 0; // address of the first differing byte
    uint8_t image_byte = 0;
    uint8_t flash_byte = 0;
};

// Reads the area block by block and compares each block with the image. The
// first difference is confirmed by a second read after a quiet line; once one
// is confirmed, later blocks are compared from one read each.
int compare_area(int *port, CmdReply *reply, FILE *image, const TargetArea &area, Difference *d) {
    const uint32_t end = area_end(area);
    for (uint32_t address = area.start; address < end; address += g_block_size) {
        if (in_skip_area(address)) {
            progress_block(address, BLOCK_SKIPPED);
            continue;
        }
        if (careful_image_block(image, area, address, "Verify") != 0 ||
            exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) != 0)
            return STATUS_FAILED;
        uint32_t at = first_difference(reply->data);
        if (at < g_block_size && d->differing == 0) {
            // A block that came from an exchange out of step does not repeat.
            wait_line_quiet(port);
            if (exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) != 0)
                return STATUS_FAILED;
            at = first_difference(reply->data);
            if (at < g_block_size) {
                d->first = address + at;
                d->image_byte = g_image_block[at];
                d->flash_byte = reply->data[at];
            }
        }
        d->differing += at < g_block_size;
        ++d->blocks;
        progress_block(address, at < g_block_size ? BLOCK_DIFFERS : BLOCK_RIGHT);
    }
    return 0;
}

} // namespace

int verify_rom(int *port, FILE *image, int target) {
    CmdReply reply{};
    const TargetArea *area = find_target_area(target);
    if (area == nullptr || careful_image_refused(image, *area, "Verify"))
        return STATUS_FAILED;

    int status = STATUS_FAILED;
    Difference d;
    uint16_t sum = 0;
    block_operation_begin(OP_VERIFY, *area);
    if (careful_begin(port, &reply, *area, "nothing was compared") == 0) {
        status = compare_area(port, &reply, image, *area, &d);
        progress_lines_end();
        // No difference seen: the SYSCON's own checksum must agree.
        if (status == 0 && d.differing == 0)
            status = careful_area_sum(port, &reply, image, *area, "Verify", &sum) != 0
                         ? STATUS_FAILED
                         : careful_cross_check(port, &reply, *area, sum, "Verify", "the image");
    }
    block_operation_end();

    if (status != 0)
        return status;
    if (d.differing != 0) {
        event_outcome(RESULT_DIFFERS);
        report_error("ERROR: Verify: first difference at 0x%08x: image 0x%02x, flash 0x%02x; "
                     "%u of %u blocks differ\n",
                     d.first, d.image_byte, d.flash_byte, d.differing, d.blocks);
        return STATUS_FAILED;
    }
    printf("Verify OK: %u bytes match\n", d.blocks * g_block_size);
    return 0;
}
