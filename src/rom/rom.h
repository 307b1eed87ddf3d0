// ROM operations on the SYSCON's flash: the target areas, the transfer
// preamble, and write, read back, version and checksum.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "protocol/protocol.h"
#include "serial/events.h"
#include "status.h"

enum : int {
    TARGET_APLI = 1, // application area
    TARGET_IPL = 2,  // boot loader area
    TARGET_FONT = 3, // font area
    TARGET_COUNT = 4,
};

// A target area. Its -t keywords are its name and its letter, each in lower
// or upper case ("ipl", "IPL", "i", "I").
struct TargetArea {
    const char *name;
    char letter;
    uint8_t device_id;
    uint32_t start;
    uint32_t size;
    int version_cmd;
    int checksum_cmd;
};

// Indexed by target code; row 0 is no target.
inline constexpr std::array<TargetArea, TARGET_COUNT> g_target_areas{{
    {"", 0, 0, 0, 0, 0, 0},
    {"apli", 'a', 0, 0x000000, 0x1E8000, CMD_N_ARV, CMD_N_ASM},
    {"ipl", 'i', 0, 0x1E8000, 0x018000, CMD_N_IRV, CMD_N_ISM},
    {"font", 'f', 1, 0x100000, 0x060000, CMD_N_FRV, CMD_N_FSM},
}};

enum : int {
    OP_WRITE = 1,
    OP_READ = 2,
    OP_VERSION = 3,
    OP_CHECKSUM = 4,
    OP_VERIFY = 5,
    OP_UPDATE = 6,
    OP_BACKUP = 7,
    OP_ENSURE = 8,
    OP_COUNT = 9,
};

// An operation. Its -o keywords are its name in lower or upper case, and its
// letter, if it has one, in either case; the careful operations have none
// (V and v are the version).
struct Operation {
    const char *name;
    char letter;
    bool careful;          // doubtful input refused, exchanges kept in step, status 0 proven
    bool changes_flash;    // it may erase or program
    const char *progress;  // the word of its progress lines, nullptr for none
    const char *aftermath; // what an interruption leaves besides the flash; "" for none
};

// Indexed by operation code; row 0 is no operation.
inline constexpr std::array<Operation, OP_COUNT> g_operations{{
    {"", 0, false, false, nullptr, ""},
    {"write", 'w', false, true, "Write", ""},
    {"read", 'r', false, false, "Read", "; the file holds only the blocks read"},
    {"version", 'v', false, false, nullptr, ""},
    {"checksum", 'c', false, false, nullptr, "; there is no checksum"},
    {"verify", 0, true, false, "Verify", "; there is no verdict"},
    {"update", 0, true, true, "Update", ""},
    {"backup", 0, true, false, "Backup", "; the backup file is left as it was"},
    {"ensure", 0, true, true, "Update", ""},
}};

// No two keywords of a table are alike: names differ, and so do the letters
// of the areas, and of the operations that have one.
consteval bool keywords_unique() {
    const auto same = [](const char *a, const char *b) {
        while (*a != 0 && *a == *b)
            ++a, ++b;
        return *a == *b;
    };
    for (int i = 1; i < TARGET_COUNT; ++i)
        for (int j = i + 1; j < TARGET_COUNT; ++j)
            if (same(g_target_areas[i].name, g_target_areas[j].name) ||
                g_target_areas[i].letter == g_target_areas[j].letter)
                return false;
    for (int i = 1; i < OP_COUNT; ++i)
        for (int j = i + 1; j < OP_COUNT; ++j)
            if (same(g_operations[i].name, g_operations[j].name) ||
                (g_operations[i].letter != 0 && g_operations[i].letter == g_operations[j].letter))
                return false;
    return true;
}
static_assert(keywords_unique());

inline constexpr uint32_t FALLBACK_BLOCK_SIZE = 1024;

constexpr uint32_t area_end(const TargetArea &a) {
    return a.start + a.size;
}

// Application and boot loader lie back to back on device 0 and fill its 2 MiB;
// the font area lies alone on device 1; every area is whole blocks of either size.
static_assert(area_end(g_target_areas[TARGET_APLI]) == g_target_areas[TARGET_IPL].start);
static_assert(g_target_areas[TARGET_APLI].start == 0 &&
              area_end(g_target_areas[TARGET_IPL]) == 0x200000);
