#include "options.h"

#include "rom/rom.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

struct Keyword {
    const char *word;
    int code;
};

// Exact, case-sensitive spellings, tried in this order.
constexpr std::array<Keyword, 18> k_operations{{
    {"write", OP_WRITE},
    {"WRITE", OP_WRITE},
    {"W", OP_WRITE},
    {"w", OP_WRITE},
    {"read", OP_READ},
    {"READ", OP_READ},
    {"R", OP_READ},
    {"r", OP_READ},
    {"version", OP_VERSION},
    {"VERSION", OP_VERSION},
    {"V", OP_VERSION},
    {"v", OP_VERSION},
    {"checksum", OP_CHECKSUM},
    {"CHECKSUM", OP_CHECKSUM},
    {"C", OP_CHECKSUM},
    {"c", OP_CHECKSUM},
    {"verify", OP_VERIFY}, // no one-letter form: V and v are the version
    {"VERIFY", OP_VERIFY},
}};

constexpr std::array<Keyword, 12> k_targets{{
    {"apli", TARGET_APLI},
    {"APLI", TARGET_APLI},
    {"A", TARGET_APLI},
    {"a", TARGET_APLI},
    {"ipl", TARGET_IPL},
    {"IPL", TARGET_IPL},
    {"I", TARGET_IPL},
    {"i", TARGET_IPL},
    {"font", TARGET_FONT},
    {"FONT", TARGET_FONT},
    {"F", TARGET_FONT},
    {"f", TARGET_FONT},
}};

template <size_t N>
int lookup(const std::array<Keyword, N> &table, const char *word) {
    for (const Keyword &k : table)
        if (strcmp(k.word, word) == 0)
            return k.code;
    return 0;
}

} // namespace

int operation_code(const char *keyword) {
    return lookup(k_operations, keyword);
}
int target_code(const char *keyword) {
    return lookup(k_targets, keyword);
}

ParseResult parse_options(int argc, char **argv, Options *opt) {
    int c;
    while ((c = getopt(argc, argv, "hb:d:o:t:f:s:")) != -1) {
        switch (c) {
        case 'h':
            return PARSE_HELP;
        case 'b':
            opt->rate = static_cast<uint32_t>(strtol(optarg, nullptr, 0));
            break;
        case 'd':
            opt->device = optarg;
            break;
        case 'o':
            opt->operation = operation_code(optarg);
            if (opt->operation == 0) {
                fprintf(stderr, "ERROR: Invalid option -o %s \n", optarg);
                return PARSE_ERROR;
            }
            break;
        case 't':
            opt->target = target_code(optarg);
            if (opt->target == 0) {
                fprintf(stderr, "ERROR: Invalid option -t %s \n", optarg);
                return PARSE_ERROR;
            }
            break;
        case 'f':
            opt->file = optarg;
            break;
        case 's':
            // What "%x,%x" cannot parse stays 0: "1000" alone sets no skip area.
            g_skip_addr = 0;
            g_skip_size = 0;
            sscanf(optarg, "%x,%x", &g_skip_addr, &g_skip_size);
            break;
        default: // getopt has printed its own diagnostic
            fprintf(stderr, "ERROR: Invalid option '%c'\n", optopt);
            return PARSE_ERROR;
        }
    }
    return PARSE_OK;
}
