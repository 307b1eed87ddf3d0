// What a run tells programs: JSON Lines events (UPDATE_SYSCON_EVENTS), and
// the error lines for standard error, whose last one the end event carries.
// Lowest layer, so that every layer reports through it. Format: docs/events.md.
#pragma once

#include <cstdint>

// Writes an error line, or part of one, to standard error, as fprintf would,
// and keeps the last line for the end event.
void report_error(const char *format, ...) __attribute__((format(printf, 1, 2)));

// Opens the events' destination named by `where` (a path, appended to, or
// "fd:N"); nullptr or "" for none. One that cannot be opened is reported and
// the run goes on without events. Starts the clock of the events' "t".
void events_open(const char *where);

// What a run is about to do, for the start event.
struct RunPlan {
    const char *operation; // long name, or nullptr for none
    const char *target;    // area name, or nullptr for none
    const char *device;    // -d, or nullptr
    uint32_t rate;
    uint32_t start, size; // the area
    uint32_t block_size;
    uint32_t blocks; // blocks the operation visits
    uint32_t skip_addr, skip_size;
};
void event_start(const RunPlan &plan);

// The block size fell back to `block_size`: the operation visits `blocks`.
void event_size(uint32_t block_size, uint32_t blocks);

// An erase of `size` bytes at `address` is sent.
void event_erase(uint32_t address, uint32_t size);

// What happened to a block; indexes the events' names.
enum BlockResult : int {
    BLOCK_SKIPPED,    // in the skip area, left alone
    BLOCK_READ,       // read
    BLOCK_PROGRAMMED, // programmed
    BLOCK_ERASED,     // left erased: the image holds only 0xFF there
    BLOCK_RIGHT,      // already held the image, or equal to it
    BLOCK_DIFFERS,    // differs from the image
    BLOCK_REWRITTEN,  // erased or programmed, then read back equal to the image
};
void event_block(uint32_t address, int result, uint32_t done, uint32_t blocks);

// A retried exchange: the try `try_no` (from 1) of `command` ("RDT") failed at
// `stage` ("ack": no ACK; "response": the response was not accepted).
void event_retry(const char *command, const char *stage, int try_no, const char *why);

// The barrier exchange `try_no` (from 1) that brings the exchanges back in step.
void event_resync(int try_no);

// How a run ended; indexes the events' names.
enum RunResult : int {
    RESULT_NONE,        // not told: the status alone decides
    RESULT_PROVEN,      // a careful operation's status 0
    RESULT_UNCHANGED,   // ensure's fast path
    RESULT_DONE,        // a classic operation's status 0
    RESULT_REFUSED,     // the input was refused; nothing was erased or programmed
    RESULT_DIFFERS,     // verify: the area does not hold the image
    RESULT_UNWRITABLE,  // a block still differs after a second erase and program
    RESULT_FAILED,      // an exchange, the port or a file failed
    RESULT_INTERRUPTED, // stopped by a signal
};
// Tells the end event which case the run's status is; the last word counts.
void event_outcome(int result);
int event_outcome_told();

// What a run did, for the end event.
struct RunCounts {
    uint32_t erased, programmed, right; // blocks
};
// Writes the end event with the exit status as the shell sees it. Safe in a
// signal handler: formatted by hand, one write.
void event_end(int status, int result, const RunCounts &counts);
