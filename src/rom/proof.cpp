// The record of the last proof of an area: one small text file per port and
// target in the state directory, written only after a proven update and
// removed before anything in the area is erased or programmed, so that a run
// cut off at any point leaves no record that the flash would not bear out.
#include "rom/rom.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *k_default_state_dir = "/var/lib/update_syscon";
constexpr const char *k_magic = "update_syscon proof 1\n";

char g_state_dir[PATH_MAX];
char g_proof_path[PATH_MAX]; // "" when no record applies to this run
bool g_forgotten;            // removed in this run: once is enough

void sync_dir() {
    const int dir = open(g_state_dir, O_RDONLY | O_DIRECTORY);
    if (dir != -1) {
        fsync(dir);
        close(dir);
    }
}

// The value after "key " on its own line of `text`, or nullptr.
const char *field(const char *text, const char *key) {
    const size_t n = strlen(key);
    for (const char *line = text; line != nullptr && *line != '\0';) {
        if (strncmp(line, key, n) == 0 && line[n] == ' ')
            return line + n + 1;
        line = strchr(line, '\n');
        line = line != nullptr ? line + 1 : nullptr;
    }
    return nullptr;
}

// Copies the rest of the line at `value` into `out` (at most `size` - 1
// bytes); false when it does not fit or is missing.
bool copy_line(const char *value, char *out, size_t size) {
    const size_t n = value == nullptr ? size : strcspn(value, "\n");
    if (n >= size)
        return false;
    memcpy(out, value, n);
    out[n] = '\0';
    return true;
}

bool number(const char *value, int base, uint64_t *out) {
    char *end = nullptr;
    if (value == nullptr || !isxdigit(static_cast<unsigned char>(*value)))
        return false;
    errno = 0;
    *out = strtoull(value, &end, base);
    return errno == 0 && *end == '\n';
}

} // namespace

void proof_locate(const char *device, const TargetArea &area) {
    const char *dir = getenv("UPDATE_SYSCON_STATE");
    snprintf(g_state_dir, sizeof g_state_dir, "%s",
             dir != nullptr && *dir != '\0' ? dir : k_default_state_dir);
    // The port's path, its slashes made dashes: /dev/ttyS1 -> dev-ttyS1.ipl
    char name[NAME_MAX - 8];
    const char *from = device + strspn(device, "/");
    if (snprintf(name, sizeof name, "%s", from) >= static_cast<int>(sizeof name))
        return; // a path that long has no record
    for (char *c = name; *c != '\0'; ++c)
        *c = *c == '/' ? '-' : *c;
    if (snprintf(g_proof_path, sizeof g_proof_path, "%s/%s.%s", g_state_dir, name, area.name) >=
        static_cast<int>(sizeof g_proof_path))
        g_proof_path[0] = '\0';
    g_forgotten = false;
}

const char *proof_path() {
    return g_proof_path;
}

int proof_read(Proof *p) {
    FILE *f = g_proof_path[0] != '\0' ? fopen(g_proof_path, "r") : nullptr;
    if (f == nullptr)
        return errno == ENOENT || g_proof_path[0] == '\0' ? PROOF_NONE : PROOF_BAD;
    char text[1024];
    const size_t n = fread(text, 1, sizeof text - 1, f);
    const bool whole = feof(f) && !ferror(f);
    fclose(f);
    text[n] = '\0';
    uint64_t size = 0, skip_addr = 0, skip_size = 0, sum = 0;
    char version_hex[2 * sizeof p->version];
    *p = Proof{};
    if (!whole || strncmp(text, k_magic, strlen(k_magic)) != 0 ||
        !copy_line(field(text, "image-sha256"), p->sha256, sizeof p->sha256) ||
        strlen(p->sha256) != 64 || !number(field(text, "image-size"), 10, &size) ||
        !number(field(text, "skip-address"), 16, &skip_addr) ||
        !number(field(text, "skip-size"), 16, &skip_size) ||
        !number(field(text, "checksum"), 16, &sum) || sum > 0xFFFF ||
        !copy_line(field(text, "version-hex"), version_hex, sizeof version_hex) ||
        strlen(version_hex) % 2 != 0 ||
        !copy_line(field(text, "proven-at"), p->proven_at, sizeof p->proven_at))
        return PROOF_BAD;
    for (size_t i = 0; version_hex[2 * i] != '\0'; ++i) {
        const char pair[3] = {version_hex[2 * i], version_hex[2 * i + 1], '\0'};
        char *end = nullptr;
        p->version[i] = static_cast<char>(strtoul(pair, &end, 16));
        if (*end != '\0' || p->version[i] == '\0')
            return PROOF_BAD;
    }
    p->size = size;
    p->skip_addr = static_cast<uint32_t>(skip_addr);
    p->skip_size = static_cast<uint32_t>(skip_size);
    p->checksum = static_cast<uint16_t>(sum);
    return PROOF_OK;
}

int proof_write(Proof *p) {
    if (g_proof_path[0] == '\0') {
        errno = ENAMETOOLONG;
        return -1;
    }
    // Formatted by hand: strftime would bring the time zone code along.
    const time_t now = time(nullptr);
    struct tm utc {};
    gmtime_r(&now, &utc);
    snprintf(p->proven_at, sizeof p->proven_at, "%04d-%02d-%02d %02d:%02d:%02d UTC",
             utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec);
    char temp[PATH_MAX + 8];
    snprintf(temp, sizeof temp, "%s.XXXXXX", g_proof_path);
    mkdir(g_state_dir, 0755); // created when missing; an error shows below
    const int fd = mkstemp(temp);
    FILE *f = fd == -1 ? nullptr : fdopen(fd, "w");
    if (f == nullptr) {
        if (fd != -1)
            close(fd);
        return -1;
    }
    fchmod(fd, 0644);
    fputs(k_magic, f);
    fprintf(f, "image-sha256 %s\nimage-size %llu\nskip-address %x\nskip-size %x\n", p->sha256,
            static_cast<unsigned long long>(p->size), p->skip_addr, p->skip_size);
    fputs("version-hex ", f);
    for (const char *c = p->version; *c != '\0'; ++c)
        fprintf(f, "%02x", static_cast<uint8_t>(*c));
    fprintf(f, "\nchecksum %04x\nproven-at %s\ntool update_syscon %s\n", p->checksum, p->proven_at,
            SYSCON_VERSION);
    const bool written = fflush(f) == 0 && fsync(fd) == 0;
    const int err = errno;
    if (fclose(f) != 0 || !written || rename(temp, g_proof_path) != 0) {
        const int e = written ? errno : err;
        unlink(temp);
        errno = e;
        return -1;
    }
    sync_dir();
    return 0;
}

int proof_forget() {
    if (g_forgotten || g_proof_path[0] == '\0')
        return 0;
    if (unlink(g_proof_path) == 0) {
        sync_dir();
    } else if (errno != ENOENT) {
        report_error("ERROR: Cannot remove the record of the last proof \"%s\": %s; nothing was "
                     "erased\n",
                     g_proof_path, strerror(errno));
        return -1;
    }
    g_forgotten = true;
    return 0;
}
