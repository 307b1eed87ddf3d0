#include "options.h"

#include "device.h"
#include "flash.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace syscon_sim {

std::string usage() {
    return R"(Usage: syscon_sim [OPTION]...
Simulates a SYSCON on a pseudo-terminal: prints the slave's path, serves
clients until SIGINT or SIGTERM, then prints a summary on standard error.

  --link PATH               make PATH a symbolic link to the slave
  --once                    stop when the first client closes the port
  --baud N                  the device runs at N baud (default: any rate)
  --pace                    bytes cross the line at the client's rate
  --ack-after-frame         ACK once the whole frame is in, not after its code
  --erase-ms N              ERS takes N ms per block of its range
  --program-ms N            WDT takes N ms per block
  --turnaround N            N ms from an answer to a request queued behind it
  --max-block N             largest block size SIZ accepts: 4096 or 1024
  --version-text AREA=TEXT  version text of )" +
           area_names(false, " or ") + R"(
  --load AREA=FILE          fill AREA ()" +
           area_names(true) + R"() from FILE
  --save AREA=FILE          write AREA to FILE at exit
  --fault CMD:WHICH:KIND[=N]
                            inject a fault, e.g. RDT:*:corrupt (repeatable)
  --trace FILE              trace to FILE ('-': standard error)
  -h, --help                show this help

The fault kinds, the device's behaviour and the exit statuses: syscon_sim(1).
)";
}

namespace {

uint32_t parse_number(std::string_view text, std::string_view what) {
    const std::string s(text);
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (s.empty() || s[0] == '-' || *end != '\0' || errno != 0 || v > UINT32_MAX)
        throw UsageError("invalid number '" + s + "' for " + std::string(what));
    return static_cast<uint32_t>(v);
}

std::pair<std::string, std::string> split_assignment(std::string_view text, std::string_view what) {
    const size_t eq = text.find('=');
    if (eq == std::string_view::npos || eq == 0)
        throw UsageError(std::string(what) + " wants AREA=VALUE, got '" + std::string(text) + "'");
    return {std::string(text.substr(0, eq)), std::string(text.substr(eq + 1))};
}

struct KindName {
    std::string_view name;
    FaultKind kind;
    bool needs_param;
    bool takes_param;
};

constexpr KindName kKinds[] = {
    {"nak", FaultKind::Nak, false, false},
    {"noack", FaultKind::NoAck, false, false},
    {"noresponse", FaultKind::NoResponse, false, false},
    {"status", FaultKind::Status, false, true},
    {"echo", FaultKind::WrongEcho, true, true},
    {"corrupt", FaultKind::CorruptBlock, false, true},
    {"badsum", FaultKind::WrongSum, false, false},
    {"short", FaultKind::ShortResponse, false, true},
    {"extra", FaultKind::ExtraBytes, false, true},
    {"garbage", FaultKind::GarbageBeforeStx, false, true},
    {"delay", FaultKind::Delay, true, true},
    {"hang", FaultKind::Hang, false, false},
    {"stuck", FaultKind::StuckCell, false, true},
    {"lateack", FaultKind::LateAck, true, true},
    {"heldack", FaultKind::HeldAck, false, true},
};

} // namespace

Fault parse_fault(std::string_view text) {
    const std::string whole(text);
    const size_t c1 = text.find(':');
    const size_t c2 = c1 == std::string_view::npos ? c1 : text.find(':', c1 + 1);
    if (c2 == std::string_view::npos)
        throw UsageError("fault '" + whole + "': want CMD:WHICH:KIND[=N]");
    Fault f;
    f.cmd = std::string(text.substr(0, c1));
    std::ranges::transform(f.cmd, f.cmd.begin(), [](unsigned char ch) { return std::toupper(ch); });
    const std::string_view which = text.substr(c1 + 1, c2 - c1 - 1);
    if (which == "*") {
        f.occurrence = 0;
    } else {
        const uint32_t n = parse_number(which, "the request number of fault '" + whole + "'");
        if (n == 0 || n > INT32_MAX)
            throw UsageError("fault '" + whole + "': request numbers start at 1 ('*' for every)");
        f.occurrence = static_cast<int>(n);
    }
    std::string_view kind = text.substr(c2 + 1);
    std::string_view param;
    const bool has_param = kind.find('=') != std::string_view::npos;
    if (has_param) {
        param = kind.substr(kind.find('=') + 1);
        kind = kind.substr(0, kind.find('='));
    }
    const auto it = std::ranges::find(kKinds, kind, &KindName::name);
    if (it == std::end(kKinds))
        throw UsageError("fault '" + whole + "': unknown kind '" + std::string(kind) + "'");
    if (it->needs_param && !has_param)
        throw UsageError("fault '" + whole + "': " + std::string(kind) + " needs =N");
    if (has_param && !it->takes_param)
        throw UsageError("fault '" + whole + "': " + std::string(kind) + " takes no value");
    f.kind = it->kind;
    if (has_param)
        f.param = parse_number(param, "fault '" + whole + "'");
    if (const std::string why = fault_error(f); !why.empty())
        throw UsageError("fault '" + whole + "': " + why);
    return f;
}

ProgramOptions parse_command_line(const std::vector<std::string> &args) {
    ProgramOptions o;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool has_value = false;
        if (const size_t eq = name.find('='); name.starts_with("--") && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
            has_value = true;
        }
        auto arg = [&]() -> const std::string & {
            if (!has_value) {
                if (i + 1 >= args.size())
                    throw UsageError("option " + name + " needs a value");
                value = args[++i];
                has_value = true;
            }
            return value;
        };
        auto flag = [&] {
            if (has_value)
                throw UsageError("option " + name + " takes no value");
            return true;
        };
        if (name == "-h" || name == "--help") {
            o.help = flag();
        } else if (name == "--link") {
            o.link = arg();
        } else if (name == "--once") {
            o.once = flag();
        } else if (name == "--baud") {
            o.config.expect_baud = parse_number(arg(), name);
        } else if (name == "--pace") {
            o.config.pace = flag();
        } else if (name == "--ack-after-frame") {
            o.config.ack_after_frame = flag();
        } else if (name == "--max-block") {
            o.config.max_block = parse_number(arg(), name);
            if (o.config.max_block != 4096 && o.config.max_block != 1024)
                throw UsageError("--max-block must be 4096 or 1024");
        } else if (name == "--erase-ms") {
            o.config.erase_ms_per_block = parse_number(arg(), name);
        } else if (name == "--program-ms") {
            o.config.program_ms_per_block = parse_number(arg(), name);
        } else if (name == "--turnaround") {
            o.config.turnaround_ms = parse_number(arg(), name);
        } else if (name == "--version-text") {
            auto [area, text] = split_assignment(arg(), name);
            if (text.size() > 12)
                throw UsageError("version text '" + text + "' is longer than 12 bytes");
            if (!find_rom_area(area))
                throw UsageError("--version-text: unknown area '" + area + "' (" +
                                 area_names(false) + ")");
            o.config.version_texts[area] = text;
        } else if (name == "--load" || name == "--save") {
            auto assignment = split_assignment(arg(), name);
            if (!find_area(assignment.first))
                throw UsageError(name + ": unknown area '" + assignment.first + "' (" +
                                 area_names(true) + ")");
            (name == "--load" ? o.loads : o.saves).push_back(std::move(assignment));
        } else if (name == "--fault") {
            o.faults.push_back(parse_fault(arg()));
        } else if (name == "--trace") {
            o.config.trace_path = arg();
        } else {
            throw UsageError("unknown option '" + name + "'");
        }
    }
    return o;
}

} // namespace syscon_sim
