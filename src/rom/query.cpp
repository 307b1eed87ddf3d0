#include "rom/rom.h"

#include "serial/uart.h"

namespace {

// Prints a checksum on standard output, then into `out` when it is open.
// A sum of 0 reads "XXXX", without a line feed on standard output.
void report_sum(uint32_t sum, FILE *out) {
    if (sum != 0) {
        printf("%04X\n", sum & 0xFFFF);
        if (out)
            fprintf(out, "%04X\n", sum & 0xFFFF);
    } else {
        fputs("XXXX", stdout);
        if (out)
            fputs("XXXX\n", out);
    }
}

} // namespace

int query_version(int *port, int target, FILE *out) {
    const TargetArea *area = find_target_area(target);
    if (area == nullptr)
        return STATUS_QUERY_FAILED;
    CmdReply reply{};
    reply.text = g_version_buf;
    if (exec_cmd(port, area->version_cmd, &reply) != 0)
        return STATUS_QUERY_FAILED;
    printf("%s\n", g_version_buf);
    if (out)
        fprintf(out, "%s\n", g_version_buf);
    return 0;
}

int query_checksum(int *port, int target, FILE *out) {
    if (g_skip_size != 0)
        return sum_rom(port, target, out);

    const TargetArea *area = find_target_area(target);
    if (area == nullptr)
        return STATUS_QUERY_FAILED;
    CmdReply reply{};
    if (exec_cmd(port, area->checksum_cmd, &reply) != 0)
        return STATUS_QUERY_FAILED;
    report_sum(static_cast<uint32_t>(reply.payload[0] << 8 | reply.payload[1]), out);
    return 0;
}

int sum_rom(int *port, int target, FILE *out) {
    CmdReply reply{};
    const TargetArea *area = find_target_area(target);
    if (area == nullptr)
        return STATUS_FAILED;
    block_operation_begin(OP_CHECKSUM, *area);
    if (select_target(port, &reply, area) != 0) {
        block_operation_end();
        return STATUS_FAILED;
    }

    int status = 0;
    uint32_t sum = 0;
    const uint32_t end = area_end(*area);
    for (uint32_t address = area->start; address < end; address += g_block_size) {
        // Only a block's first address is tested; the skip end wraps modulo 2^32.
        if (in_skip_area(address)) {
            progress_block(address, BLOCK_SKIPPED);
            continue;
        }
        if (exec_cmd(port, CMD_N_RDT, &reply, address, g_block_size) != 0) {
            status = STATUS_FAILED;
            break;
        }
        for (uint32_t i = 0; i < g_block_size; ++i)
            sum += reply.data[i];
        progress_block(address, BLOCK_READ);
    }
    block_operation_end();
    if (g_interrupted != 0)
        return STATUS_FAILED; // no sum of part of the area
    report_sum(sum, out);
    return status;
}
