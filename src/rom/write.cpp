#include "rom/rom.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

int read_image_block(FILE *image, uint8_t *block) {
    clearerr(image);
    const size_t n = fread(block, 1, g_block_size, image);
    if (n < g_block_size) {
        if (ferror(image))
            return -1;
        memset(block + n, 0xFF, g_block_size - n); // past the image's end
    }
    return 0;
}

int has_data(const uint8_t *bytes, uint32_t count) {
    uint8_t any = 0;
    for (uint32_t i = 0; i < count; ++i)
        any |= static_cast<uint8_t>(~bytes[i]);
    return any;
}

int erase_range(int *port, CmdReply *reply, uint32_t address, uint32_t size, const char *line) {
    if (line == nullptr && size == 0)
        return 0;
    if (proof_forget() != 0)
        return -1;
    if (line != nullptr)
        printf(line, address, size);
    progress_erase(address, size);
    if (exec_cmd(port, CMD_N_ERS, reply, address, size) != 0)
        return -1;
    progress_erased();
    return 0;
}

int program_block(int *port, CmdReply *reply, uint32_t address, const uint8_t *data) {
    if (proof_forget() != 0)
        return -1;
    progress_program();
    if (exec_cmd(port, CMD_N_WDT, reply, address, g_block_size, data) != 0)
        return -1;
    progress_programmed();
    return 0;
}

namespace {

int erase_area(int *port, CmdReply *reply, const TargetArea &area, bool skip) {
    if (!skip)
        return erase_range(port, reply, area.start, area.size,
                           "  Erase address = 0x%08x / size = 0x%08x\n");
    const uint32_t skip_end = g_skip_addr + g_skip_size;
    if (erase_range(port, reply, area.start, g_skip_addr - area.start,
                    "  Erase address(1) = 0x%08x / size = 0x%08x\n") != 0)
        return -1;
    return erase_range(port, reply, skip_end, area_end(area) - skip_end,
                       "  Erase address(2) = 0x%08x / size = 0x%08x\n");
}

// Programs the area block by block from the image; blocks of 0xFF only are not sent.
int program_area(int *port, CmdReply *reply, FILE *image, const TargetArea &area, bool skip,
                 uint8_t *block) {
    int status = 0;
    const uint32_t end = area_end(area);
    for (uint32_t address = area.start; address < end; address += g_block_size) {
        if (read_image_block(image, block) != 0) {
            status = STATUS_FAILED;
            break;
        }
        const int result = skip && in_skip_area(address)   ? BLOCK_SKIPPED
                           : has_data(block, g_block_size) ? BLOCK_PROGRAMMED
                                                           : BLOCK_ERASED;
        if (result == BLOCK_PROGRAMMED && program_block(port, reply, address, block) != 0) {
            status = STATUS_FAILED;
            break;
        }
        progress_block(address, result);
    }
    progress_lines_end();
    return status;
}

int write_area(int *port, FILE *image, int target, bool skip) {
    // One block for the whole run; the preamble can only make blocks smaller.
    uint8_t *block = static_cast<uint8_t *>(calloc(1, g_block_size));
    if (block == nullptr) {
        report_error("ERROR: Cannot allocate a block buffer of %u bytes: %s\n", g_block_size,
                     strerror(errno));
        return STATUS_FAILED;
    }

    int status = STATUS_FAILED;
    CmdReply reply{};
    const TargetArea *area = find_target_area(target);
    if (area != nullptr)
        block_operation_begin(OP_WRITE, *area);
    // A skip area that does not fit is refused before anything is erased.
    if (area != nullptr && select_target(port, &reply, area) == 0 &&
        !(skip && skip_area_refused(*area, "nothing was erased")) &&
        erase_area(port, &reply, *area, skip) == 0)
        status = program_area(port, &reply, image, *area, skip, block);
    block_operation_end();
    free(block);
    return status;
}

} // namespace

int write_rom(int *port, FILE *image, int target) {
    return write_area(port, image, target, false);
}

int write_rom_skip(int *port, FILE *image, int target) {
    return write_area(port, image, target, true);
}
