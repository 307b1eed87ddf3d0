// Backup: the whole area into a file, with the exchanges kept in step and the
// bytes read checked against the SYSCON's own checksum of the area. The file
// is written unnamed beside the one it replaces and linked into place only
// once it is complete, checked and on disk, so a failed backup leaves an older
// one whole, and one killed outright leaves nothing behind. A replaced file
// keeps its mode and, for root, its owner; a symbolic link at -f is kept, and
// the file it points to is the one replaced.
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

char g_target[PATH_MAX];    // the file replaced: -f, or where its link points
char g_temp_path[PATH_MAX]; // the name the new file has before the rename
char g_dir_path[PATH_MAX];  // the directory that holds both
bool g_unnamed;             // the new file was made without a name (O_TMPFILE)
bool g_named;               // g_temp_path names the new file: removed on failure

struct Identity {
    mode_t mode;
    uid_t uid;
    gid_t gid;
    bool owned; // the old file's owner is to be kept
};

// Reads the area block by block into `out`. Returns 0, or STATUS_FAILED after a
// failed exchange or write; `sum` is the 16-bit sum of the bytes read.
int read_area(int *port, CmdReply *reply, FILE *out, const TargetArea &area, uint16_t *sum) {
    const uint32_t end = area_end(area);
    for (uint32_t address = area.start; address < end; address += g_block_size) {
        if (exec_cmd(port, CMD_N_RDT, reply, address, g_block_size) != 0)
            return STATUS_FAILED;
        if (fwrite(reply->data, 1, g_block_size, out) != g_block_size) {
            report_error("ERROR: Backup: cannot write beside \"%s\": %s\n", g_target,
                         strerror(errno));
            return STATUS_FAILED;
        }
        *sum = static_cast<uint16_t>(*sum + calc_sum(reply->data, g_block_size));
        progress_block(address, BLOCK_READ);
    }
    return 0;
}

// Finds the file a backup at `path` replaces and what it is to keep of it.
// Returns 0, or -1 after saying why nothing will be sent.
int find_target(const char *path, Identity *id) {
    struct stat st {};
    const bool link = lstat(path, &st) == 0 && S_ISLNK(st.st_mode);
    if (link ? realpath(path, g_target) == nullptr
             : snprintf(g_target, sizeof g_target, "%s", path) >=
                   static_cast<int>(sizeof g_target)) {
        event_outcome(RESULT_REFUSED);
        report_error("ERROR: Backup: \"%s\": %s; nothing was sent\n", path,
                     link ? strerror(errno) : "the path is too long");
        return -1;
    }
    const mode_t mask = umask(0);
    umask(mask);
    *id = {static_cast<mode_t>(0666 & ~mask), 0, 0, false};
    const bool exists = stat(g_target, &st) == 0;
    if (path[0] == '\0' || (exists && !S_ISREG(st.st_mode))) {
        event_outcome(RESULT_REFUSED);
        report_error(
            "ERROR: Backup: \"%s\" is not a file that a backup can replace; nothing was sent\n",
            path);
        return -1;
    }
    if (exists)
        *id = {static_cast<mode_t>(st.st_mode & 07777), st.st_uid, st.st_gid, geteuid() == 0};
    snprintf(g_dir_path, sizeof g_dir_path, "%s", g_target);
    const char *dir = dirname(g_dir_path);
    memmove(g_dir_path, dir, strlen(dir) + 1);
    return 0;
}

// Creates the new file in the target's directory, unnamed where the file
// system allows it, with the identity it is to have.
FILE *create_file(const Identity &id) {
    int fd = open(g_dir_path, O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    g_unnamed = fd != -1;
    if (snprintf(g_temp_path, sizeof g_temp_path, "%s.XXXXXX", g_target) >=
        static_cast<int>(sizeof g_temp_path)) {
        errno = ENAMETOOLONG;
        if (fd != -1)
            close(fd);
        fd = -1;
    } else if (fd == -1) {
        fd = mkstemp(g_temp_path);
    }
    g_named = !g_unnamed && fd != -1;
    FILE *out = fd == -1 ? nullptr : fdopen(fd, "wb");
    if (out == nullptr) {
        report_error("ERROR: Backup: cannot create a file beside \"%s\": %s\n", g_target,
                     strerror(errno));
        if (fd != -1)
            close(fd);
        if (g_named)
            unlink(g_temp_path);
        return nullptr;
    }
    // The owner first: a change of owner clears the set-id bits.
    if (id.owned && fchown(fd, id.uid, id.gid) != 0)
        report_error("ERROR: Backup: cannot keep the owner of \"%s\": %s\n", g_target,
                     strerror(errno));
    fchmod(fd, id.mode);
    return out;
}

// Gives the unnamed file a name beside the target: a fresh one, so that the
// link cannot meet an existing file.
int name_file(FILE *out) {
    const int fd = mkstemp(g_temp_path);
    if (fd == -1)
        return -1;
    close(fd);
    unlink(g_temp_path);
    char proc[32];
    snprintf(proc, sizeof proc, "/proc/self/fd/%d", fileno(out));
    g_named = linkat(AT_FDCWD, proc, AT_FDCWD, g_temp_path, AT_SYMLINK_FOLLOW) == 0 ||
              linkat(fileno(out), "", AT_FDCWD, g_temp_path, AT_EMPTY_PATH) == 0;
    return g_named ? 0 : -1;
}

// Flushes the file to disk, closes it, renames it into place and makes the
// rename itself durable. Returns 0 or STATUS_FAILED; the file is closed.
int commit_file(FILE *out) {
    bool done = fflush(out) == 0 && fsync(fileno(out)) == 0 && (!g_unnamed || name_file(out) == 0);
    const int err = errno;
    done = fclose(out) == 0 && done;
    if (!done || rename(g_temp_path, g_target) != 0) {
        report_error("ERROR: Backup: cannot put the new file in place of \"%s\": %s\n", g_target,
                     strerror(done ? errno : err));
        return STATUS_FAILED;
    }
    g_named = false;
    const int dir = open(g_dir_path, O_RDONLY | O_DIRECTORY);
    if (dir != -1) {
        fsync(dir);
        close(dir);
    }
    return 0;
}

} // namespace

int backup_rom(int *port, const char *path, int target) {
    const TargetArea *area = find_target_area(target);
    Identity id{};
    if (area == nullptr || find_target(path, &id) != 0)
        return STATUS_FAILED;
    FILE *out = create_file(id);
    if (out == nullptr)
        return STATUS_FAILED;

    CmdReply reply{};
    uint16_t sum = 0;
    int status = STATUS_FAILED;
    // A backup is of the whole area: a skip area is read too.
    block_operation_begin(OP_BACKUP, *area);
    if (careful_begin(port, &reply, *area, nullptr) == 0) {
        status = read_area(port, &reply, out, *area, &sum);
        progress_lines_end();
        if (status == 0)
            status = careful_cross_check(port, &reply, *area, sum, "Backup", "what was read");
    }
    block_operation_end();
    if (status == 0 && commit_file(out) == 0) {
        printf("Backup OK: %u bytes\n", area->size);
        return 0;
    }
    if (status != 0)
        fclose(out);
    if (g_named)
        unlink(g_temp_path);
    report_error("ERROR: Backup: not written; \"%s\" is left as it was\n", path);
    return STATUS_FAILED;
}
