// Progress of the block operation under way, and what an interruption leaves
// behind, told in terms a field engineer can act on.
#include "rom/rom.h"

#include "serial/uart.h"

#include <csignal>
#include <unistd.h>

namespace {

constexpr int k_signals[] = {SIGINT, SIGTERM, SIGHUP};

struct OpText {
    const char *name;
    const char *aftermath; // what is left besides the flash; "" for none
    bool changes_flash;
};

// Indexed by ProgressOp.
constexpr OpText k_ops[] = {
    {"write", "", true},
    {"read", "; the file holds only the blocks read", false},
    {"verify", "; there is no verdict", false},
    {"checksum", "; there is no checksum", false},
    {"update", "", true},
    {"backup", "; the backup file is left as it was", false},
    {"ensure", "", true},
};
static_assert(std::size(k_ops) == PROGRESS_ENSURE + 1);

struct Range {
    uint32_t start = 0, end = 0;
    bool contains(uint32_t address) const { return start <= address && address < end; }
};

struct Record {
    int op = PROGRESS_WRITE;
    const TargetArea *area = nullptr; // none before the first block operation
    uint32_t done_end = 0;            // the blocks from the area's start up to here are done
    Range erasing;                    // an erase sent and not yet acknowledged
    Range erased[2];                  // the last two erases acknowledged
    bool changed = false;             // an erase or a program has been sent
};

Record g_progress;
struct sigaction g_old_actions[std::size(k_signals)];

// The first signal stops the operation at its next test; a second one ends
// the process at once, with 128 + its number.
void on_signal(int sig) {
    if (g_interrupted != 0)
        _exit(128 + sig);
    g_interrupted = sig;
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
    if (address == r.done_end && (erased || r.op != PROGRESS_WRITE))
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

} // namespace

void progress_start(int op, const TargetArea &area) {
    g_progress = Record{op, &area, area.start, {}, {}, false};
    struct sigaction action {};
    action.sa_handler = on_signal; // no SA_RESTART: a wait in poll() ends at once
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(k_signals); ++i) {
        sigaction(k_signals[i], nullptr, &g_old_actions[i]);
        if (g_old_actions[i].sa_handler != SIG_IGN) // nohup stays nohup
            sigaction(k_signals[i], &action, nullptr);
    }
    // A reader that goes away (`| head`) must not stop the flash work half-way:
    // output to it is lost from here to the end of the run, and the status
    // still tells the outcome.
    signal(SIGPIPE, SIG_IGN);
}

void progress_erase(uint32_t address, uint32_t size) {
    g_progress.erasing = {address, address + size};
    g_progress.changed = true;
}

void progress_program() {
    g_progress.changed = true;
}

void progress_erased() {
    g_progress.erased[0] = g_progress.erased[1];
    g_progress.erased[1] = g_progress.erasing;
    g_progress.erasing = {};
}

void progress_block(uint32_t address) {
    g_progress.done_end = address + g_block_size;
}

void progress_end() {
    for (size_t i = 0; i < std::size(k_signals); ++i)
        sigaction(k_signals[i], &g_old_actions[i], nullptr);
}

int progress_report() {
    const int sig = g_interrupted;
    if (sig == 0 || g_progress.area == nullptr)
        return 0;
    const TargetArea &a = *g_progress.area;
    const OpText &op = k_ops[g_progress.op];
    fprintf(stderr, "Interrupted during %s of %s", op.name, a.name);
    // Before its first erase or program, an operation has only read.
    if (!op.changes_flash || !g_progress.changed) {
        if (g_progress.done_end > a.start)
            fprintf(stderr, ": 0x%x-0x%x read", a.start, g_progress.done_end - 1);
        fprintf(stderr, "; the flash is unchanged%s. Run %s again.\n", op.aftermath, op.name);
        return sig;
    }
    bool changed = false;
    const char *sep = ":";
    for (uint32_t at = a.start; at < area_end(a);) {
        const State s = state_of(at);
        uint32_t to = at + g_block_size;
        while (to < area_end(a) && state_of(to) == s)
            to += g_block_size;
        fprintf(stderr, "%s 0x%x-0x%x %s", sep, at, to - 1,
                k_state_texts[g_progress.op != PROGRESS_WRITE][s]);
        changed |= s != SKIPPED && s != UNTOUCHED;
        sep = ",";
        at = to;
    }
    fputs(changed ? "; the area does not hold the image. Run update before restarting the board.\n"
                  : "; the area is unchanged.\n",
          stderr);
    return sig;
}
