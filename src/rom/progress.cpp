// Progress of the block operation under way: its lines for a person, its
// events for programs, the run's counts, and what an interruption leaves
// behind, told in terms a field engineer can act on.
#include "rom/rom.h"

#include "serial/uart.h"

#include <csignal>
#include <unistd.h>

namespace {

constexpr int k_signals[] = {SIGINT, SIGTERM, SIGHUP};

struct Range {
    uint32_t start = 0, end = 0;
    bool contains(uint32_t address) const { return start <= address && address < end; }
};

struct Record {
    int op = 0;
    const TargetArea *area = nullptr; // none before the first block operation
    bool running = false;             // between block_operation_begin and _end
    uint32_t done_end = 0;            // the blocks from the area's start up to here are done
    uint32_t done = 0;                // blocks visited
    Range erasing;                    // an erase sent and not yet acknowledged
    Range erased[2];                  // the last two erases acknowledged
    bool changed = false;             // an erase or a program has been sent
    RunCounts counts{};
    uint32_t first_ms = 0; // when the first block was done, for the rate
    bool terminal = false; // standard output is a terminal
    uint32_t tenths = 0;   // tenths of the area told on a plain line
};

Record g_progress;

// A signal during a block operation stops it at its next test, and a second
// one ends the process at once, with 128 + its number. Outside one, the run
// ends as it would without a handler, after its end event.
void on_signal(int sig) {
    if (g_interrupted != 0)
        _exit(128 + sig);
    if (g_progress.running) {
        g_interrupted = sig;
        return;
    }
    event_end(128 + sig, RESULT_INTERRUPTED, g_progress.counts);
    signal(sig, SIG_DFL);
    raise(sig);
}

enum State { DONE, SKIPPED, ERASING, IN_FLIGHT, ERASED, UNTOUCHED };

State state_of(uint32_t address) {
    const Record &r = g_progress;
    if (in_skip_area(address))
        return SKIPPED;
    if (address < r.done_end)
        return DONE;
    if (r.erasing.contains(address))
        return ERASING;
    const bool erased = r.erased[0].contains(address) || r.erased[1].contains(address);
    // The block after the last one done may have been half-way through its write.
    if (address == r.done_end && (erased || r.op != OP_WRITE))
        return IN_FLIGHT;
    return erased ? ERASED : UNTOUCHED;
}

// Indexed by State, for write and for update.
constexpr const char *k_state_texts[2][UNTOUCHED + 1] = {
    {"programmed", "skip area, left alone",
     "being erased (the SYSCON may go on erasing for up to a minute)", "may be partly programmed",
     "erased", "not yet touched"},
    {"updated", "skip area, left alone",
     "being erased (the SYSCON may go on erasing for up to a minute)", "being updated", "erased",
     "not yet touched"},
};

// A careful operation's progress for a person: on a terminal, one line
// redrawn with the blocks done, the share, the rate and the time left; in a
// log, a plain line at each tenth of the area.
void careful_line(const char *word, const char *op_word, uint32_t address) {
    Record &r = g_progress;
    const uint32_t blocks = r.area->size / g_block_size;
    const uint32_t share = r.done * 100 / blocks;
    if (!r.terminal) {
        if (r.done * 10 / blocks > r.tenths) {
            r.tenths = r.done * 10 / blocks;
            printf("  %s: %u/%u blocks (%u%%) to 0x%08x\n", op_word, r.done, blocks, share,
                   address + g_block_size - 1);
        }
        return;
    }
    // The pace is measured from the first block done: the start's waits are not its.
    const uint32_t now = static_cast<uint32_t>(get_msec());
    if (r.done == 1)
        r.first_ms = now;
    printf("\r  %s Address = 0x%08x  %u/%u blocks %3u%%", word, address, r.done, blocks, share);
    const uint64_t ms = msec_elapsed(r.first_ms, now), paced = r.done - 1;
    if (ms != 0) {
        const uint64_t left = ms * (blocks - r.done) / paced / 1000; // seconds
        printf("  %u KiB/s  %u:%02u left",
               static_cast<unsigned>(paced * g_block_size * 1000 / ms / 1024),
               static_cast<unsigned>(left / 60), static_cast<unsigned>(left % 60));
    }
    fputs("\033[K", stdout); // the rest of a longer line before
}

} // namespace

