// What scripts on a board rely on: the process statuses, and the source name
// and line numbers that located messages print ("update_syscon(1550): ERROR:
// ..."). These numbers, like the messages' spelling, are an output contract:
// they are not where the messages are in this source, and never change.
#pragma once

inline constexpr const char *SRC_NAME = "update_syscon";

enum : int {
    STATUS_OK = 0,
    STATUS_USAGE = 1,         // bad option or keyword; the port cannot be set up or is in use
    STATUS_FAILED = 11,       // a block operation, its file, or a refused input
    STATUS_QUERY_FAILED = -1, // no operation; a failed query (the shell sees 255)
    STATUS_SIGNAL_BASE = 128, // + the signal that stopped a block operation
};

// Line numbers of the located messages.
enum : int {
    LINE_RECV_FAILED = 279,    // a read from the port failed
    LINE_TIMEOUT = 285,        // "ERROR: timeout"
    LINE_WRITE_FAILED = 244,   // a write to the port failed
    LINE_OPEN_DEVICE = 432,    // the device cannot be opened
    LINE_NO_DEVICE = 436,      // "No device specification."
    LINE_NOT_A_TERMINAL = 444, // its settings cannot be read
    LINE_FLUSH = 447,          // its input cannot be discarded
    LINE_SET_LINE = 450,       // the line settings cannot be applied
    LINE_INIT_FAILED = 1550,   // "Initialize UART device fail."
    LINE_IMAGE_OPEN = 1561,    // write's image cannot be opened
    LINE_IMAGE_MISSING = 1566, // write without -f
    LINE_READ_OPEN = 1580,     // read's file cannot be opened
    LINE_READ_MISSING = 1585,  // read without -f
    LINE_NO_OPERATION = 1610,  // "Fatal Error of System!"
};
