// Backup: the whole area into a file, with the exchanges kept in step and the
// bytes read checked against the SYSCON's own checksum of the area. The file
// is written beside its final name and renamed into place only once it is
// complete, checked and on disk, so a failed backup leaves an older one whole.
#include "rom/rom.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

char g_temp_path[PATH_MAX]; // the file being written: "<path>.XXXXXX"
char g_dir_path[PATH_MAX];  // the directory that holds it

// Reads the area block by block into `out`. Returns 0, or STATUS_FAILED after a
// failed exchange or write; `sum` is the 16-bit sum of the bytes read.
int read_area(int *port, CmdReply *reply, FILE *out, const TargetArea &area, uint16_t *sum) {
    const uint32_t end = area_end(area);
    for (uint32_t address = area.start; address < end; address += g_block_size) {
        if (exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) != 0)
            return STATUS_FAILED;
        if (fwrite(reply->data, 1, g_block_size, out) != g_block_size) {
            fprintf(stderr, "ERROR: Backup: cannot write \"%s\": %s\n", g_temp_path,
                    strerror(errno));
            return STATUS_FAILED;
        }
        *sum = static_cast<uint16_t>(*sum + calc_sum(reply->data, g_block_size));
        printf("\r  Backup Address = 0x%08x", address);
        fflush(stdout);
        progress_block(address);
    }
    return 0;
}

// Flushes the file to disk, closes it, renames it into place and makes the
// rename itself durable. Returns 0 or STATUS_FAILED.
int commit_file(FILE *out, const char *path) {
    const bool written = fflush(out) == 0 && fsync(fileno(out)) == 0;
    const int err = errno;
    if (fclose(out) != 0 || !written) {
        fprintf(stderr, "ERROR: Backup: cannot write \"%s\": %s\n", g_temp_path,
                strerror(written ? errno : err));
        return STATUS_FAILED;
    }
    if (rename(g_temp_path, path) != 0) {
        fprintf(stderr, "ERROR: Backup: cannot rename \"%s\" to \"%s\": %s\n", g_temp_path, path,
                strerror(errno));
        return STATUS_FAILED;
    }
    const int dir = open(g_dir_path, O_RDONLY | O_DIRECTORY);
    if (dir != -1) {
        fsync(dir);
        close(dir);
    }
    return 0;
}

// Creates the file beside `path`, with the permissions fopen would give it.
FILE *create_beside(const char *path) {
    if (snprintf(g_temp_path, sizeof g_temp_path, "%s.XXXXXX", path) >=
        static_cast<int>(sizeof g_temp_path)) {
        fprintf(stderr, "ERROR: Backup: the path \"%s\" is too long\n", path);
        return nullptr;
    }
    snprintf(g_dir_path, sizeof g_dir_path, "%s", path);
    const char *dir = dirname(g_dir_path);
    memmove(g_dir_path, dir, strlen(dir) + 1);
    const int fd = mkstemp(g_temp_path);
    FILE *out = fd == -1 ? nullptr : fdopen(fd, "wb");
    if (out == nullptr) {
        fprintf(stderr, "ERROR: Backup: cannot create \"%s\": %s\n", g_temp_path, strerror(errno));
        if (fd != -1) {
            close(fd);
            unlink(g_temp_path);
        }
        return nullptr;
    }
    const mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    return out;
}

} // namespace

int backup_rom(int *port, const char *path, int target) {
    const TargetArea *area = find_target_area(target);
    if (area == nullptr)
        return STATUS_FAILED;
    // What a backup replaces must be a file: it is found out before anything is sent.
    struct stat st {};
    if (path[0] == '\0' || (stat(path, &st) == 0 && !S_ISREG(st.st_mode))) {
        fprintf(stderr,
                "ERROR: Backup: \"%s\" is not a file that a backup can replace; nothing was sent\n",
                path);
        return STATUS_FAILED;
    }
    FILE *out = create_beside(path);
    if (out == nullptr)
        return STATUS_FAILED;

    CmdReply reply{};
    uint16_t sum = 0;
    int status = STATUS_FAILED;
    // A backup is of the whole area: a skip area is read too.
    progress_start(PROGRESS_BACKUP, *area);
    if (careful_begin(port, &reply, *area, nullptr) == 0) {
        status = read_area(port, &reply, out, *area, &sum);
        putchar('\n');
        if (status == 0)
            status = careful_cross_check(port, &reply, *area, sum, "Backup", "what was read");
    }
    progress_end();
    if (status == 0 && commit_file(out, path) == 0) {
        printf("Backup OK: %u bytes\n", area->size);
        return 0;
    }
    if (status != 0)
        fclose(out);
    unlink(g_temp_path);
    fprintf(stderr, "ERROR: Backup: not written; \"%s\" is left as it was\n", path);
    return STATUS_FAILED;
}