static_assert(g_target_areas[TARGET_APLI].device_id == g_target_areas[TARGET_IPL].device_id);
static_assert(g_target_areas[TARGET_FONT].device_id != g_target_areas[TARGET_APLI].device_id);
static_assert([] {
    for (int t = TARGET_APLI; t < TARGET_COUNT; ++t)
        if (g_target_areas[t].start % MAX_BLOCK_SIZE || g_target_areas[t].size % MAX_BLOCK_SIZE ||
            g_target_areas[t].size == 0)
            return false;
    return MAX_BLOCK_SIZE % FALLBACK_BLOCK_SIZE == 0;
}());

// Skip area of the -s option; it exists when g_skip_size is not 0.
extern uint32_t g_skip_addr;
extern uint32_t g_skip_size;

// Receives the version text: at most 12 characters and a zero byte.
extern char g_version_buf[32];

// Row of a target code, or nullptr after reporting an unknown target.
const TargetArea *find_target_area(int target);

// Selects the area's flash device and agrees the block size, falling back
// once from 4096 to 1024 bytes. Returns 0 or -1.
int select_target(int *port, CmdReply *reply, const TargetArea *area);

// True when the block at `address` starts inside the skip area.
bool in_skip_area(uint32_t address);

// True, after reporting it with `consequence` at the end of the line, when the
// skip area does not lie inside `area` in whole blocks of g_block_size.
bool skip_area_refused(const TargetArea &area, const char *consequence);

// Reads the next g_block_size bytes of the image into `block`, padded with
// 0xFF past the image's end. Returns 0, or -1 on a read error.
int read_image_block(FILE *image, uint8_t *block);

// Non-zero when any byte differs from 0xFF.
int has_data(const uint8_t *bytes, uint32_t count);

// Erase and program the area from `image`. Return 0 or 11.
int write_rom(int *port, FILE *image, int target);
int write_rom_skip(int *port, FILE *image, int target);

// Read the area back into `out`. Returns 0 or 11.
int read_rom(int *port, FILE *out, int target);

// The careful operations (verify, update, backup) share one policy: doubtful
// input is refused before anything is sent, exchanges are kept in step
// (g_exchange), the result is checked against the SYSCON's own checksum of
// the area, and status 0 is a proof.

// The image's block at the address being worked on, padded with 0xFF.
extern uint8_t g_image_block[MAX_BLOCK_SIZE];

// True, after reporting why with `op` ("Verify", "Update") in front, when the
// image is not a regular file, is empty, or is longer than the area.
bool careful_image_refused(FILE *image, const TargetArea &area, const char *op);

// Reads the image's block at `address` of `area` into g_image_block.
// Returns 0, or -1 after reporting a read error.
int careful_image_block(FILE *image, const TargetArea &area, uint32_t address, const char *op);

// Offset of the first byte of `flash` that differs from g_image_block, or
// g_block_size when the block matches.
uint32_t first_difference(const uint8_t *flash);

// Starts a careful operation: keeps the exchanges in step from here on
// (exchange_policy_begin: the front end ends it), waits for a quiet line,
// gives a SYSCON that does not answer the first request up to the erase
// limit, selects the area's device and agrees the block size; with
// `consequence` given, a skip area that does not fit is refused (see
// skip_area_refused). Returns 0 or -1.
int careful_begin(int *port, CmdReply *reply, const TargetArea &area, const char *consequence);

// Blocks of the area outside the skip area at the block size in force.
uint32_t careful_block_count(const TargetArea &area);

// The 16-bit sum of what the area must hold: the image padded with 0xFF, and
// the skip area as the SYSCON reads it back. Returns 0, or -1 after a failed
// read of the image or of the skip area.
int careful_area_sum(int *port, CmdReply *reply, FILE *image, const TargetArea &area,
                     const char *op, uint16_t *sum);

// The second witness of a careful result: the SYSCON's own checksum of the
// area must equal `sum`, the sum of `what` ("the image", "what was read").
// Keeping the exchanges in step cannot see a SYSCON that works on another
// device than it says, and a 16-bit sum alone can miss a shift: a careful
// result needs both. Returns 0, or STATUS_FAILED after saying why.
int careful_cross_check(int *port, CmdReply *reply, const TargetArea &area, uint16_t sum,
                        const char *op, const char *what);

// Compares the area with `image` padded with 0xFF to the area's size, block
// by block, with the exchanges kept in step. Returns 0 when they match, 11
// when they differ or the comparison fails.
int verify_rom(int *port, FILE *image, int target);

