// What the careful operations (verify, update, backup) share: the refusal of
// doubtful images before anything is sent, the image's block in hand, and the
// start that keeps every later exchange in step.
#include "rom/rom.h"

#include "serial/uart.h"

#include <sys/stat.h>

uint8_t g_image_block[MAX_BLOCK_SIZE];

bool careful_image_refused(FILE *image, const TargetArea &area, const char *op) {
    // A regular file's length is known before anything is sent; a directory,
    // a device or a pipe would only show what it is half-way through.
    struct stat st {};
    const char *why = nullptr;
    if (fstat(fileno(image), &st) != 0 || !S_ISREG(st.st_mode))
        why = "is not a regular file";
    else if (st.st_size == 0)
        why = "is empty";
    if (why != nullptr) {
        event_outcome(RESULT_REFUSED);
        report_error("ERROR: %s: the image %s; nothing was sent\n", op, why);
        return true;
    }
    if (static_cast<uint64_t>(st.st_size) <= area.size)
        return false;
    event_outcome(RESULT_REFUSED);
    report_error("ERROR: %s: the image is longer than the target area 0x%08x-0x%08x (0x%x bytes); "
                 "it cannot be in the area\n",
                 op, area.start, area_end(area), area.size);
    return true;
}

int careful_image_block(FILE *image, const TargetArea &area, uint32_t address, const char *op) {
    if (fseek(image, static_cast<long>(address - area.start), SEEK_SET) == 0 &&
        read_image_block(image, g_image_block) == 0)
        return 0;
    report_error("ERROR: %s: cannot read the image\n", op);
    return -1;
}

uint32_t first_difference(const uint8_t *flash) {
    for (uint32_t i = 0; i < g_block_size; ++i)
        if (flash[i] != g_image_block[i])
            return i;
    return g_block_size;
}

int careful_begin(int *port, CmdReply *reply, const TargetArea &area, const char *consequence) {
    // An earlier process stopped part-way may have left the SYSCON answering,
    // taking in its last frame, or erasing: a quiet line first, then the
    // patience of the first request.
    exchange_policy_begin();
    if (wait_line_quiet(port) != 0 && uart_stopped(*port))
        return -1;
    if (select_target(port, reply, &area) != 0)
        return -1;
    if (consequence != nullptr && g_skip_size != 0 && skip_area_refused(area, consequence))
        return -1;
    return 0;
}

uint32_t careful_block_count(const TargetArea &area) {
    return (area.size - g_skip_size) / g_block_size;
}

int careful_area_sum(int *port, CmdReply *reply, FILE *image, const TargetArea &area,
                     const char *op, uint16_t *sum) {
    *sum = 0;
    for (uint32_t address = area.start; address < area_end(area); address += g_block_size) {
        const uint8_t *block = g_image_block;
        if (!in_skip_area(address)) {
            if (careful_image_block(image, area, address, op) != 0)
                return -1;
        } else if (exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) == 0) {
            block = reply->data;
        } else {
            return -1;
        }
        *sum = static_cast<uint16_t>(*sum + calc_sum(block, g_block_size));
    }
    return 0;
}

int careful_cross_check(int *port, CmdReply *reply, const TargetArea &area, uint16_t sum,
                        const char *op, const char *what) {
    if (exec_cmd(port, area.checksum_cmd, reply) != 0) {
        report_error("ERROR: %s: no checksum of the area from the SYSCON to check %s against\n", op,
                     what);
        return STATUS_FAILED;
    }
    const uint16_t syscon = static_cast<uint16_t>(reply->payload[0] << 8 | reply->payload[1]);
    if (syscon == sum)
        return 0;
    report_error(
        "ERROR: %s: the SYSCON's checksum of the area is 0x%04x, but %s sums to 0x%04x: the "
        "SYSCON may work on another flash device than it says, or an answer was taken for "
        "another request's\n",
        op, syscon, what, sum);
    return STATUS_FAILED;
}
