// update_syscon: services the flash ROM of the board's SYSCON over a UART.
// One run does one operation on one target area: write, read, version,
// checksum, or one of the careful operations verify, update and backup.
#include "update_syscon.h"

#include "options.h"
#include "rom/rom.h"
#include "serial/events.h"
#include "serial/uart.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <unistd.h>

namespace {

char g_prog_name[256];

void usage() {
    static constexpr const char *k_lines[] = {
        "Usage: %s [option...]\n",
        "Display command usage :\n",
        "  -h\t\t:Output help message\n",
        "SYSCON update option:\n",
        "  -s\t[addr],[size]\tskip area.\n",
        "  -b [BAUD]\t\tUART BAUD RATE\n",
        "  -d [device]\tUART Device\n",
        "  -o [operation]\twrite:Erase and Wirte\n",
        "  -t [target]\tTARTGET-ROM Area\n",
        "  -f [file]\t\tInput ROM-IMAGE file\n",
        "\n",
        "SYSCON version check option:\n",
        "  -b [BAUD]\t\tUART BAUD RATE(ex. 115200)\n",
        "  -d [device]\tUART Device(ex. /dev/ttyS1)\n",
        "  -o [operation]\tversion:Check TARGET-ROM Version\n",
        "  -t [target]\tTARGET-ROM Area\n",
        "  -f [file]\t\tOutput version number to file\n",
        "\n",
        "SYSCON read back option:\n",
        "  -b [BAUD]\t\tUART BAUD RATE\n",
        "  -d [device]\tUART Device\n",
        "  -o [operation]\tread:Read TARGET-ROM\n",
        "  -t [target]\tTARGET-ROM Area\n",
        "  -f [file]\t\tOutput ROM-IMAGE file\n",
        "\n",
    };
    static_assert(std::size(k_lines) == 25);
    report_error(k_lines[0], g_prog_name);
    for (size_t i = 1; i < std::size(k_lines); ++i)
        fputs(k_lines[i], stderr);
}

// Keeps the last path component of argv[0], at most 255 bytes of it.
void set_prog_name(const char *argv0) {
    strncpy(g_prog_name, argv0 ? argv0 : "", sizeof g_prog_name - 1);
    g_prog_name[sizeof g_prog_name - 1] = '\0';
    const char *base = basename(g_prog_name);
    memmove(g_prog_name, base, strlen(base) + 1);
}

// True, after reporting it, when the operation's file was not given.
bool file_missing(const char *path, int line) {
    if (path != nullptr)
        return false;
    event_outcome(RESULT_REFUSED);
    report_error("%s(%d): ERROR: No file specification.\n", SRC_NAME, line);
    return true;
}

// Opens the image or read-back file; nullptr after reporting why.
FILE *open_required(const char *path, const char *mode, int missing_line, int open_line) {
    if (file_missing(path, missing_line))
        return nullptr;
    FILE *f = fopen(path, mode);
    if (f == nullptr)
        report_error("%s(%d): ERROR: cannot open \"%s\":  %s\n", SRC_NAME, open_line, path,
                     strerror(errno));
    return f;
}

// The careful operations take -s only as two hexadecimal numbers and a
// comma, and -b only as a positive rate: anything else would silently leave
// no skip area, or a line at rate 0 (hung up), where the classic parse takes
// it. Found out before the port is touched.
bool arg_refused(char option, const char *arg, bool (*exact)(const char *), const char *must) {
    if (arg == nullptr || exact(arg))
        return false;
    event_outcome(RESULT_REFUSED);
    report_error("ERROR: -%c %s: %s; nothing was sent\n", option, arg, must);
    return true;
}

bool careful_args_refused(const Options &opt) {
    return arg_refused('s', opt.skip, skip_arg_exact,
                       "the skip area must be two hexadecimal numbers joined by a comma, "
                       "ADDR,SIZE") ||
           arg_refused('b', opt.rate_arg, rate_arg_exact,
                       "the line rate must be a number of bits per second above 0");
}

// Opens the image of a careful operation without blocking, so that a FIFO
// or a device is refused (careful_image_refused) before anything waits on it.
FILE *open_image(const char *path) {
    if (file_missing(path, LINE_IMAGE_MISSING))
        return nullptr;
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    FILE *f = fd == -1 ? nullptr : fdopen(fd, "rb");
    if (f == nullptr) {
        report_error("%s(%d): ERROR: cannot open \"%s\":  %s\n", SRC_NAME, LINE_IMAGE_OPEN, path,
                     strerror(errno));
        if (fd != -1)
            close(fd);
    }
    return f;
}

int run_operation(const Options &opt) {
    int *port = &g_uart_fd;
    FILE *file = nullptr;
    int status;
    // The record of the area's last proof, which anything that erases removes.
    if (opt.target != 0)
        proof_locate(opt.device, g_target_areas[opt.target]);

    switch (opt.operation) {
    case OP_WRITE:
        file = open_required(opt.file, "rb", LINE_IMAGE_MISSING, LINE_IMAGE_OPEN);
        if (file == nullptr)
            return STATUS_FAILED;
        status = g_skip_size == 0 ? write_rom(port, file, opt.target)
                                  : write_rom_skip(port, file, opt.target);
        break;
    case OP_READ:
        file = open_required(opt.file, "wb", LINE_READ_MISSING, LINE_READ_OPEN);
        if (file == nullptr)
            return STATUS_FAILED;
        status = read_rom(port, file, opt.target);
        break;
    case OP_VERIFY:
    case OP_UPDATE:
    case OP_ENSURE:
        // The image is required as for write, with write's messages.
        file = open_image(opt.file);
        if (file == nullptr)
            return STATUS_FAILED;
        status = opt.operation == OP_VERIFY   ? verify_rom(port, file, opt.target)
                 : opt.operation == OP_UPDATE ? update_rom(port, file, opt.target)
                                              : ensure_rom(port, file, opt.target);
        break;
    case OP_BACKUP:
        // The file is required as for read; backup_rom creates it beside its name.
        if (file_missing(opt.file, LINE_READ_MISSING))
            return STATUS_FAILED;
        status = backup_rom(port, opt.file, opt.target);
        break;
    case OP_VERSION:
    case OP_CHECKSUM:
        // The output file is optional: one that cannot be opened counts as none.
        if (opt.file != nullptr)
            file = fopen(opt.file, "wb");
        status = opt.operation == OP_VERSION ? query_version(port, opt.target, file)
                                             : query_checksum(port, opt.target, file);
        break;
    default:
        event_outcome(RESULT_REFUSED);
        report_error("%s(%d): ERROR: Fatal Error of System!\n", SRC_NAME, LINE_NO_OPERATION);
        return STATUS_QUERY_FAILED;
    }
    if (file != nullptr)
        fclose(file);
    return status;
}

// The start event: what the run is about to do, as far as the command line tells.
void plan_events(const Options &opt) {
    const TargetArea &area = g_target_areas[opt.target];
    const Operation &op = g_operations[opt.operation];
    const bool visits_blocks =
        op.progress != nullptr || (opt.operation == OP_CHECKSUM && g_skip_size != 0);
    event_start({opt.operation != 0 ? op.name : nullptr, opt.target != 0 ? area.name : nullptr,
                 opt.device, opt.rate, area.start, area.size, g_block_size,
                 visits_blocks ? area.size / g_block_size : 0, g_skip_addr, g_skip_size});
}

// The case a run's status is, for the end event.
int result_of(const Options &opt, int status, int sig) {
    const int told = event_outcome_told();
    if (sig != 0)
        return RESULT_INTERRUPTED;
    if (status != 0)
        return told != RESULT_NONE ? told : RESULT_FAILED;
    if (told == RESULT_UNCHANGED)
        return told;
    return g_operations[opt.operation].careful ? RESULT_PROVEN : RESULT_DONE;
}

// Ends the run: the end event, then the status to exit with.
int finish(const Options &opt, int status, int sig = 0) {
    event_end(status, result_of(opt, status, sig), progress_counts());
    return status;
}

} // namespace

