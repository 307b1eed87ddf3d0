// Events are formatted by hand into one static line and written with one
// write(): no stdio and no allocation, so the end event can be written from a
// signal handler, and a line never interleaves with another writer's.
#include "serial/events.h"

#include "serial/uart.h"

#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr const char *k_block_results[] = {"skipped", "read",    "programmed", "erased",
                                           "right",   "differs", "rewritten"};
static_assert(std::size(k_block_results) == BLOCK_REWRITTEN + 1);
constexpr const char *k_run_results[] = {"failed",     "proven",  "unchanged",
                                         "done",       "refused", "differs",
                                         "unwritable", "failed",  "interrupted"};
static_assert(std::size(k_run_results) == RESULT_INTERRUPTED + 1);

int g_fd = -1;
uint32_t g_t0;
int g_outcome = RESULT_NONE;

char g_line[8192]; // the longest strings, escaped, and the rest
size_t g_len;

// The last line written to standard error, and the one being written.
char g_last_error[256];
char g_error_line[256];
size_t g_error_len;

void put_char(char c) {
    if (g_len < sizeof g_line - 2) // room for "}\n"
        g_line[g_len++] = c;
}

void put(const char *s) {
    while (*s != '\0')
        put_char(*s++);
}

void put_uint(uint64_t v) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0);
    while (n > 0)
        put_char(digits[--n]);
}

void put_string(const char *s) {
    if (s == nullptr) {
        put("null");
        return;
    }
    put_char('"');
    for (const char *end = s + strnlen(s, 1000); s != end; ++s) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if (c == '"' || c == '\\') {
            put_char('\\');
            put_char(*s);
        } else if (c == '\n') {
            put("\\n");
        } else if (c == '\r') {
            put("\\r");
        } else if (c == '\t') {
            put("\\t");
        } else if (c < 0x20) {
            put("\\u00");
            put_char("0123456789abcdef"[c >> 4]);
            put_char("0123456789abcdef"[c & 15]);
        } else {
            put_char(*s);
        }
    }
    put_char('"');
}

// `name`:value, after a comma.
void member(const char *name, uint64_t value) {
    put(",\"");
    put(name);
    put("\":");
    put_uint(value);
}
void member(const char *name, const char *value) {
    put(",\"");
    put(name);
    put("\":");
    put_string(value);
}

bool begin(const char *event) {
    if (g_fd == -1)
        return false;
    g_len = 0;
    put("{\"event\":\"");
    put(event);
    const uint32_t ms = msec_elapsed(g_t0, static_cast<uint32_t>(get_msec()));
    put("\",\"t\":");
    put_uint(ms / 1000);
    put(".");
    put_uint(ms / 100 % 10);
    put_uint(ms / 10 % 10);
    put_uint(ms % 10);
    return true;
}

// Ends the line and writes it. A reader that went away ends the events, not
// the run: SIGPIPE is held back for the write, and taken back if it raised one.
// The end event passes `last`: no event can follow it, not even one written
// from a signal handler while it is being written.
void finish(bool last = false) {
    const int fd = g_fd;
    if (last)
        g_fd = -1;
    g_line[g_len++] = '}';
    g_line[g_len++] = '\n';
    sigset_t pipe_set, old;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigprocmask(SIG_BLOCK, &pipe_set, &old);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    for (size_t done = 0; done < g_len;) {
        const ssize_t n = write(fd, g_line + done, g_len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (errno == EPIPE && !was_pending) {
                const struct timespec none {};
                sigtimedwait(&pipe_set, nullptr, &none);
            }
            g_fd = -1;
            break;
        }
        done += static_cast<size_t>(n);
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
}

} // namespace

