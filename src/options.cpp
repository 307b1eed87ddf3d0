#include "options.h"

#include "serial/events.h"

#include <array>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

// True when `word` is `name` in lower case (as the tables hold it) or in upper case.
bool is_name(const char *word, const char *name) {
    bool lower = true, upper = true;
    for (; *name != '\0'; ++word, ++name) {
        lower &= *word == *name;
        upper &= *word == toupper(static_cast<unsigned char>(*name));
        if (!lower && !upper)
            return false;
    }
    return *word == '\0';
}

// True when `word` is the one letter `letter` in either case; no letter takes none.
bool is_letter(const char *word, char letter) {
    return letter != 0 &&
           (word[0] == letter || word[0] == toupper(static_cast<unsigned char>(letter))) &&
           word[1] == '\0';
}

// The index of the row whose name or letter `word` is, or 0 for none.
template <typename Row, size_t N>
int lookup(const std::array<Row, N> &table, const char *word) {
    for (size_t i = 1; i < N; ++i)
        if (is_name(word, table[i].name) || is_letter(word, table[i].letter))
            return static_cast<int>(i);
    return 0;
}

// Length of the hexadecimal number at `s` (optional 0x, 1 to 8 digits), or 0.
size_t hex_number_length(const char *s) {
    const size_t prefix = s[0] == '0' && (s[1] == 'x' || s[1] == 'X') ? 2 : 0;
    size_t digits = 0;
    while (isxdigit(static_cast<unsigned char>(s[prefix + digits])))
        ++digits;
    return digits == 0 || digits > 8 ? 0 : prefix + digits;
}

// One "%x" conversion as glibc's scanf makes it: blanks, a sign, an optional
// 0x, hexadecimal digits, the value kept to 32 bits ("0x" alone converts to 0).
// False when nothing converts. Written out so that the tool links no scanf,
// whose floating-point support alone is a fifth of a static build.
bool scan_hex(const char **s, uint32_t *value) {
    const char *p = *s;
    while (isspace(static_cast<unsigned char>(*p)))
        ++p;
    const char *number = p;
    p += *p == '+' || *p == '-';
    char *end = nullptr;
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        !isxdigit(static_cast<unsigned char>(p[2]))) {
        *value = 0;
        end = const_cast<char *>(p + 2);
    } else if (isxdigit(static_cast<unsigned char>(*p))) {
        *value = static_cast<uint32_t>(strtoull(number, &end, 16));
    } else {
        return false;
    }
    *s = end;
    return true;
}

} // namespace

int operation_code(const char *keyword) {
    return lookup(g_operations, keyword);
}
int target_code(const char *keyword) {
    return lookup(g_target_areas, keyword);
}

bool skip_arg_exact(const char *arg) {
    const size_t first = hex_number_length(arg);
    if (first == 0 || arg[first] != ',')
        return false;
    const size_t second = hex_number_length(arg + first + 1);
    return second != 0 && arg[first + 1 + second] == '\0';
}

bool rate_arg_exact(const char *arg) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long rate =
        isdigit(static_cast<unsigned char>(arg[0])) ? strtoull(arg, &end, 0) : 0;
    return rate != 0 && rate <= UINT32_MAX && errno == 0 && *end == '\0';
}

ParseResult parse_options(int argc, char **argv, Options *opt) {
    int c;
    while ((c = getopt(argc, argv, "hb:d:o:t:f:s:")) != -1) {
        switch (c) {
        case 'h':
            return PARSE_HELP;
        case 'b':
            opt->rate = static_cast<uint32_t>(strtol(optarg, nullptr, 0));
            opt->rate_arg = optarg;
            break;
        case 'd':
            opt->device = optarg;
            break;
        case 'o':
            opt->operation = operation_code(optarg);
            if (opt->operation == 0) {
                report_error("ERROR: Invalid option -o %s \n", optarg);
                return PARSE_ERROR;
            }
            break;
        case 't':
            opt->target = target_code(optarg);
            if (opt->target == 0) {
                report_error("ERROR: Invalid option -t %s \n", optarg);
                return PARSE_ERROR;
            }
            break;
        case 'f':
            opt->file = optarg;
            break;
        case 's':
            // Parsed as "%x,%x": what cannot be parsed stays 0, so "1000" alone
            // sets no skip area.
            opt->skip = optarg;
            g_skip_addr = 0;
            g_skip_size = 0;
            if (const char *s = optarg; scan_hex(&s, &g_skip_addr) && *s++ == ',')
                scan_hex(&s, &g_skip_size);
            break;
        default: // getopt has printed its own diagnostic
            report_error("ERROR: Invalid option '%c'\n", optopt);
            return PARSE_ERROR;
        }
    }
    return PARSE_OK;
}