// Brings the area to hold `image` padded with 0xFF, skip area left alone,
// rewriting only the blocks that differ and reading every block back after its
// last change. Returns 0 when every block outside the skip area was read equal
// to the image, 11 otherwise.
int update_rom(int *port, FILE *image, int target);
// The same after careful_begin, for ensure: the update and its proof, with
// update's lines. Returns 0 or STATUS_FAILED.
int update_proven(int *port, CmdReply *reply, FILE *image, const TargetArea &area);

// Keeps the area in line with `image` at a cost of a few exchanges when the
// SYSCON still answers the version text and checksum recorded after the last
// proven update of that image; otherwise updates, proves and records anew.
// Returns 0, or 11 with no record left.
int ensure_rom(int *port, FILE *image, int target);

// The record of the last proof of an area (src/rom/proof.cpp), one file per
// port and target in $UPDATE_SYSCON_STATE (default /var/lib/update_syscon).
struct Proof {
    char sha256[65]; // of the image file
    uint64_t size;   // of the image file
    uint32_t skip_addr, skip_size;
    char version[13];   // the SYSCON's version text of the area
    uint16_t checksum;  // the SYSCON's checksum of the area
    char proven_at[80]; // UTC
};
enum : int { PROOF_OK, PROOF_NONE, PROOF_BAD };

// Where this run's record lies, for the port `device` and `area`.
void proof_locate(const char *device, const TargetArea &area);
const char *proof_path();
// PROOF_OK with `p` filled, PROOF_NONE, or PROOF_BAD for one that cannot be
// read or is not whole.
int proof_read(Proof *p);
// Writes `p`, stamped with the time, atomically and durably. 0 or -1 (errno).
int proof_write(Proof *p);
// Removes the record, durably, before the area's first erase or program in
// this run. 0, or -1 after reporting that it cannot be removed.
int proof_forget();
// Hexadecimal SHA-256 and size of the whole image. 0, or -1 on a read error.
int image_sha256(FILE *image, char hex[65], uint64_t *size);

// Reads the whole area into a file beside `path`, checks the bytes read
// against the SYSCON's checksum of the area, and only then renames the file
// to `path`. Returns 0, or 11 with `path` left as it was.
int backup_rom(int *port, const char *path, int target);

// Signals for the whole run: SIGINT, SIGTERM and SIGHUP (unless ignored when
// the tool started) end a run outside a block operation as they would without
// a handler, after its end event.
void signals_take();

// A block operation, from block_operation_begin before its first exchange to
// block_operation_end after its last: a signal sets g_interrupted, the
// exchange in flight stops at once, exec_cmd fails without messages, and the
// operation unwinds as after a failed exchange; a second signal ends the
// process at once. SIGPIPE is ignored from here to the end of the run. Block
// loops report each erase before it is sent (progress_erase) and once it is
// acknowledged (progress_erased), each program before it is sent
// (progress_program) and once it is (progress_programmed), and each block
// done, skip area blocks included (progress_block, with its BlockResult):
// blocks are done in address order from the area's start. The front end then
// calls progress_report and exits with 128 + the signal.
void block_operation_begin(int op, const TargetArea &area);
void block_operation_end();
void progress_erase(uint32_t address, uint32_t size);
void progress_erased();
void progress_program();
void progress_programmed();
// Counts the block, writes its event and the operation's progress line.
void progress_block(uint32_t address, int result);
// Ends the progress lines of a block loop.
void progress_lines_end();
// Blocks erased, programmed and found right so far in this run.
RunCounts progress_counts();
// After an interruption of a block operation: prints on standard error which
// address ranges are done, erased or untouched, whether the area holds the
// image and what to run next, and returns the signal number. Otherwise 0.
int progress_report();

// Erases `size` bytes at `address` after removing the record of the last
// proof, printing `line` (with the address and size) first when given;
// without a line, an empty range sends nothing. 0 or -1.
int erase_range(int *port, CmdReply *reply, uint32_t address, uint32_t size,
                const char *line = nullptr);
// Programs one block of `data` at `address` after removing the record of
// the last proof. 0 or -1.
int program_block(int *port, CmdReply *reply, uint32_t address, const uint8_t *data);

// Version text of the area; 0 or -1.
int query_version(int *port, int target, FILE *out);

// Checksum from the SYSCON (0 or -1), or computed over the read-back blocks
// outside the skip area when one is set (0 or 11).
int query_checksum(int *port, int target, FILE *out);
int sum_rom(int *port, int target, FILE *out);
