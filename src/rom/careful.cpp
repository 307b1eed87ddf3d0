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
        fprintf(stderr, "ERROR: %s: the image %s; nothing was sent\n", op, why);
        return true;
    }
    if (static_cast<uint64_t>(st.st_size) <= area.size)
        return false;
    fprintf(stderr,
            "ERROR: %s: the image is longer than the target area 0x%08x-0x%08x (0x%x bytes); "
            "it cannot be in the area\n",
            op, area.start, area_end(area), area.size);
    return true;
}

int careful_image_block(FILE *image, const TargetArea &area, uint32_t address, const char *op) {
    if (fseek(image, static_cast<long>(address - area.start), SEEK_SET) == 0 &&
        read_image_block(image, g_image_block) == 0)
        return 0;
    fprintf(stderr, "ERROR: %s: cannot read the image\n", op);
    return -1;
}

uint32_t first_difference(const uint8_t *flash) {
    for (uint32_t i = 0; i < g_block_size; ++i)
        if (flash[i] != g_image_block[i])
            return i;
    return g_block_size;
}

int careful_begin(int *port, CmdReply *reply, const TargetArea &area, const char *consequence) {
    g_resync = true;
    g_stop_on_hangup = true;
    // An earlier process stopped part-way may have left the SYSCON answering,
    // taking in its last frame, or erasing: a quiet line first, then the
    // patience of the first request.
    g_await_syscon = true;
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
