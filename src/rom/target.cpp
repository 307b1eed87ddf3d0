#include "rom/rom.h"

uint32_t g_skip_addr = 0;
uint32_t g_skip_size = 0;
char g_version_buf[32];

const TargetArea *find_target_area(int target) {
    if (target < TARGET_APLI || target >= TARGET_COUNT) {
        event_outcome(RESULT_REFUSED);
        report_error("ERROR: Unknouwn Target\n");
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
    event_size(g_block_size, area->size / g_block_size);
    return exec_cmd(port, CMD_N_SIZ, reply, g_block_size) == 0 ? 0 : -1;
}

bool in_skip_area(uint32_t address) {
    return g_skip_addr <= address && address < g_skip_addr + g_skip_size;
}

// A skip area is kept exactly only when it lies inside the area in whole
// blocks; anything else would erase outside the area, program over the skip
// area, or compare part of it.
bool skip_area_refused(const TargetArea &area, const char *consequence) {
    const uint64_t skip_end = uint64_t{g_skip_addr} + g_skip_size;
    if (g_skip_addr >= area.start && skip_end <= area_end(area) &&
        g_skip_addr % g_block_size == 0 && g_skip_size % g_block_size == 0)
        return false;
    event_outcome(RESULT_REFUSED);
    report_error("ERROR: Skip area 0x%08x,0x%08x does not lie inside the target area "
                 "0x%08x-0x%08x in whole blocks of 0x%x bytes; %s\n",
                 g_skip_addr, g_skip_size, area.start, area_end(area), g_block_size, consequence);
    return true;
}
