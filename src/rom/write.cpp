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

namespace {

int erase(int *port, CmdReply *reply, const char *format, uint32_t address, uint32_t size) {
    if (proof_forget() != 0)
        return -1;
    printf(format, address, size);
    progress_erase(address, size);
    if (exec_cmd(port, CMD_N_ERS, reply, address, size) != 0)
        return -1;
    progress_erased();
    return 0;
}

int erase_area(int *port, CmdReply *reply, const TargetArea &area, bool skip) {
    if (!skip)
        return erase(port, reply, "  Erase address = 0x%08x / size = 0x%08x\n", area.start,
                     area.size);
    const uint32_t skip_end = g_skip_addr + g_skip_size;
    if (erase(port, reply, "  Erase address(1) = 0x%08x / size = 0x%08x\n", area.start,
              g_skip_addr - area.start) != 0)
        return -1;
    return erase(port, reply, "  Erase address(2) = 0x%08x / size = 0x%08x\n", skip_end,
                 area_end(area) - skip_end);
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
        if (skip && in_skip_area(address)) {
            printf("\r  Skip Address = 0x%08x", address);
        } else if (has_data(block, g_block_size)) {
            if (exec_cmd(port, CMD_N_WDT, reply, address, g_block_size, block) != 0) {
                status = STATUS_FAILED;
                break;
            }
            printf("\r  Write Address = 0x%08x size = 0x%04x", address, g_block_size);
        } else {
            printf("\r  Write Address = 0x%08x", address);
        }
        fflush(stdout);
        progress_block(address);
    }
    putchar('\n');
    return status;
}

int write_area(int *port, FILE *image, int target, bool skip) {
    // One block for the whole run; the preamble can only make blocks smaller.
    uint8_t *block = static_cast<uint8_t *>(calloc(1, g_block_size));
    if (block == nullptr) {
        fprintf(stderr, "ERROR: Cannot allocate a block buffer of %u bytes: %s\n", g_block_size,
                strerror(errno));
        return STATUS_FAILED;
    }

    int status = STATUS_FAILED;
    CmdReply reply{};
    const TargetArea *area = find_target_area(target);
    if (area != nullptr)
        progress_start(PROGRESS_WRITE, *area);
    // A skip area that does not fit is refused before anything is erased.
    if (area != nullptr && select_target(port, &reply, area) == 0 &&
        !(skip && skip_area_refused(*area, "nothing was erased")) &&
        erase_area(port, &reply, *area, skip) == 0)
        status = program_area(port, &reply, image, *area, skip, block);
    progress_end();
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