void report_error(const char *format, ...) {
    va_list ap, copy;
    va_start(ap, format);
    va_copy(copy, ap);
    vfprintf(stderr, format, ap);
    char text[512];
    vsnprintf(text, sizeof text, format, copy);
    va_end(copy);
    va_end(ap);
    // Some messages end without a line feed: the next one continues their line.
    for (const char *c = text; *c != '\0'; ++c) {
        if (*c == '\n') {
            memcpy(g_last_error, g_error_line, g_error_len);
            g_last_error[g_error_len] = '\0';
            g_error_len = 0;
        } else if (g_error_len < sizeof g_error_line - 1) {
            g_error_line[g_error_len++] = *c;
        }
    }
}

void events_open(const char *where) {
    g_t0 = static_cast<uint32_t>(get_msec());
    if (where == nullptr || *where == '\0')
        return;
    int fd = -1;
    const char *why = nullptr;
    if (strncmp(where, "fd:", 3) == 0) {
        char *end = nullptr;
        errno = 0;
        const long n = strtol(where + 3, &end, 10);
        if (where[3] < '0' || where[3] > '9' || *end != '\0' || errno != 0 || n > INT_MAX ||
            fcntl(static_cast<int>(n), F_GETFD) == -1)
            why = "not an open descriptor";
        else
            fd = static_cast<int>(n);
    } else {
        // Not blocking on open: a FIFO that nobody reads would hold the run before it starts.
        // The writes block as usual.
        fd = open(where, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0666);
        if (fd == -1)
            why = errno == ENXIO ? "a FIFO that nobody reads" : strerror(errno);
        else
            fcntl(fd, F_SETFL, O_APPEND);
    }
    if (why != nullptr) {
        fprintf(stderr, "ERROR: UPDATE_SYSCON_EVENTS=%s: %s; going on without events\n", where,
                why);
        return;
    }
    g_fd = fd;
}

void event_start(const RunPlan &p) {
    if (!begin("start"))
        return;
    member("v", 1);
    member("operation", p.operation);
    member("target", p.target);
    member("device", p.device);
    member("rate", p.rate);
    member("start", p.start);
    member("size", p.size);
    member("block_size", p.block_size);
    member("blocks", p.blocks);
    if (p.skip_size == 0) {
        put(",\"skip\":null");
    } else {
        put(",\"skip\":{\"start\":");
        put_uint(p.skip_addr);
        member("size", p.skip_size);
        put("}");
    }
    finish();
}

void event_size(uint32_t block_size, uint32_t blocks) {
    if (!begin("size"))
        return;
    member("block_size", block_size);
    member("blocks", blocks);
    finish();
}

void event_erase(uint32_t address, uint32_t size) {
    if (!begin("erase"))
        return;
    member("address", address);
    member("size", size);
    finish();
}

void event_block(uint32_t address, int result, uint32_t done, uint32_t blocks) {
    if (!begin("block"))
        return;
    member("address", address);
    member("result", k_block_results[result]);
    member("done", done);
    member("blocks", blocks);
    finish();
}

void event_retry(const char *command, const char *stage, int try_no, const char *why) {
    if (!begin("retry"))
        return;
    member("command", command);
    member("stage", stage);
    member("try", static_cast<uint64_t>(try_no));
    member("why", why);
    finish();
}

void event_resync(int try_no) {
    if (!begin("resync"))
        return;
    member("try", static_cast<uint64_t>(try_no));
    finish();
}

void event_outcome(int result) {
    g_outcome = result;
}

int event_outcome_told() {
    return g_outcome;
}

void event_end(int status, int result, const RunCounts &counts) {
    if (!begin("end"))
        return;
    member("status", static_cast<uint64_t>(status & 0xFF));
    member("result", k_run_results[result]);
    member("erased", counts.erased);
    member("programmed", counts.programmed);
    member("right", counts.right);
    const char *error = g_error_len != 0 ? g_error_line : g_last_error;
    if (g_error_len != 0)
        g_error_line[g_error_len] = '\0';
    member("error", *error != '\0' ? error : nullptr);
    finish(true);
}
