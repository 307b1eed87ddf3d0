// The command line of update_syscon: options, keywords and their values.
#pragma once

#include "rom/rom.h"

#include <cstdint>

struct Options {
    const char *device = nullptr;   // -d
    const char *file = nullptr;     // -f
    uint32_t rate = 38400;          // -b
    int operation = 0;              // -o, 0 when none was given
    int target = 0;                 // -t, 0 when none was given
    const char *skip = nullptr;     // -s as given, the last one
    const char *rate_arg = nullptr; // -b as given, the last one
};

enum ParseResult : int {
    PARSE_OK,    // go on with the operation
    PARSE_HELP,  // -h: print the usage text, exit 0
    PARSE_ERROR, // the error is reported: print the usage text, exit 1
};

// Operation or target code of a keyword, or 0 for none.
int operation_code(const char *keyword);
int target_code(const char *keyword);

// True when `arg` is exactly two hexadecimal numbers of at most 32 bits, each
// with an optional 0x, joined by a comma: the -s the careful operations take.
bool skip_arg_exact(const char *arg);

// True when `arg` is a whole number above 0 that fits 32 bits, decimal, 0x
// hexadecimal or 0 octal: the -b the careful operations take.
bool rate_arg_exact(const char *arg);

// Parses argv with getopt into `opt` and the skip area globals. getopt keeps
// its own state: a caller that parses twice resets optind first.
ParseResult parse_options(int argc, char **argv, Options *opt);