void signals_take() {
    struct sigaction action {};
    action.sa_handler = on_signal; // no SA_RESTART: a wait in poll() ends at once
    sigemptyset(&action.sa_mask);
    for (int sig : k_signals) {
        struct sigaction old {};
        sigaction(sig, nullptr, &old);
        if (old.sa_handler != SIG_IGN) // nohup stays nohup
            sigaction(sig, &action, nullptr);
    }
}

void block_operation_begin(int op, const TargetArea &area) {
    const RunCounts counts = g_progress.counts;
    g_progress = Record{};
    g_progress.op = op;
    g_progress.area = &area;
    g_progress.running = true;
    g_progress.done_end = area.start;
    g_progress.counts = counts;
    g_progress.terminal = isatty(STDOUT_FILENO) == 1;
    // A reader that goes away (`| head`) must not stop the flash work half-way:
    // output to it is lost from here to the end of the run, and the status
    // still tells the outcome.
    signal(SIGPIPE, SIG_IGN);
}

void block_operation_end() {
    g_progress.running = false;
}

void progress_erase(uint32_t address, uint32_t size) {
    g_progress.erasing = {address, address + size};
    g_progress.changed = true;
    event_erase(address, size);
}

void progress_erased() {
    g_progress.erased[0] = g_progress.erased[1];
    g_progress.erased[1] = g_progress.erasing;
    g_progress.counts.erased += (g_progress.erasing.end - g_progress.erasing.start) / g_block_size;
    g_progress.erasing = {};
}

void progress_program() {
    g_progress.changed = true;
}

void progress_programmed() {
    ++g_progress.counts.programmed;
}

void progress_block(uint32_t address, int result) {
    Record &r = g_progress;
    r.done_end = address + g_block_size;
    ++r.done;
    r.counts.right += result == BLOCK_RIGHT;
    event_block(address, result, r.done, r.area->size / g_block_size);
    const Operation &op = g_operations[r.op];
    if (op.progress == nullptr)
        return;
    const char *word = result == BLOCK_SKIPPED ? "Skip" : op.progress;
    if (op.careful)
        careful_line(word, op.progress, address);
    else if (result == BLOCK_PROGRAMMED)
        printf("\r  %s Address = 0x%08x size = 0x%04x", word, address, g_block_size);
    else
        printf("\r  %s Address = 0x%08x", word, address);
    fflush(stdout);
}

void progress_lines_end() {
    if (!g_operations[g_progress.op].careful || g_progress.terminal)
        putchar('\n');
}

RunCounts progress_counts() {
    return g_progress.counts;
}

int progress_report() {
    const int sig = g_interrupted;
    if (sig == 0 || g_progress.area == nullptr)
        return 0;
    const TargetArea &a = *g_progress.area;
    const Operation &op = g_operations[g_progress.op];
    report_error("Interrupted during %s of %s", op.name, a.name);
    // Before its first erase or program, an operation has only read.
    if (!op.changes_flash || !g_progress.changed) {
        if (g_progress.done_end > a.start)
            report_error(": 0x%x-0x%x read", a.start, g_progress.done_end - 1);
        report_error("; the flash is unchanged%s. Run %s again.\n", op.aftermath, op.name);
        return sig;
    }
    bool changed = false;
    const char *sep = ":";
    for (uint32_t at = a.start; at < area_end(a);) {
        const State s = state_of(at);
        uint32_t to = at + g_block_size;
        while (to < area_end(a) && state_of(to) == s)
            to += g_block_size;
        report_error("%s 0x%x-0x%x %s", sep, at, to - 1,
                     k_state_texts[g_progress.op != OP_WRITE][s]);
        changed |= s != SKIPPED && s != UNTOUCHED;
        sep = ",";
        at = to;
    }
    report_error("%s", changed ? "; the area does not hold the image. Run update before restarting "
                                 "the board.\n"
                               : "; the area is unchanged.\n");
    return sig;
}