int update_syscon_main(int argc, char **argv) {
    // A descriptor 0, 1 or 2 that the caller left closed would be taken by the
    // port or a file, and progress lines would go there: each points at
    // /dev/null instead. open() takes the lowest free descriptor.
    for (int fd = 0; fd <= 2; ++fd)
        if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", O_RDWR) != fd)
            return STATUS_USAGE;
    set_prog_name(argc > 0 ? argv[0] : nullptr);

    Options opt;
    switch (parse_options(argc, argv, &opt)) {
    case PARSE_HELP:
        usage();
        return 0;
    case PARSE_ERROR:
        usage();
        return STATUS_USAGE;
    case PARSE_OK:
        break;
    }

    events_open(getenv("UPDATE_SYSCON_EVENTS"));
    signals_take();
    plan_events(opt);
    if (g_operations[opt.operation].careful && careful_args_refused(opt))
        return finish(opt, STATUS_FAILED);
    if (uart_init(opt.device, opt.rate) != 0) {
        report_error("%s(%d): ERROR: Initialize UART device fail.\n", SRC_NAME, LINE_INIT_FAILED);
        uart_close();
        return finish(opt, STATUS_USAGE);
    }
    const int status = run_operation(opt);
    exchange_policy_end();
    uart_close();
    // An interrupted block operation says what it leaves behind.
    if (const int sig = status != 0 ? progress_report() : 0)
        return finish(opt, STATUS_SIGNAL_BASE + sig, sig);
    return finish(opt, status);
}
