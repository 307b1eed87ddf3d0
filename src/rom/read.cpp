#include "rom/rom.h"

int read_rom(int *port, FILE *out, int target) {
    CmdReply reply{};
    const TargetArea *area = find_target_area(target);
    if (area == nullptr)
        return STATUS_FAILED;
    block_operation_begin(OP_READ, *area);
    if (select_target(port, &reply, area) != 0) {
        block_operation_end();
        return STATUS_FAILED;
    }

    int status = 0;
    const uint32_t end = area_end(*area);
    for (uint32_t address = area->start; address < end; address += g_block_size) {
        if (exec_cmd(port, CMD_N_RDT, &reply, address, g_block_size) != 0) {
            status = STATUS_FAILED;
            break;
        }
        // Straight from the receive buffer, before the next command reuses it.
        const bool written = fwrite(reply.data, 1, g_block_size, out) == g_block_size;
        progress_block(address, BLOCK_READ);
        if (!written) {
            status = STATUS_FAILED;
            break;
        }
    }
    progress_lines_end();
    block_operation_end();
    return status;
}
