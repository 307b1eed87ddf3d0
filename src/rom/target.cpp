#include "rom/rom.h"

uint32_t g_skip_addr = 0;
uint32_t g_skip_size = 0;
char g_version_buf[32];

const TargetArea *find_target_area(int target) {
    if (target < TARGET_APLI || target > TARGET_FONT) {
        fputs("ERROR: Unknouwn Target\n", stderr);
        return nullptr;
    }
    return &g_target_areas[target];
}

int select_target(int *port, CmdReply *reply, const TargetArea *area) {
    if (exec_cmd(port, CMD_N_DEV, reply, area->device_id) != 0)
        return -1;
    if (exec_cmd(port, CMD_N_SIZ, reply, g_block_size) == 0)
        return 0;

    // Whatever made the first size fail, there is one fallback and no third size.
    puts("Adjust Block Size 4Kbyte --> 1Kbyte");
    g_block_size = FALLBACK_BLOCK_SIZE;
    return exec_cmd(port, CMD_N_SIZ, reply, g_block_size) == 0 ? 0 : -1;
}
